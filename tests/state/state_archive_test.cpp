#include "state/state_archive.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "state_test_support.h"

namespace {

using namespace state_test;

// Records what the loader delivers, in order.
struct recording_sink {
    std::vector<std::string> events;
    float values[6] = {};
    state_sink sink() {
        return {.context = this,
                .lock = [](void* c) { static_cast<recording_sink*>(c)->events.push_back("lock"); },
                .unlock = [](void* c) { static_cast<recording_sink*>(c)->events.push_back("unlock"); },
                .set_value =
                    [](void* c, int i, float v) {
                        auto* r = static_cast<recording_sink*>(c);
                        r->events.push_back("set " + std::to_string(i));
                        r->values[i] = v;
                    }};
    }
    int load(const bytes& chunk) {
        state_sink s = sink();
        return load_state(&s, chunk.data(), chunk.size());
    }
};

bool refused(const bytes& chunk) {
    recording_sink r;
    int rc = r.load(chunk);
    return rc == -1 && r.events.empty();
}

TEST(load_state, delivers_all_six_values_in_index_order_under_the_lock) {
    chunk_spec s;
    s.param("drive", f32(1)).param("tone", f32(2)).param("heat", f32(3)).param("mix", f32(4)).param("volume", f32(5)).param(
        "bypass", f32(0.25f));
    recording_sink r;
    ASSERT_EQ(r.load(build_chunk(s)), 0);
    EXPECT_EQ(r.events, (std::vector<std::string>{"lock", "set 0", "set 1", "set 2", "set 3", "set 4", "set 5", "unlock"}));
    const float expected[6] = {1, 2, 3, 4, 5, 0.25f};  // stored as is: clamping is the sinks' job
    for (int i = 0; i < 6; i++) EXPECT_EQ(r.values[i], expected[i]) << i;
}

TEST(load_state, accepts_version_text_with_trailing_white_space_only) {
    for (const char* v : {"1.0", "1.0\n", "1.0 ", "1.0\t\r\n\v\f "}) {
        chunk_spec s;
        s.version = v;
        recording_sink r;
        EXPECT_EQ(r.load(build_chunk(s)), 0) << v;
    }
    for (const std::string& v : std::vector<std::string>{"1.1", "2.0", "1.", "1.0a", "1.0 x", "", std::string("1.0\0", 4), " 1.0"}) {
        chunk_spec s;
        s.version = v;
        EXPECT_TRUE(refused(build_chunk(s))) << v;
    }
}

TEST(load_state, refuses_a_wrong_or_missing_id) {
    std::string id = "tresk-vellum-grist-saturator";
    std::vector<std::string> bad = {id.substr(0, 27), id + " ", "", std::string(id.size(), 'x')};
    for (size_t i = 0; i < id.size(); i += 5) {
        std::string flipped = id;
        flipped[i] ^= 0x20;
        bad.push_back(flipped);
    }
    for (auto& v : bad) {
        chunk_spec s;
        s.info = {{"id", v}};
        EXPECT_TRUE(refused(build_chunk(s))) << v;
    }
    chunk_spec none;
    none.info = {{"format", "vst3"}};
    EXPECT_TRUE(refused(build_chunk(none)));
}

TEST(load_state, refuses_missing_wrongly_sized_or_nan_values) {
    const char* keys[] = {"drive", "tone", "heat", "mix", "volume", "bypass"};
    for (const char* k : keys) {
        chunk_spec nan;
        nan.param(k, f32(std::numeric_limits<float>::quiet_NaN()));
        EXPECT_TRUE(refused(build_chunk(nan))) << k;
        chunk_spec snan;  // signalling NaN and a negative NaN with a single fraction bit
        snan.param(k, f32_bits(0xFF800001u));
        EXPECT_TRUE(refused(build_chunk(snan))) << k;
        chunk_spec wide;
        wide.param(k, std::string(8, '\0'));  // a 64-bit float
        EXPECT_TRUE(refused(build_chunk(wide))) << k;
        chunk_spec narrow;
        narrow.param(k, "\0\0\0");
        EXPECT_TRUE(refused(build_chunk(narrow))) << k;
        chunk_spec missing;
        std::erase_if(missing.params, [&](auto& e) { return e.first == k; });
        EXPECT_TRUE(refused(build_chunk(missing))) << k;
    }
    // Infinities pass the loader (the sinks clamp them).
    chunk_spec inf;
    inf.param("volume", f32(INFINITY)).param("drive", f32(-INFINITY));
    recording_sink r;
    ASSERT_EQ(r.load(build_chunk(inf)), 0);
    EXPECT_EQ(r.values[4], INFINITY);
    EXPECT_EQ(r.values[0], -INFINITY);
}

TEST(load_state, refuses_missing_members_and_malformed_maps) {
    for (int which = 0; which < 4; which++) {
        chunk_spec s;
        (which == 0 ? s.with_version : which == 1 ? s.with_info : which == 2 ? s.with_params : s.with_dsp) = false;
        EXPECT_TRUE(refused(build_chunk(s))) << which;
    }
    // A parameters.map whose last record runs past its member.
    chunk_spec s;
    s.with_params = false;
    bytes params = map_file(s.params);
    params.pop_back();
    s.extra_inner.push_back({"parameters.map", params});
    EXPECT_TRUE(refused(build_chunk(s)));
    // dsp.tar that is not an archive.
    chunk_spec junk;
    junk.with_dsp = false;
    junk.extra_outer.push_back({"dsp.tar", to_bytes("not a tar archive")});
    EXPECT_TRUE(refused(build_chunk(junk)));
    EXPECT_TRUE(refused({}));
}

TEST(load_state, ignores_extra_keys_and_members) {
    chunk_spec s;
    s.info.push_back({"sample_rate", f32(48000)});
    s.info.push_back({"zzz", "anything"});
    s.params.push_back({"drive2", "x"});
    s.extra_inner.push_back({"notes.txt", to_bytes("hello")});
    s.extra_outer.push_back({"a.bin", bytes(700, 7)});
    s.extra_outer.push_back({"z.bin", bytes()});
    recording_sink r;
    EXPECT_EQ(r.load(build_chunk(s)), 0);
}

TEST(load_state, every_cut_short_chunk_is_refused) {
    bytes chunk = build_chunk(chunk_spec{});
    // dsp.tar's content ends at 512 + its size; any cut before that loses part of it.
    size_t inner = chunk.size() - 512 - 1024;
    for (size_t n = 0; n < 512 + inner; n++) ASSERT_TRUE(refused(bytes(chunk.begin(), chunk.begin() + n))) << n;
    recording_sink r;
    EXPECT_EQ(r.load(bytes(chunk.begin(), chunk.begin() + 512 + inner)), 0);  // only the end marker cut
}

TEST(state_archive, read_keeps_unknown_members_and_write_puts_them_back) {
    chunk_spec s;
    s.extra_inner.push_back({"notes.txt", to_bytes("hello")});
    s.extra_outer.push_back({"a.bin", bytes(700, 7)});
    bytes chunk = build_chunk(s);
    state_archive a;
    ASSERT_EQ(state_archive_read(&a, chunk.data(), chunk.size()), 0);
    EXPECT_STREQ(a.version, "1.0");
    uint64_t len = 0;
    const void* v = kv_map_get(a.extra_inner, "notes.txt", 9, &len);
    ASSERT_TRUE(v);
    EXPECT_EQ(std::string(static_cast<const char*>(v), len), "hello");
    ASSERT_TRUE(kv_map_get(a.extra_outer, "a.bin", 5, &len));
    EXPECT_EQ(len, 700u);
    EXPECT_EQ(kv_map_get(a.extra_inner, "version", 7, &len), nullptr);
    EXPECT_EQ(kv_map_get(a.extra_outer, "dsp.tar", 7, &len), nullptr);
    size_t size = 0;
    uint8_t* written = state_archive_write(&a, &size);
    ASSERT_TRUE(written);
    // The independently built chunk and the rewritten one are the same bytes.
    EXPECT_EQ(bytes(written, written + size), chunk);
    free(written);
    state_archive_destroy(&a);
}

TEST(state_archive, write_refuses_empty_maps_and_read_reports_einval) {
    state_archive a;
    ASSERT_EQ(state_archive_init(&a), 0);
    size_t size = 0;
    EXPECT_EQ(state_archive_write(&a, &size), nullptr);  // no info entries
    kv_map_insert(a.info, "id", 2, "x", 1);
    EXPECT_EQ(state_archive_write(&a, &size), nullptr);  // no parameter entries
    kv_map_insert(a.parameters, "drive", 5, "abcd", 4);
    uint8_t* chunk = state_archive_write(&a, &size);
    ASSERT_TRUE(chunk);
    free(chunk);
    state_archive_destroy(&a);

    chunk_spec s;
    s.with_dsp = false;
    bytes no_dsp = build_chunk(s);
    errno = 0;
    EXPECT_EQ(state_archive_read(&a, no_dsp.data(), no_dsp.size()), -1);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
