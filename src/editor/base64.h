// Base64 encoding (standard alphabet, "=" padding), for the WebSocket accept value.
#pragma once

#include <cstddef>
#include <cstdint>

// Characters written by base64_encode for `size` input bytes, without the NUL.
constexpr size_t base64_encoded_size(size_t size) { return (size + 2) / 3 * 4; }

// Encodes `size` bytes into `out`, which needs base64_encoded_size(size) + 1 bytes;
// the text is NUL-terminated. Returns its length.
size_t base64_encode(const uint8_t* data, size_t size, char* out);
