#include "state/tar_archive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct member {
    std::string name, content;
};

bytes serialize(const std::vector<member>& members) {
    kv_map* m = kv_map_new();
    for (auto& e : members) kv_map_insert(m, e.name.data(), e.name.size(), e.content.data(), e.content.size());
    size_t size = 0;
    uint8_t* data = tar_serialize(m, &size);
    kv_map_free(m);
    if (!data) return {};
    bytes out(data, data + size);
    free(data);
    return out;
}

std::vector<member> parse(const bytes& data) {
    std::vector<member> out;
    kv_map* m = tar_parse(data.data(), data.size());
    if (!m) return out;
    kv_map_for_each(
        m,
        [](const void* k, uint64_t kl, const void* v, uint64_t vl, void* user) {
            static_cast<std::vector<member>*>(user)->push_back(
                {std::string(static_cast<const char*>(k), kl), std::string(static_cast<const char*>(v), vl)});
            return 0;
        },
        &out);
    kv_map_free(m);
    return out;
}

std::string field(const bytes& b, size_t at, size_t len) { return std::string(reinterpret_cast<const char*>(&b[at]), len); }

bool parse_fails(const bytes& data) {
    errno = 0;
    kv_map* m = tar_parse(data.data(), data.size());
    kv_map_free(m);
    return m == nullptr && errno == EINVAL;
}

TEST(tar_archive, header_holds_the_fixed_fields_and_zeros_elsewhere) {
    bytes a = serialize({{"info.map", std::string(203, 'i')}});
    ASSERT_EQ(a.size(), 512u + 512 + 1024);
    EXPECT_EQ(field(a, 0, 9), std::string("info.map\0", 9));
    EXPECT_EQ(field(a, 100, 8), std::string("0000644\0", 8));
    EXPECT_EQ(field(a, 108, 8), std::string("0000000\0", 8));
    EXPECT_EQ(field(a, 116, 8), std::string("0000000\0", 8));
    EXPECT_EQ(field(a, 124, 12), std::string("00000000313\0", 12));  // 203 in octal
    EXPECT_EQ(field(a, 136, 12), std::string("00000000000\0", 12));
    EXPECT_EQ(a[156], '0');
    EXPECT_EQ(field(a, 257, 8), std::string("ustar\0" "00", 8));
    // The checksum is the byte sum with eight blanks in its field.
    unsigned sum = 0;
    for (size_t i = 0; i < 512; i++) sum += (i >= 148 && i < 156) ? ' ' : a[i];
    char expect[9] = {};
    snprintf(expect, sizeof expect, "%05o", sum);
    EXPECT_EQ(field(a, 148, 5), std::string(expect));
    // Every byte outside the listed fields is zero: rest of name, linkname, owner
    // names, device numbers, prefix.
    for (size_t i = 9; i < 100; i++) EXPECT_EQ(a[i], 0) << i;
    for (size_t i = 157; i < 257; i++) EXPECT_EQ(a[i], 0) << i;
    for (size_t i = 265; i < 512; i++) EXPECT_EQ(a[i], 0) << i;
    // Content, zero padding to the block, then the end marker.
    EXPECT_EQ(field(a, 512, 203), std::string(203, 'i'));
    for (size_t i = 512 + 203; i < a.size(); i++) ASSERT_EQ(a[i], 0) << i;
}

TEST(tar_archive, members_are_padded_to_whole_blocks) {
    EXPECT_EQ(serialize({}), bytes(1024, 0));
    EXPECT_EQ(serialize({{"a", std::string(512, 'x')}}).size(), 512u + 512 + 1024);
    EXPECT_EQ(serialize({{"a", std::string(513, 'x')}}).size(), 512u + 1024 + 1024);
    EXPECT_EQ(serialize({{"a", ""}}).size(), 512u + 1024);
}

TEST(tar_archive, round_trip_keeps_names_contents_and_order) {
    std::vector<member> in = {{"version", "1.0"}, {"dsp.tar", std::string(1500, '\0') + "z"}, {"empty", ""},
                              {std::string(99, 'n'), "long name"}, {"dup", "1"}, {"dup", "2"}};
    std::vector<member> out = parse(serialize(in));
    ASSERT_EQ(out.size(), in.size());
    std::vector<std::string> names;
    for (auto& m : out) names.push_back(m.name);
    EXPECT_EQ(names, (std::vector<std::string>{"dsp.tar", "dup", "dup", "empty", std::string(99, 'n'), "version"}));
    EXPECT_EQ(out[0].content, in[1].content);
    EXPECT_EQ(out[3].content, "");
    EXPECT_EQ(out[4].content, "long name");
    EXPECT_EQ(out[5].content, "1.0");
}

TEST(tar_archive, writer_refuses_long_names_and_oversized_content) {
    kv_map* m = kv_map_new();
    std::string name(100, 'n');
    kv_map_insert(m, name.data(), name.size(), "", 0);
    size_t size = 0;
    errno = 0;
    EXPECT_EQ(tar_serialize(m, &size), nullptr);
    EXPECT_EQ(errno, EINVAL);
    kv_map_free(m);

    // Content the reader would refuse (2^31 bytes) is refused before any byte is copied.
    m = kv_map_new();
    kv_map_insert(m, "big", 3, "x", uint64_t{1} << 31);
    errno = 0;
    EXPECT_EQ(tar_serialize(m, &size), nullptr);
    EXPECT_EQ(errno, EINVAL);
    kv_map_free(m);
}

TEST(tar_archive, reader_ends_at_a_zero_byte_or_the_end) {
    kv_map* m = tar_parse(nullptr, 0);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->root, nullptr);
    kv_map_free(m);
    bytes zeros(5, 0);
    m = tar_parse(zeros.data(), zeros.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->root, nullptr);
    kv_map_free(m);
    // Without the end marker and without the last member's padding the members still read.
    bytes a = serialize({{"x", "abc"}});
    a.resize(512 + 3);
    auto out = parse(a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].content, "abc");
}

TEST(tar_archive, reader_takes_any_member_and_a_full_length_name) {
    bytes a = serialize({{"x", "abc"}});
    memset(&a[0], 'N', 100);  // no terminator within the name field
    a[156] = '5';             // a directory entry: still an entry
    auto out = parse(a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name, std::string(100, 'N'));
    EXPECT_EQ(out[0].content, "abc");
}

TEST(tar_archive, reader_refuses_malformed_size_fields_and_truncation) {
    const bytes good = serialize({{"x", "abc"}});
    auto with_size = [&](const char* text, size_t len) {
        bytes b = good;
        memcpy(&b[124], text, len);
        return b;
    };
    EXPECT_TRUE(parse_fails(with_size("         3\0\0", 12)));     // blanks for leading zeros
    EXPECT_TRUE(parse_fails(with_size("0000000003\0\0", 12)));     // ten digits
    EXPECT_TRUE(parse_fails(with_size("00000000003 ", 12)));       // no zero byte after the digits
    EXPECT_TRUE(parse_fails(with_size("00000000008\0", 12)));      // not octal
    EXPECT_TRUE(parse_fails(with_size("20000000000\0", 12)));      // 2^31
    EXPECT_TRUE(parse_fails(with_size("17777777777\0", 12)));      // 2^31 - 1, past the data
    auto fits = parse(with_size("00000000004\0", 12));  // one padding byte joins the content
    ASSERT_EQ(fits.size(), 1u);
    EXPECT_EQ(fits[0].content, std::string("abc\0", 4));
    EXPECT_TRUE(parse_fails(bytes(good.begin(), good.begin() + 511)));  // header cut short
    EXPECT_TRUE(parse_fails(bytes(good.begin(), good.begin() + 514)));  // content cut short
    // A second member whose header starts inside the data but does not fit.
    bytes two = good;
    two.resize(1024 + 100);
    two[1024] = 'y';
    EXPECT_TRUE(parse_fails(two));
}

// Archives must be readable by an ordinary tar program and the reverse.
TEST(tar_archive, interoperates_with_the_system_tar) {
    if (system("tar --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tar program";
    char dir[] = "/tmp/vgs-tar-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string d = dir;
    bytes a = serialize({{"info.map", "hello"}, {"version", "1.0"}});
    FILE* f = fopen((d + "/ours.tar").c_str(), "wb");
    fwrite(a.data(), 1, a.size(), f);
    fclose(f);
    ASSERT_EQ(system(("cd " + d + " && tar -xf ours.tar && test \"$(cat info.map)\" = hello && "
                      "test \"$(cat version)\" = 1.0").c_str()),
              0);
    ASSERT_EQ(system(("cd " + d + " && printf 'abc' > m1 && : > m2 && tar --format=ustar -cf theirs.tar m1 m2").c_str()), 0);
    f = fopen((d + "/theirs.tar").c_str(), "rb");
    bytes theirs;
    int c;
    while ((c = fgetc(f)) != EOF) theirs.push_back(static_cast<uint8_t>(c));
    fclose(f);
    auto out = parse(theirs);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].name, "m1");
    EXPECT_EQ(out[0].content, "abc");
    EXPECT_EQ(out[1].name, "m2");
    EXPECT_EQ(out[1].content, "");
    system(("rm -rf " + d).c_str());
}

}  // namespace
