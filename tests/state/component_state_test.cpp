#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "module/factory.h"
#include "plugin_instance.h"
#include "state_test_support.h"

namespace {

using namespace state_test;
using namespace vst3;

struct plugin_pair : ::testing::Test, plugin_instance {};

std::string at(const bytes& b, size_t offset, size_t len) {
    return offset + len <= b.size() ? std::string(reinterpret_cast<const char*>(&b[offset]), len) : std::string();
}

// One map record at its offset: lengths, key, value.
void expect_record(const bytes& chunk, size_t offset, const std::string& key, const std::string& value) {
    std::string head(8, '\0');
    head[0] = static_cast<char>(key.size());
    head[4] = static_cast<char>(value.size());
    EXPECT_EQ(at(chunk, offset, 8 + key.size() + value.size()), head + key + value) << key;
}

bool all_zero(const bytes& b, size_t from, size_t to) {
    for (size_t i = from; i < to; i++)
        if (b[i] != 0) return false;
    return true;
}

std::string i32(int32_t v) { return f32(std::bit_cast<float>(v)); }

TEST_F(plugin_pair, chunk_after_initialize_has_the_documented_layout) {
    bytes chunk = save();
    // Offsets and sizes below are the chunk's published layout.
    ASSERT_EQ(chunk.size(), 5632u);
    EXPECT_EQ(at(chunk, 0, 8), std::string("dsp.tar\0", 8));
    EXPECT_EQ(at(chunk, 124, 12), std::string("00000010000\0", 12));  // 4096
    EXPECT_EQ(at(chunk, 512, 9), std::string("info.map\0", 9));
    EXPECT_EQ(at(chunk, 512 + 124, 12), std::string("00000000313\0", 12));  // 203
    EXPECT_EQ(at(chunk, 1536, 15), std::string("parameters.map\0", 15));
    EXPECT_EQ(at(chunk, 1536 + 124, 12), std::string("00000000144\0", 12));  // 100
    EXPECT_EQ(at(chunk, 1536 + 148, 8), std::string("10606\0\0 ", 8));  // worked checksum example
    EXPECT_EQ(at(chunk, 2560, 8), std::string("version\0", 8));
    EXPECT_EQ(at(chunk, 2560 + 124, 12), std::string("00000000003\0", 12));
    EXPECT_EQ(at(chunk, 2560 + 148, 8), std::string("07346\0\0 ", 8));  // worked checksum example
    EXPECT_EQ(at(chunk, 3072, 3), "1.0");

    // info.map at 1024, 203 bytes, records at their documented offsets.
    const size_t info = 1024;
    expect_record(chunk, info + 0, "format", "vst3");
    expect_record(chunk, info + 18, "id", "tresk-vellum-grist-saturator");
    expect_record(chunk, info + 56, "platform", "linux");
    expect_record(chunk, info + 77, "sample_rate", f32(0));
    expect_record(chunk, info + 100, "version_build", i32(1));
    expect_record(chunk, info + 125, "version_major", i32(1));
    expect_record(chunk, info + 150, "version_minor", i32(2));
    expect_record(chunk, info + 175, "version_revision", i32(1));
    // parameters.map at 2048, 100 bytes: the defaults 50, 50, 50, 100, 100, 0.
    const size_t params = 2048;
    expect_record(chunk, params + 0, "bypass", f32(0));
    expect_record(chunk, params + 18, "drive", f32(50));
    expect_record(chunk, params + 35, "heat", f32(50));
    expect_record(chunk, params + 51, "mix", f32(100));
    expect_record(chunk, params + 66, "tone", f32(50));
    expect_record(chunk, params + 82, "volume", f32(100));

    EXPECT_TRUE(all_zero(chunk, info + 203, 1536));
    EXPECT_TRUE(all_zero(chunk, params + 100, 2560));
    EXPECT_TRUE(all_zero(chunk, 3075, 5632));
}

TEST_F(plugin_pair, saved_version_is_the_factory_version) {
    bytes chunk = save();
    auto num = [&](size_t off) {
        int32_t v;
        memcpy(&v, &chunk[off], 4);
        return std::to_string(v);
    };
    // version_major, _minor, _revision, _build values sit after their keys.
    std::string v = num(1024 + 125 + 21) + "." + num(1024 + 150 + 21) + "." + num(1024 + 175 + 24) + "." +
                    num(1024 + 100 + 21);
    EXPECT_EQ(v, factory_classes[0].version);
}

TEST_F(plugin_pair, sample_rate_entry_follows_activation) {
    ProcessSetup setup = {.processMode = kRealtime, .symbolicSampleSize = kSample32, .maxSamplesPerBlock = 512, .sampleRate = 44100};
    ASSERT_EQ(ip->vtbl->setupProcessing(ip, &setup), kResultOk);
    EXPECT_EQ(at(save(), 1024 + 77 + 19, 4), f32(0));  // not active yet
    ASSERT_EQ(ic->vtbl->setActive(ic, 1), kResultOk);
    EXPECT_EQ(at(save(), 1024 + 77 + 19, 4), f32(44100));
}

TEST_F(plugin_pair, saved_chunk_restores_component_and_controller) {
    chunk_spec s;
    s.param("drive", f32(12.5f)).param("tone", f32(99)).param("heat", f32(0)).param("mix", f32(33.25f)).param(
        "volume", f32(150)).param("bypass", f32(1));
    ASSERT_EQ(load(build_chunk(s)), kResultOk);
    process_block();
    bytes saved = save();

    plugin_instance other;
    ASSERT_EQ(other.load(saved), kResultOk);
    other.process_block();
    const float expected[6] = {12.5f, 99, 0, 33.25f, 150, 1};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(other.c->dsp.dsp_values[i], expected[i]) << i;
        EXPECT_EQ(other.c->param_values[i], expected[i]) << i;
    }
    EXPECT_EQ(other.save(), saved);  // same values, same bytes
    ASSERT_EQ(other.load_controller(saved), kResultOk);
    for (int i = 0; i < 6; i++) EXPECT_EQ(other.ec->controller_values[i], static_cast<double>(expected[i])) << i;
}

TEST_F(plugin_pair, loaded_values_are_rounded_and_clamped_to_the_ranges) {
    struct {
        float drive, tone, heat, volume, bypass;
        double want[6];
    } const cases[] = {
        // volume 250 -> 200, drive -5 -> 0, +inf -> max, -inf -> min, bypass 0.49 -> 0
        {-5, INFINITY, -INFINITY, 250, 0.49f, {0, 100, 0, 100, 200, 0}},
        // bypass 0.5 -> 1, volume -inf -> 0, drive +inf -> 100, in-range values stay
        {INFINITY, 0.125f, 100, -INFINITY, 0.5f, {100, 0.125, 100, 100, 0, 1}},
        {1e30f, -1e30f, 50.5f, 200, 7, {100, 0, 50.5, 100, 200, 1}},
    };
    for (auto& k : cases) {
        chunk_spec s;
        s.param("drive", f32(k.drive)).param("tone", f32(k.tone)).param("heat", f32(k.heat)).param("volume", f32(k.volume)).param(
            "bypass", f32(k.bypass));
        bytes chunk = build_chunk(s);
        ASSERT_EQ(load(chunk), kResultOk);
        EXPECT_EQ(c->state_loaded, 1);
        EXPECT_EQ(c->audio_synced, 0);
        ASSERT_EQ(load_controller(chunk), kResultOk);
        for (int i = 0; i < 6; i++) {
            EXPECT_EQ(c->applied_values[i], static_cast<float>(k.want[i])) << i;
            EXPECT_EQ(ec->controller_values[i], k.want[i]) << i;
        }
        process_block();
        for (int i = 0; i < 6; i++) EXPECT_EQ(c->dsp.dsp_values[i], static_cast<float>(k.want[i])) << i;
    }
}

TEST_F(plugin_pair, refused_chunks_change_no_value_and_no_flag) {
    chunk_spec s;
    s.param("drive", f32(10));
    ASSERT_EQ(load(build_chunk(s)), kResultOk);
    process_block();
    ec->controller_values[0] = 77;

    std::vector<bytes> bad;
    chunk_spec nan;
    nan.param("bypass", f32(NAN)).param("drive", f32(20));
    bad.push_back(build_chunk(nan));
    chunk_spec wide;
    wide.param("volume", std::string(8, '\0'));
    bad.push_back(build_chunk(wide));
    chunk_spec id;
    id.info = {{"id", "tresk-vellum-grist-saturato"}};
    bad.push_back(build_chunk(id));
    chunk_spec version;
    version.version = "2.0";
    bad.push_back(build_chunk(version));
    bytes cut = build_chunk(chunk_spec{});
    cut.resize(3000);
    bad.push_back(cut);

    auto comp_before = std::make_unique<component>(*c);
    edit_controller ctl_before = *ec;
    for (auto& chunk : bad) {
        EXPECT_EQ(load(chunk), kResultFalse);
        EXPECT_EQ(load_controller(chunk), kResultFalse);
        // The whole record, lock and flags included, is as it was.
        EXPECT_EQ(memcmp(comp_before.get(), c, sizeof(component)), 0);
        EXPECT_EQ(memcmp(&ctl_before, ec, sizeof(edit_controller)), 0);
    }
}

TEST_F(plugin_pair, stream_failures_are_refused) {
    bytes chunk = save();
    EXPECT_EQ(component_set_state(c, nullptr), kResultFalse);
    EXPECT_EQ(component_get_state(c, nullptr), kResultFalse);
    EXPECT_EQ(controller_set_component_state(ec, nullptr), kResultFalse);

    memory_stream empty;
    EXPECT_EQ(component_set_state(c, empty.stream()), kResultFalse);
    EXPECT_EQ(controller_set_component_state(ec, empty.stream()), kResultFalse);

    memory_stream short_read(chunk);
    short_read.read_limit = 1000;  // delivers fewer bytes than asked
    EXPECT_EQ(component_set_state(c, short_read.stream()), kResultFalse);
    memory_stream no_seek(chunk);
    no_seek.fail_seek = true;
    EXPECT_EQ(component_set_state(c, no_seek.stream()), kResultFalse);
    memory_stream no_tell(chunk);
    no_tell.fail_tell = true;
    EXPECT_EQ(controller_set_component_state(ec, no_tell.stream()), kResultFalse);

    memory_stream short_write;
    short_write.write_budget = 100;
    EXPECT_EQ(component_get_state(c, short_write.stream()), kResultFalse);
    EXPECT_EQ(c->state_loaded, 0);
}

TEST_F(plugin_pair, streams_are_read_from_the_start_and_written_at_the_position) {
    chunk_spec s;
    s.param("drive", f32(5));
    memory_stream in(build_chunk(s));
    in.pos = 700;  // the host left the stream in the middle
    ASSERT_EQ(component_set_state(c, in.stream()), kResultOk);
    EXPECT_EQ(c->applied_values[0], 5);
    in.pos = static_cast<int64_t>(in.data.size());
    ASSERT_EQ(controller_set_component_state(ec, in.stream()), kResultOk);
    EXPECT_EQ(ec->controller_values[0], 5);

    memory_stream out(to_bytes("HEADER"));
    out.pos = 6;
    ASSERT_EQ(component_get_state(c, out.stream()), kResultOk);
    ASSERT_EQ(out.data.size(), 6u + 5632);
    EXPECT_EQ(at(out.data, 0, 6), "HEADER");
    EXPECT_EQ(at(out.data, 6, 7), "dsp.tar");
}

// The six values a chunk carries, as a controller loads them.
std::vector<double> chunk_values(const bytes& chunk) {
    plugin_instance reader;
    EXPECT_EQ(reader.load_controller(chunk), kResultOk);
    return std::vector<double>(reader.ec->controller_values, reader.ec->controller_values + 6);
}

TEST_F(plugin_pair, a_save_holds_the_values_the_next_audio_pass_will_use) {
    // Random loads, some followed by an audio pass and some not, some refused; every save
    // holds what the DSP runs after the next pass, and saving hands nothing over itself.
    const char* keys[6] = {"drive", "tone", "heat", "mix", "volume", "bypass"};
    unsigned seed = 2024;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xffff; };
    std::vector<double> pending(6);
    for (int i = 0; i < 6; i++) pending[i] = c->dsp.dsp_values[i];
    for (int round = 0; round < 60; round++) {
        chunk_spec s;
        std::vector<double> loaded(6);
        for (int i = 0; i < 6; i++) {
            // Values around each range, some outside it (clamped on loading).
            float v = i == 5 ? (float)(next() % 3) * 0.5f : (float)((int)(next() % 2400) - 200) / 10.0f;
            s.param(keys[i], f32(v));
            loaded[i] = state_value_to_plain(i, v);
        }
        const bool refused = next() % 5 == 0;
        if (refused) s.param("tone", f32(NAN));
        ASSERT_EQ(load(build_chunk(s)), refused ? kResultFalse : kResultOk);
        if (!refused) pending = loaded;

        bytes saved = save();
        EXPECT_EQ(chunk_values(saved), pending) << round;
        EXPECT_EQ(save(), saved) << "saving again changes nothing, round " << round;
        if (next() % 2 == 0) {
            process_block();
            for (int i = 0; i < 6; i++) EXPECT_EQ(c->dsp.dsp_values[i], (float)pending[i]) << round << " " << i;
            EXPECT_EQ(save(), saved) << round;
        }
    }
}

TEST_F(plugin_pair, controller_load_touches_only_its_values_without_editors) {
    chunk_spec s;
    s.param("heat", f32(3));
    edit_controller before = *ec;
    ASSERT_EQ(load_controller(build_chunk(s)), kResultOk);
    edit_controller after = *ec;
    EXPECT_EQ(after.controller_values[2], 3);
    memcpy(after.controller_values, before.controller_values, sizeof after.controller_values);
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
}

}  // namespace
