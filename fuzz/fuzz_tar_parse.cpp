// tar_parse on arbitrary bytes: no read outside the data, every entry inside it, and
// what the writer makes of the entries reads back the same.
#include <cstdlib>
#include <cstring>

#include "state/tar_archive.h"

namespace {
struct bounds {
    const uint8_t* begin;
    const uint8_t* end;
    size_t count;
};
}  // namespace

static int check_entry(const void* key, uint64_t key_len, const void* value, uint64_t value_len, void* user) {
    auto* b = static_cast<bounds*>(user);
    auto* k = static_cast<const uint8_t*>(key);
    auto* v = static_cast<const uint8_t*>(value);
    if (key_len > 100 || k < b->begin || k + key_len > b->end) abort();
    if (v < b->begin || value_len > static_cast<uint64_t>(b->end - v)) abort();
    b->count++;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kv_map* map = tar_parse(data, size);
    if (!map) return 0;
    bounds b = {data, data + size, 0};
    kv_map_for_each(map, check_entry, &b);

    size_t out_size = 0;
    uint8_t* out = tar_serialize(map, &out_size);
    if (out) {
        kv_map* again = tar_parse(out, out_size);
        if (!again) abort();
        bounds b2 = {out, out + out_size, 0};
        kv_map_for_each(again, check_entry, &b2);
        if (b2.count != b.count) abort();
        kv_map_free(again);
        free(out);
    }
    kv_map_free(map);
    return 0;
}
