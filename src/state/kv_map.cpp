#include "state/kv_map.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

int kv_key_compare(const kv_entry* a, const kv_entry* b) {
    const auto* ka = static_cast<const unsigned char*>(a->key);
    const auto* kb = static_cast<const unsigned char*>(b->key);
    uint64_t n = a->key_len < b->key_len ? a->key_len : b->key_len;
    for (uint64_t i = 0; i < n; i++) {
        if (ka[i] != kb[i]) return ka[i] < kb[i] ? -1 : 1;
        if (ka[i] == 0) break;  // strncmp ends at a zero byte
    }
    if (a->key_len == b->key_len) return 0;
    return a->key_len < b->key_len ? -1 : 1;
}

kv_map* kv_map_new() {
    auto* map = static_cast<kv_map*>(malloc(sizeof(kv_map)));
    if (!map) {
        errno = ENOMEM;
        return nullptr;
    }
    map->root = nullptr;
    map->compare = kv_key_compare;
    return map;
}

void kv_map_free(kv_map* map) {
    if (!map) return;
    // Post-order without recursion: descend to a leaf, free it, climb to its parent.
    kv_node* n = map->root;
    while (n) {
        if (n->left) {
            n = n->left;
            continue;
        }
        if (n->right) {
            n = n->right;
            continue;
        }
        kv_node* parent = n->parent;
        if (parent) {
            if (parent->left == n)
                parent->left = nullptr;
            else
                parent->right = nullptr;
        }
        free(n->entry);
        free(n);
        n = parent;
    }
    free(map);
}

static uint64_t height_of(const kv_node* n) { return n ? n->height : 0; }

static void update_height(kv_node* n) {
    uint64_t hl = height_of(n->left), hr = height_of(n->right);
    n->height = (hl > hr ? hl : hr) + 1;
}

// Puts `with` where `old` hung below its parent (or at the root).
static void replace_child(kv_map* map, kv_node* old, kv_node* with) {
    kv_node* parent = old->parent;
    with->parent = parent;
    if (!parent)
        map->root = with;
    else if (parent->left == old)
        parent->left = with;
    else
        parent->right = with;
}

static kv_node* rotate_left(kv_map* map, kv_node* x) {
    kv_node* y = x->right;
    replace_child(map, x, y);
    x->right = y->left;
    if (x->right) x->right->parent = x;
    y->left = x;
    x->parent = y;
    update_height(x);
    update_height(y);
    return y;
}

static kv_node* rotate_right(kv_map* map, kv_node* x) {
    kv_node* y = x->left;
    replace_child(map, x, y);
    x->left = y->right;
    if (x->left) x->left->parent = x;
    y->right = x;
    x->parent = y;
    update_height(x);
    update_height(y);
    return y;
}

static void rebalance_up(kv_map* map, kv_node* n) {
    while (n) {
        uint64_t hl = height_of(n->left), hr = height_of(n->right);
        if (hl > hr + 1) {
            kv_node* c = n->left;
            if (height_of(c->right) > height_of(c->left)) rotate_left(map, c);
            n = rotate_right(map, n);
        } else if (hr > hl + 1) {
            kv_node* c = n->right;
            if (height_of(c->left) > height_of(c->right)) rotate_right(map, c);
            n = rotate_left(map, n);
        } else {
            update_height(n);
        }
        n = n->parent;
    }
}

int kv_map_insert(kv_map* map, const void* key, uint64_t key_len, const void* value,
                  uint64_t value_len) {
    auto* entry = static_cast<kv_entry*>(malloc(sizeof(kv_entry)));
    auto* node = static_cast<kv_node*>(malloc(sizeof(kv_node)));
    if (!entry || !node) {
        free(entry);
        free(node);
        errno = ENOMEM;
        return -1;
    }
    *entry = {.key_len = key_len, .value_len = value_len, .key = key, .value = value};
    *node = {.parent = nullptr, .left = nullptr, .right = nullptr, .height = 1, .entry = entry};

    if (!map->root) {
        map->root = node;
        return 0;
    }
    kv_node* at = map->root;
    for (;;) {
        int c = map->compare(entry, at->entry);
        if (c < 0) {
            if (!at->left) {
                at->left = node;
                break;
            }
            at = at->left;
        } else if (c > 0) {
            if (!at->right) {
                at->right = node;
                break;
            }
            at = at->right;
        } else {
            // An equal key goes immediately before the entry met.
            if (!at->left) {
                at->left = node;
                break;
            }
            at = at->left;
            while (at->right) at = at->right;
            at->right = node;
            break;
        }
    }
    node->parent = at;
    rebalance_up(map, at);
    return 0;
}

const void* kv_map_get(const kv_map* map, const void* key, uint64_t key_len,
                       uint64_t* value_len) {
    kv_entry probe = {.key_len = key_len, .value_len = 0, .key = key, .value = nullptr};
    const kv_node* at = map->root;
    while (at) {
        int c = map->compare(&probe, at->entry);
        if (c == 0) {
            if (value_len) *value_len = at->entry->value_len;
            return at->entry->value;
        }
        at = c < 0 ? at->left : at->right;
    }
    return nullptr;
}

static const kv_node* leftmost(const kv_node* n) {
    while (n && n->left) n = n->left;
    return n;
}

static const kv_node* successor(const kv_node* n) {
    if (n->right) return leftmost(n->right);
    while (n->parent && n->parent->right == n) n = n->parent;
    return n->parent;
}

void kv_map_for_each(const kv_map* map, kv_visit_fn visit, void* user) {
    const kv_node* n = leftmost(map->root);
    while (n) {
        // The successor is found first, so the callback may not disturb the walk.
        const kv_node* next = successor(n);
        const kv_entry* e = n->entry;
        if (visit(e->key, e->key_len, e->value, e->value_len, user) != 0) return;
        n = next;
    }
}

namespace {
struct serial_buffer {
    uint8_t* data;
    size_t size;
    int error;
};
}  // namespace

static void put_u32_le(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

static uint32_t get_u32_le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static int append_record(const void* key, uint64_t key_len, const void* value,
                         uint64_t value_len, void* user) {
    auto* out = static_cast<serial_buffer*>(user);
    // The file stores 32-bit lengths: a longer key or value cannot be written.
    if (key_len > UINT32_MAX || value_len > UINT32_MAX) {
        out->error = EINVAL;
        return 1;
    }
    size_t record = 8 + key_len + value_len;
    if (record > SIZE_MAX - out->size) {
        out->error = EINVAL;
        return 1;
    }
    auto* grown = static_cast<uint8_t*>(realloc(out->data, out->size + record));
    if (!grown) {
        out->error = ENOMEM;
        return 1;
    }
    out->data = grown;
    uint8_t* p = grown + out->size;
    put_u32_le(p, static_cast<uint32_t>(key_len));
    put_u32_le(p + 4, static_cast<uint32_t>(value_len));
    if (key_len) memcpy(p + 8, key, key_len);
    if (value_len) memcpy(p + 8 + key_len, value, value_len);
    out->size += record;
    return 0;
}

uint8_t* kv_map_serialize(const kv_map* map, size_t* size) {
    serial_buffer out = {.data = nullptr, .size = 0, .error = 0};
    kv_map_for_each(map, append_record, &out);
    if (out.error) {
        free(out.data);
        errno = out.error;
        return nullptr;
    }
    if (!out.data) return nullptr;
    *size = out.size;
    return out.data;
}

kv_map* kv_map_parse(const uint8_t* data, size_t size) {
    kv_map* map = kv_map_new();
    if (!map) return nullptr;
    size_t offset = 0;
    int error = 0;
    while (offset < size) {
        size_t rest = size - offset;
        if (rest < 8) {
            error = EINVAL;
            break;
        }
        uint32_t key_len = get_u32_le(data + offset);
        uint32_t value_len = get_u32_le(data + offset + 4);
        rest -= 8;
        if (key_len == 0 || key_len > rest || value_len > rest - key_len) {
            error = EINVAL;
            break;
        }
        const uint8_t* key = data + offset + 8;
        if (kv_map_insert(map, key, key_len, key + key_len, value_len) != 0) {
            error = ENOMEM;
            break;
        }
        offset += 8 + static_cast<size_t>(key_len) + value_len;
    }
    if (error) {
        kv_map_free(map);
        errno = error;
        return nullptr;
    }
    return map;
}
