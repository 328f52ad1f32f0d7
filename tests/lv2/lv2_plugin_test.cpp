// The LV2 edition driven by a host of our own (dlopen, as any LV2 host loads it),
// compared bit for bit with vgs-host driving the VST 3 bundle: every block size, both
// rates, control moves at block starts (a VST 3 point at offset 0), values out of
// range, a NaN port, non-finite input; and the state extension, whose property is the
// VST 3 component's chunk.
#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "lv2_host.h"
#include "run_process.h"
#include "wav_file.h"

namespace {

const std::string work_dir = LV2_TEST_WORK_DIR "/plugin";
const char* const chunk_uri = "https://www.tresk-sonwave.example/plugins/vellum-grist-saturator#chunk";
const char* const titles[6] = {"Drive", "Tone", "Heat", "Mix", "Volume", "Bypass"};

// A control move at a time in seconds: `port` is what the LV2 host writes to the port,
// `host` what vgs-host is told (the value the plug-in takes; NaN: no change at all).
struct move {
    double seconds;
    int index;
    float port;
    double host;
};

const double nan = std::numeric_limits<double>::quiet_NaN();

const std::vector<move> script = {
    {0.0, 0, 73.5f, 73.5},    {0.0, 1, 31.25f, 31.25}, {0.0, 4, 112.5f, 112.5},
    {0.05, 2, 87.5f, 87.5},   {0.1, 3, 62.5f, 62.5},   {0.15, 5, 0.75f, 1},
    {0.2, 5, 0.25f, 0},       {0.25, 4, 250.0f, 200},  {0.3, 0, (float)nan, nan},
    {0.32, 1, -5.0f, 0},      {0.35, 0, 12.0f, 12},
};

// A second of material: a swelling sine, a chord, noise on an offset, and near the end
// a burst of non-finite samples.
std::vector<float> test_signal(double rate)
{
    const size_t n = (size_t)(0.4 * rate);
    std::vector<float> out(n);
    uint32_t seed = 7;
    for (size_t i = 0; i < n; i++) {
        const double t = (double)i / rate;
        double v;
        if (t < 0.15)
            v = t / 0.15 * 0.9 * std::sin(6.283185307179586 * 110.0 * t);
        else if (t < 0.3)
            v = 0.35 * std::sin(6.283185307179586 * 1000.0 * t) + 0.25 * std::sin(6.283185307179586 * 3300.0 * t);
        else {
            seed = seed * 1664525u + 1013904223u;
            v = 0.1 + 0.3 * ((double)(seed >> 8) / 8388608.0 - 1.0);
        }
        out[i] = (float)v;
    }
    const size_t burst = (size_t)(0.37 * rate);
    out[burst] = std::numeric_limits<float>::quiet_NaN();
    out[burst + 3] = std::numeric_limits<float>::infinity();
    out[burst + 5] = -std::numeric_limits<float>::infinity();
    return out;
}

// The first block start at or after `seconds`.
int64_t block_start(double seconds, double rate, int64_t block)
{
    const int64_t sample = (int64_t)std::ceil(seconds * rate - 1e-9);
    return (sample + block - 1) / block * block;
}

std::string number(double v)
{
    char text[40];
    snprintf(text, sizeof text, "%.17g", v);
    return text;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b, size_t* first)
{
    for (size_t i = 0; i < a.size() && i < b.size(); i++) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            *first = i;
            return false;
        }
    }
    *first = a.size();
    return a.size() == b.size();
}

// vgs-host render of `input` with `args`; the output's only channel.
std::vector<float> host_render(const std::vector<float>& input, double rate, const std::vector<std::string>& args,
                               const std::string& name)
{
    mkdir(work_dir.c_str(), 0755);
    std::string error;
    const std::string in = work_dir + "/" + name + "_in.wav", out = work_dir + "/" + name + "_out.wav";
    EXPECT_TRUE(wav_write_mono(in, input, (int)rate, &error)) << error;
    std::vector<std::string> argv = {VGS_HOST, "render", VGS_BUNDLE_DIR, "-i", in, "-o", out, "-q"};
    argv.insert(argv.end(), args.begin(), args.end());
    process_result r = run_process(argv, {}, work_dir + "/" + name + ".log", 120.0);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    wav_audio audio;
    EXPECT_TRUE(wav_read(out, &audio, &error)) << error;
    return audio.channels.empty() ? std::vector<float>{} : audio.channels[0];
}

// The LV2 render in blocks of `block`, `before_block` called at every block start.
template <typename F>
std::vector<float> lv2_render(lv2_instance* inst, const std::vector<float>& input, int64_t block, F before_block)
{
    std::vector<float> out(input.size());
    for (int64_t start = 0; start < (int64_t)input.size(); start += block) {
        before_block(start);
        const int64_t n = std::min<int64_t>(block, (int64_t)input.size() - start);
        inst->run(input.data() + start, out.data() + start, (uint32_t)n);
    }
    return out;
}

class lv2_plugin : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(lv2_library_open(&lib_, VGS_LV2_BUNDLE_DIR, &error)) << error;
    }
    void TearDown() override { lv2_library_close(&lib_); }
    lv2_library lib_;
};

TEST_F(lv2_plugin, sounds_as_the_vst3_bundle_at_both_rates_and_every_block_size)
{
    struct case_ {
        double rate;
        int64_t block;
    };
    const case_ cases[] = {{44100, 1}, {44100, 37}, {44100, 64}, {44100, 512}, {44100, 4096},
                           {96000, 1}, {96000, 100}, {96000, 256}, {96000, 1024}};
    for (const case_& c : cases) {
        SCOPED_TRACE("rate " + number(c.rate) + ", block " + number((double)c.block));
        const std::vector<float> input = test_signal(c.rate);
        lv2_instance inst(lib_, c.rate);
        ASSERT_TRUE(inst.ok());
        const std::vector<float> lv2 = lv2_render(&inst, input, c.block, [&](int64_t start) {
            for (const move& m : script)
                if (block_start(m.seconds, c.rate, c.block) == start)
                    inst.set_control((uint32_t)m.index, m.port);
        });
        // The same moves as points at offset 0 of the same blocks.
        std::vector<std::string> args = {"-b", number((double)c.block)};
        for (const move& m : script) {
            if (std::isnan(m.host))
                continue;
            args.push_back("--at");
            args.push_back(number((double)block_start(m.seconds, c.rate, c.block) / c.rate) + ":" + titles[m.index] +
                           "=" + number(m.host));
        }
        const std::vector<float> vst3 = host_render(input, c.rate, args, "blocks");
        size_t first = 0;
        EXPECT_TRUE(same_bits(lv2, vst3, &first)) << "first difference at sample " << first;
        // The moves really changed the sound: Drive went to 12 in the last stretch.
        size_t changed = 0;
        for (size_t i = 0; i < input.size(); i++)
            changed += lv2[i] != input[i];
        EXPECT_GT(changed, input.size() / 2);
    }
}

float chunk_value(const std::vector<uint8_t>& chunk, const char* key)
{
    // The parameters map holds "key" then its 4-byte little-endian float; the keys are
    // unique in the chunk.
    const std::string bytes(chunk.begin(), chunk.end());
    const size_t at = bytes.find(key);
    float v = std::numeric_limits<float>::quiet_NaN();
    if (at != std::string::npos && at + strlen(key) + 4 <= bytes.size())
        std::memcpy(&v, bytes.data() + at + strlen(key), 4);
    return v;
}

TEST_F(lv2_plugin, state_is_the_component_chunk_and_holds_until_a_port_moves)
{
    const double rate = 48000;
    const int64_t block = 256;
    std::vector<float> input = test_signal(rate);
    input.resize((size_t)(0.3 * rate));
    const float values[6] = {73.5f, 31.25f, 87.5f, 62.5f, 112.5f, 0.0f};
    const auto set_all = [&](lv2_instance* inst) {
        for (uint32_t i = 0; i < 6; i++)
            inst->set_control(i, values[i]);
    };

    // The saved instance: ports moved, one block run, then saved.
    lv2_instance saved(lib_, rate);
    set_all(&saved);
    std::vector<float> scratch(block);
    saved.run(input.data(), scratch.data(), block);
    std::vector<saved_property> state;
    ASSERT_EQ(saved.save(&state), LV2_STATE_SUCCESS);
    ASSERT_EQ(state.size(), 1u);
    EXPECT_EQ(state[0].key, saved.urid(chunk_uri));
    EXPECT_EQ(state[0].type, saved.urid(LV2_ATOM__Chunk));
    EXPECT_EQ(state[0].flags, (uint32_t)(LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE));
    EXPECT_EQ(state[0].value.size(), 5632u) << "the VST 3 component's chunk";
    const char* keys[6] = {"drive", "tone", "heat", "mix", "volume", "bypass"};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(chunk_value(state[0].value, keys[i]), values[i]) << keys[i];

    // Restored with its ports left at the defaults, an instance plays the saved values;
    // the port the host then moves (Drive at block 20) wins from there on, exactly as for
    // an instance whose ports were set all along.
    const auto then_drive = [](lv2_instance* inst, int64_t start) {
        if (start == 20 * block)
            inst->set_control(0, 12.0f);
    };
    lv2_instance set(lib_, rate);
    set_all(&set);
    const std::vector<float> expected = lv2_render(&set, input, block, [&](int64_t s) { then_drive(&set, s); });
    lv2_instance restored(lib_, rate);
    // The host's URID map numbers the chunk's URIs as the saving host did.
    restored.urid(chunk_uri);
    restored.urid(LV2_ATOM__Chunk);
    std::vector<saved_property> renumbered = state;
    renumbered[0].key = restored.urid(chunk_uri);
    renumbered[0].type = restored.urid(LV2_ATOM__Chunk);
    ASSERT_EQ(restored.restore(renumbered), LV2_STATE_SUCCESS);
    size_t first = 0;
    EXPECT_TRUE(same_bits(lv2_render(&restored, input, block, [&](int64_t s) { then_drive(&restored, s); }), expected,
                          &first))
        << "first difference at sample " << first;

    // Refusals change nothing: a damaged chunk, a property of another type, no property.
    lv2_instance plain(lib_, rate);
    const std::vector<float> defaults = lv2_render(&plain, input, block, [](int64_t) {});
    struct refusal {
        const char* what;
        std::vector<saved_property> state;
        LV2_State_Status status;
    };
    std::vector<saved_property> damaged = renumbered, retyped = renumbered;
    damaged[0].value[1024 + 18 + 10 + 5] ^= 0x20;  // a letter of the "id" value in the info map
    retyped[0].type = restored.urid(LV2_ATOM__String);
    const refusal refusals[] = {
        {"damaged chunk", damaged, LV2_STATE_ERR_UNKNOWN},
        {"another type", retyped, LV2_STATE_ERR_BAD_TYPE},
        {"no property", {}, LV2_STATE_ERR_NO_PROPERTY},
    };
    for (const refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        lv2_instance inst(lib_, rate);
        inst.urid(chunk_uri);
        inst.urid(LV2_ATOM__Chunk);
        inst.urid(LV2_ATOM__String);
        EXPECT_EQ(inst.restore(r.state), r.status);
        EXPECT_TRUE(same_bits(lv2_render(&inst, input, block, [](int64_t) {}), defaults, &first)) << first;
    }

    // Without a URID map the plug-in still plays; only its state is unavailable.
    lv2_instance unmapped(lib_, rate, false);
    ASSERT_TRUE(unmapped.ok());
    std::vector<saved_property> none;
    EXPECT_EQ(unmapped.save(&none), LV2_STATE_ERR_NO_FEATURE);
    EXPECT_TRUE(same_bits(lv2_render(&unmapped, input, block, [](int64_t) {}), defaults, &first)) << first;

    // One chunk for both formats: vgs-host plays the LV2 chunk as the restored instance
    // does when started the way vgs-host starts a loaded state (one empty block hands the
    // values over, a new activation starts the signal path on them).
    const std::string chunk_file = work_dir + "/lv2.chunk";
    mkdir(work_dir.c_str(), 0755);
    FILE* f = fopen(chunk_file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(state[0].value.data(), 1, state[0].value.size(), f);
    fclose(f);
    lv2_instance restored_again(lib_, rate);
    restored_again.urid(chunk_uri);
    restored_again.urid(LV2_ATOM__Chunk);
    ASSERT_EQ(restored_again.restore(renumbered), LV2_STATE_SUCCESS);
    restored_again.run(input.data(), scratch.data(), 0);
    restored_again.reactivate();
    const std::vector<float> lv2 = lv2_render(&restored_again, input, block, [](int64_t) {});
    const std::vector<float> vst3 = host_render(input, rate, {"-b", number((double)block), "--load-state", chunk_file},
                                                "state");
    EXPECT_TRUE(same_bits(lv2, vst3, &first)) << "first difference at sample " << first;
}

}  // namespace
