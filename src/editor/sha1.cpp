#include "editor/sha1.h"

#include <bit>
#include <cstring>

namespace {

struct sha1_state {
    uint32_t h[5];
};

void sha1_block(sha1_state* state, const uint8_t block[64])
{
    uint32_t w[80];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 |
               (uint32_t)block[4 * i + 2] << 8 | (uint32_t)block[4 * i + 3];
    for (int i = 16; i < 80; i++)
        w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    uint32_t a = state->h[0], b = state->h[1], c = state->h[2], d = state->h[3], e = state->h[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        uint32_t t = std::rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = t;
    }
    state->h[0] += a;
    state->h[1] += b;
    state->h[2] += c;
    state->h[3] += d;
    state->h[4] += e;
}

}  // namespace

void sha1(const void* data, size_t size, uint8_t digest[sha1_digest_size])
{
    sha1_state state = {{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u}};
    const uint8_t* bytes = (const uint8_t*)data;
    size_t left = size;
    while (left >= 64) {
        sha1_block(&state, bytes);
        bytes += 64;
        left -= 64;
    }

    // Padding: 0x80, zeros, then the message length in bits, big-endian, ending a block.
    uint8_t tail[128] = {};
    if (left)
        memcpy(tail, bytes, left);
    tail[left] = 0x80;
    size_t tail_size = left < 56 ? 64 : 128;
    uint64_t bits = (uint64_t)size * 8;
    for (int i = 0; i < 8; i++)
        tail[tail_size - 1 - i] = (uint8_t)(bits >> (8 * i));
    sha1_block(&state, tail);
    if (tail_size == 128)
        sha1_block(&state, tail + 64);

    for (int i = 0; i < 5; i++) {
        digest[4 * i] = (uint8_t)(state.h[i] >> 24);
        digest[4 * i + 1] = (uint8_t)(state.h[i] >> 16);
        digest[4 * i + 2] = (uint8_t)(state.h[i] >> 8);
        digest[4 * i + 3] = (uint8_t)state.h[i];
    }
}
