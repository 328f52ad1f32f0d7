#include "editor/base64.h"

static constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

size_t base64_encode(const uint8_t* data, size_t size, char* out)
{
    size_t n = 0;
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t v = (uint32_t)data[i] << 16 | (uint32_t)data[i + 1] << 8 | data[i + 2];
        out[n++] = base64_alphabet[v >> 18];
        out[n++] = base64_alphabet[(v >> 12) & 63];
        out[n++] = base64_alphabet[(v >> 6) & 63];
        out[n++] = base64_alphabet[v & 63];
    }
    if (size - i == 1) {
        uint32_t v = (uint32_t)data[i] << 16;
        out[n++] = base64_alphabet[v >> 18];
        out[n++] = base64_alphabet[(v >> 12) & 63];
        out[n++] = '=';
        out[n++] = '=';
    } else if (size - i == 2) {
        uint32_t v = (uint32_t)data[i] << 16 | (uint32_t)data[i + 1] << 8;
        out[n++] = base64_alphabet[v >> 18];
        out[n++] = base64_alphabet[(v >> 12) & 63];
        out[n++] = base64_alphabet[(v >> 6) & 63];
        out[n++] = '=';
    }
    out[n] = '\0';
    return n;
}
