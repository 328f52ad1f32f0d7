// SHA-1 and Base64, just enough for the WebSocket opening handshake.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t sha1_digest_size = 20;

void sha1_digest(const void* data, size_t size, uint8_t digest[sha1_digest_size]);

// Standard alphabet with "=" padding. `out` needs 4 * ((size + 2) / 3) + 1 bytes;
// returns the text length (the text is NUL-terminated).
size_t base64_encode(const uint8_t* data, size_t size, char* out);
