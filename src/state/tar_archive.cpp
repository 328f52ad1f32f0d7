#include "state/tar_archive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static constexpr size_t block_size = 512;
static constexpr size_t name_field = 100;
// Both sides stop below 2^31 so that every archive written can be read back.
static constexpr uint64_t content_limit = uint64_t{1} << 31;

static size_t padded(uint64_t len) { return (len + block_size - 1) & ~(block_size - 1); }

namespace {
struct tar_writer {
    uint8_t* data;
    size_t size;
    int error;
};
}  // namespace

static void fill_header(uint8_t* h, const void* name, size_t name_len, uint64_t len) {
    memcpy(h, name, name_len);
    memcpy(h + 100, "0000644", 8);
    memcpy(h + 108, "0000000", 8);
    memcpy(h + 116, "0000000", 8);
    snprintf(reinterpret_cast<char*>(h + 124), 12, "%011llo",
             static_cast<unsigned long long>(len));
    memcpy(h + 136, "00000000000", 12);
    memset(h + 148, ' ', 8);
    h[156] = '0';
    memcpy(h + 257, "ustar", 6);
    memcpy(h + 263, "00", 2);

    unsigned long sum = 0;
    for (size_t i = 0; i < block_size; i++) sum += h[i];
    // Written as "%05lo" with its terminator; byte 154 is cleared and 155 keeps its
    // blank, so a four-digit sum reads "0dddd", zero, zero, blank.
    char digits[8];
    snprintf(digits, sizeof digits, "%05lo", sum);
    memcpy(h + 148, digits, strlen(digits) + 1);
    h[154] = 0;
}

static int append_member(const void* key, uint64_t key_len, const void* value,
                         uint64_t value_len, void* user) {
    auto* out = static_cast<tar_writer*>(user);
    if (key_len >= name_field || value_len >= content_limit) {
        out->error = EINVAL;
        return 1;
    }
    size_t member = block_size + padded(value_len);
    auto* grown = static_cast<uint8_t*>(realloc(out->data, out->size + member));
    if (!grown) {
        out->error = ENOMEM;
        return 1;
    }
    out->data = grown;
    uint8_t* h = grown + out->size;
    memset(h, 0, member);
    fill_header(h, key, key_len, value_len);
    if (value_len) memcpy(h + block_size, value, value_len);
    out->size += member;
    return 0;
}

uint8_t* tar_serialize(const kv_map* map, size_t* size) {
    tar_writer out = {.data = nullptr, .size = 0, .error = 0};
    kv_map_for_each(map, append_member, &out);
    if (!out.error) {
        auto* grown = static_cast<uint8_t*>(realloc(out.data, out.size + 2 * block_size));
        if (grown) {
            out.data = grown;
            memset(grown + out.size, 0, 2 * block_size);
            out.size += 2 * block_size;
        } else {
            out.error = ENOMEM;
        }
    }
    if (out.error) {
        free(out.data);
        errno = out.error;
        return nullptr;
    }
    *size = out.size;
    return out.data;
}

// The size field: exactly eleven octal digits and a zero byte.
static int read_size_field(const uint8_t* h, uint64_t* len) {
    uint64_t v = 0;
    for (size_t i = 124; i < 135; i++) {
        if (h[i] < '0' || h[i] > '7') return -1;
        v = v * 8 + (h[i] - '0');
    }
    if (h[135] != 0 || v >= content_limit) return -1;
    *len = v;
    return 0;
}

kv_map* tar_parse(const uint8_t* data, size_t size) {
    kv_map* map = kv_map_new();
    if (!map) return nullptr;
    size_t offset = 0;
    int error = 0;
    while (offset < size) {
        const uint8_t* h = data + offset;
        if (h[0] == 0) break;  // end-of-archive marker
        size_t rest = size - offset;
        uint64_t len = 0;
        if (rest < block_size || read_size_field(h, &len) != 0 || len > rest - block_size) {
            error = EINVAL;
            break;
        }
        size_t name_len = strnlen(reinterpret_cast<const char*>(h), name_field);
        if (kv_map_insert(map, h, name_len, h + block_size, len) != 0) {
            error = ENOMEM;
            break;
        }
        // The last member's padding may be missing; the loop then simply ends.
        size_t advance = block_size + padded(len);
        offset = advance < rest ? offset + advance : size;
    }
    if (error) {
        kv_map_free(map);
        errno = error;
        return nullptr;
    }
    return map;
}
