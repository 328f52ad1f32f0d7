#include "state/kv_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct kv_pair {
    std::string key, value;
};

std::vector<kv_pair> walk(const kv_map* map) {
    std::vector<kv_pair> out;
    kv_map_for_each(
        map,
        [](const void* k, uint64_t kl, const void* v, uint64_t vl, void* user) {
            static_cast<std::vector<kv_pair>*>(user)->push_back(
                {std::string(static_cast<const char*>(k), kl), std::string(static_cast<const char*>(v), vl)});
            return 0;
        },
        &out);
    return out;
}

int insert(kv_map* m, const char* k, const char* v) { return kv_map_insert(m, k, strlen(k), v, strlen(v)); }

// Checks parent links, AVL balance and stored heights; returns the subtree height.
uint64_t check_tree(const kv_node* n, const kv_node* parent) {
    if (!n) return 0;
    EXPECT_EQ(n->parent, parent);
    uint64_t hl = check_tree(n->left, n), hr = check_tree(n->right, n);
    EXPECT_LE(hl > hr ? hl - hr : hr - hl, 1u);
    EXPECT_EQ(n->height, (hl > hr ? hl : hr) + 1);
    return n->height;
}

TEST(kv_map, serialises_in_key_order) {
    kv_map* m = kv_map_new();
    ASSERT_TRUE(m);
    ASSERT_EQ(insert(m, "b", "2"), 0);
    ASSERT_EQ(insert(m, "a", "1"), 0);
    size_t size = 0;
    uint8_t* file = kv_map_serialize(m, &size);
    ASSERT_TRUE(file);
    // The 18-byte two-entry example of the map file format.
    const bytes expected = {1, 0, 0, 0, 1, 0, 0, 0, 'a', '1', 1, 0, 0, 0, 1, 0, 0, 0, 'b', '2'};
    EXPECT_EQ(bytes(file, file + size), expected);
    free(file);
    kv_map_free(m);
}

TEST(kv_map, empty_map_has_no_file) {
    kv_map* m = kv_map_new();
    size_t size = 1234;
    EXPECT_EQ(kv_map_serialize(m, &size), nullptr);
    EXPECT_EQ(size, 1234u);
    kv_map_free(m);
}

TEST(kv_map, key_order_puts_prefix_first_and_compares_bytes_unsigned) {
    kv_map* m = kv_map_new();
    for (const char* k : {"b", "abc", "\xff", "ab", "version", "parameters.map", "info.map"}) ASSERT_EQ(insert(m, k, ""), 0);
    std::vector<std::string> keys;
    for (auto& p : walk(m)) keys.push_back(p.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"ab", "abc", "b", "info.map", "parameters.map", "version", "\xff"}));
    kv_map_free(m);
}

TEST(kv_map, repeated_keys_are_all_kept_side_by_side) {
    kv_map* m = kv_map_new();
    ASSERT_EQ(insert(m, "k", "1"), 0);
    ASSERT_EQ(insert(m, "a", "x"), 0);
    ASSERT_EQ(insert(m, "k", "2"), 0);
    ASSERT_EQ(insert(m, "z", "y"), 0);
    ASSERT_EQ(insert(m, "k", "3"), 0);
    auto all = walk(m);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].key, "a");
    EXPECT_EQ(all[1].key, "k");
    EXPECT_EQ(all[2].key, "k");
    EXPECT_EQ(all[3].key, "k");
    EXPECT_EQ(all[4].key, "z");
    std::vector<std::string> values = {all[1].value, all[2].value, all[3].value};
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, (std::vector<std::string>{"1", "2", "3"}));
    uint64_t len = 0;
    const void* v = kv_map_get(m, "k", 1, &len);
    ASSERT_TRUE(v);
    EXPECT_EQ(len, 1u);
    kv_map_free(m);
}

TEST(kv_map, stays_balanced_and_finds_everything_under_many_inserts) {
    // Ascending, descending and repeated keys exercise all four rotations.
    std::vector<std::string> keys;
    for (int i = 0; i < 500; i++) keys.push_back(std::to_string(1000 + i));
    for (int i = 0; i < 500; i++) keys.push_back(std::to_string(3000 - i));
    for (int i = 0; i < 200; i++) keys.push_back(std::to_string(1000 + (i * 37) % 500));
    kv_map* m = kv_map_new();
    for (auto& k : keys) ASSERT_EQ(kv_map_insert(m, k.data(), k.size(), k.data(), k.size()), 0);
    uint64_t height = check_tree(m->root, nullptr);
    // An AVL tree of n nodes is at most about 1.44 log2(n) high: 1200 nodes, below 15.
    EXPECT_LE(height, 15u);
    for (auto& k : keys) {
        uint64_t len = 0;
        const void* v = kv_map_get(m, k.data(), k.size(), &len);
        ASSERT_TRUE(v) << k;
        EXPECT_EQ(std::string(static_cast<const char*>(v), len), k);
    }
    auto all = walk(m);
    ASSERT_EQ(all.size(), keys.size());
    for (size_t i = 1; i < all.size(); i++) EXPECT_LE(all[i - 1].key, all[i].key);
    uint64_t untouched = 77;
    EXPECT_EQ(kv_map_get(m, "999", 3, &untouched), nullptr);
    EXPECT_EQ(untouched, 77u);
    kv_map_free(m);
}

TEST(kv_map, parse_round_trips_and_points_into_the_data) {
    kv_map* m = kv_map_new();
    insert(m, "gain", "");
    insert(m, "id", "tresk");
    insert(m, "id", "other");
    size_t size = 0;
    uint8_t* file = kv_map_serialize(m, &size);
    ASSERT_TRUE(file);
    kv_map* back = kv_map_parse(file, size);
    ASSERT_TRUE(back);
    auto a = walk(m), b = walk(back);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); i++) EXPECT_EQ(a[i].key, b[i].key);
    uint64_t len = 99;
    const void* v = kv_map_get(back, "gain", 4, &len);
    ASSERT_TRUE(v);  // an empty value is still an entry
    EXPECT_EQ(len, 0u);
    EXPECT_GE(static_cast<const uint8_t*>(v), file);
    EXPECT_LE(static_cast<const uint8_t*>(v), file + size);
    kv_map_free(back);
    kv_map_free(m);
    free(file);
}

TEST(kv_map, parse_refuses_malformed_records) {
    kv_map* empty = kv_map_parse(nullptr, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->root, nullptr);
    kv_map_free(empty);

    const bytes cases[] = {
        {1, 0, 0, 0, 5, 0, 0, 0, 'k', 'v'},               // value runs past the end
        {0, 0, 0, 0, 1, 0, 0, 0, 'v'},                    // zero key length
        {1, 0, 0, 0, 1, 0, 0, 0, 'a', '1', 1, 0, 0},      // truncated trailing header
        {2, 0, 0, 0, 0, 0, 0, 0, 'a'},                    // key runs past the end
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 'a'},  // lengths near 2^32
        {1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 'a', 'b'},
    };
    for (const bytes& data : cases) {
        errno = 0;
        EXPECT_EQ(kv_map_parse(data.data(), data.size()), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST(kv_map, serialise_refuses_lengths_the_file_cannot_hold) {
    // The map borrows its bytes, so a bogus length must be refused before any copy.
    static const char v[] = "x";
    kv_map* m = kv_map_new();
    ASSERT_EQ(kv_map_insert(m, "k", 1, v, uint64_t{1} << 32), 0);
    size_t size = 0;
    errno = 0;
    EXPECT_EQ(kv_map_serialize(m, &size), nullptr);
    EXPECT_EQ(errno, EINVAL);
    kv_map_free(m);
}

}  // namespace
