// An ordered map from byte-string keys to byte-string values, kept as an AVL tree, and
// its file form (records of 32-bit little-endian key and value lengths, key, value).
// The map borrows its keys and values: it never copies or frees them, so they must
// outlive it. Keys may repeat; an equal key is never replaced.
#pragma once

#include <cstddef>
#include <cstdint>

struct kv_entry {
    uint64_t key_len;
    uint64_t value_len;
    const void* key;
    const void* value;
};

struct kv_node {
    kv_node* parent;
    kv_node* left;
    kv_node* right;
    uint64_t height;  // a leaf has height 1
    kv_entry* entry;
};

using kv_compare_fn = int (*)(const kv_entry* a, const kv_entry* b);

struct kv_map {
    kv_node* root;
    kv_compare_fn compare;
};

// Called per entry in ascending key order; a non-zero return stops the walk.
using kv_visit_fn = int (*)(const void* key, uint64_t key_len, const void* value,
                            uint64_t value_len, void* user);

// The key order: bytewise (ending at a zero byte, as strncmp does) over the shorter
// length, then the shorter key first.
int kv_key_compare(const kv_entry* a, const kv_entry* b);

kv_map* kv_map_new();
void kv_map_free(kv_map* map);
// 0, or -1 (map unchanged) when out of memory.
int kv_map_insert(kv_map* map, const void* key, uint64_t key_len, const void* value,
                  uint64_t value_len);
// The value of a matching entry, or null; *value_len is written only when found.
const void* kv_map_get(const kv_map* map, const void* key, uint64_t key_len,
                       uint64_t* value_len);
void kv_map_for_each(const kv_map* map, kv_visit_fn visit, void* user);

// The map file of all entries as a new buffer (the caller frees it), or null for an
// empty map, on exhausted memory (ENOMEM) or for a length the file cannot hold (EINVAL).
uint8_t* kv_map_serialize(const kv_map* map, size_t* size);
// A new map whose entries point into data, or null with errno EINVAL (malformed) or
// ENOMEM.
kv_map* kv_map_parse(const uint8_t* data, size_t size);
