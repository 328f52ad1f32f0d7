#include "sha1.h"

#include <cstring>

static uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

static void sha1_block(uint32_t h[5], const uint8_t* block)
{
    uint32_t w[80];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 |
               (uint32_t)block[4 * i + 2] << 8 | (uint32_t)block[4 * i + 3];
    for (int i = 16; i < 80; i++)
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

void sha1_digest(const void* data, size_t size, uint8_t digest[sha1_digest_size])
{
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const uint8_t* p = (const uint8_t*)data;
    size_t left = size;
    for (; left >= 64; left -= 64, p += 64)
        sha1_block(h, p);

    // The tail: remaining bytes, 0x80, zero fill, bit length big-endian in the last 8.
    uint8_t tail[128] = {};
    memcpy(tail, p, left);
    tail[left] = 0x80;
    size_t tail_size = left + 9 <= 64 ? 64 : 128;
    uint64_t bits = (uint64_t)size * 8;
    for (int i = 0; i < 8; i++)
        tail[tail_size - 1 - i] = (uint8_t)(bits >> (8 * i));
    sha1_block(h, tail);
    if (tail_size == 128)
        sha1_block(h, tail + 64);

    for (int i = 0; i < 5; i++) {
        digest[4 * i] = (uint8_t)(h[i] >> 24);
        digest[4 * i + 1] = (uint8_t)(h[i] >> 16);
        digest[4 * i + 2] = (uint8_t)(h[i] >> 8);
        digest[4 * i + 3] = (uint8_t)h[i];
    }
}

size_t base64_encode(const uint8_t* data, size_t size, char* out)
{
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t n = 0;
    for (size_t i = 0; i < size; i += 3) {
        uint32_t v = (uint32_t)data[i] << 16;
        if (i + 1 < size)
            v |= (uint32_t)data[i + 1] << 8;
        if (i + 2 < size)
            v |= data[i + 2];
        out[n++] = alphabet[(v >> 18) & 63];
        out[n++] = alphabet[(v >> 12) & 63];
        out[n++] = i + 1 < size ? alphabet[(v >> 6) & 63] : '=';
        out[n++] = i + 2 < size ? alphabet[v & 63] : '=';
    }
    out[n] = 0;
    return n;
}
