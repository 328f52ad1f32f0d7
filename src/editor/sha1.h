// SHA-1 digest, used only to answer the WebSocket opening handshake.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t sha1_digest_size = 20;

// Writes the 20-byte digest of the `size` bytes at `data` into `digest`.
void sha1(const void* data, size_t size, uint8_t digest[sha1_digest_size]);
