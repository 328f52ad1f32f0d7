// kv_map_parse on arbitrary bytes: entries lie inside the data, and a parsed file
// written again has the same length (the same records, in key order).
#include <cstdlib>

#include "state/kv_map.h"

namespace {
struct bounds {
    const uint8_t* begin;
    const uint8_t* end;
};
}  // namespace

static int check_entry(const void* key, uint64_t key_len, const void* value, uint64_t value_len, void* user) {
    auto* b = static_cast<bounds*>(user);
    auto* k = static_cast<const uint8_t*>(key);
    auto* v = static_cast<const uint8_t*>(value);
    if (key_len == 0 || k < b->begin || key_len > static_cast<uint64_t>(b->end - k)) abort();
    if (v < b->begin || value_len > static_cast<uint64_t>(b->end - v)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kv_map* map = kv_map_parse(data, size);
    if (!map) return 0;
    bounds b = {data, data + size};
    kv_map_for_each(map, check_entry, &b);
    size_t out_size = 0;
    uint8_t* out = kv_map_serialize(map, &out_size);
    if ((out == nullptr) != (size == 0)) abort();
    if (out && out_size != size) abort();
    free(out);
    kv_map_free(map);
    return 0;
}
