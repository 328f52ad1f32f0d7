// Bit-exact agreement with a second model of the overdrive, tests/dsp/float32_model.py,
// which shares no code with src/dsp (Python, each float operation done in double and
// rounded once to 32 bits). The expected values below are that script's output: a
// FNV-1a hash of the result bits of each sweep or run, over inputs that both sides build
// from whole numbers. Any reordered operation, wrong constant, float-for-double product
// or missed state update changes them; rerun the script to see which layer moved.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"
#include "dsp_test_support.h"

namespace {

uint32_t fnv1a(const std::vector<float>& values)
{
    uint32_t h = 2166136261u;
    for (float v : values) {
        const uint32_t w = float_bits(v);
        for (int k = 0; k < 4; k++)
            h = (h ^ ((w >> (8 * k)) & 0xFFu)) * 16777619u;
    }
    return h;
}

template <typename F>
std::vector<float> sweep(int count, F input, float (*fn)(float))
{
    std::vector<float> out;
    for (int i = 0; i < count; i++)
        out.push_back(fn(input(i)));
    return out;
}

struct param_event {
    int at;
    int index; // -1: reactivation at `value` Hz
    float value;
};

struct scenario {
    float rate;
    float start[6];
    std::vector<param_event> events;
    int length;
    int loud_from, loud_to;
    uint32_t hash, last;
};

// Exact in float but for the final sum: a slow sawtooth (0.5 or, when loud, 8 peak, to
// reach the drive stage's rails) plus a little noise from a linear congruential
// generator.
float reference_input(int n, bool loud, uint32_t* seed)
{
    *seed = *seed * 1664525u + 1013904223u;
    const float saw = static_cast<float>(((n * 3) & 511) - 256) * 0.00390625f;
    const float noise = static_cast<float>(static_cast<int>((*seed >> 16) & 255u) - 128) * 0.000244140625f;
    return saw * (loud ? 8.0f : 0.5f) + noise;
}

template <float (*process)(overdrive_dsp*, float)>
std::vector<float> run(const scenario& sc)
{
    overdrive_dsp dsp;
    make_dsp(&dsp, sc.rate, sc.start);
    std::vector<float> out;
    uint32_t seed = 1;
    for (int n = 0; n < sc.length; n++) {
        for (const param_event& e : sc.events) {
            if (e.at != n)
                continue;
            if (e.index < 0) {
                dsp_activate(&dsp, e.value);
            } else {
                process_fp_mode mode;
                dsp_set_param(&dsp, e.index, e.value);
            }
        }
        process_fp_mode mode;
        out.push_back(process(&dsp, reference_input(n, n >= sc.loud_from && n < sc.loud_to, &seed)));
    }
    return out;
}

// The same run on the block path, one block for each stretch between events.
std::vector<float> run_blocks(const scenario& sc)
{
    overdrive_dsp dsp;
    make_dsp(&dsp, sc.rate, sc.start);
    std::vector<float> in, out(static_cast<size_t>(sc.length));
    uint32_t seed = 1;
    for (int n = 0; n < sc.length; n++)
        in.push_back(reference_input(n, n >= sc.loud_from && n < sc.loud_to, &seed));
    for (int n = 0; n < sc.length;) {
        int end = sc.length;
        for (const param_event& e : sc.events) {
            if (e.at == n && e.index < 0) {
                dsp_activate(&dsp, e.value);
            } else if (e.at == n) {
                process_fp_mode mode;
                dsp_set_param(&dsp, e.index, e.value);
            } else if (e.at > n && e.at < end) {
                end = e.at;
            }
        }
        process_fp_mode mode;
        dsp_process_block(&dsp, &in[static_cast<size_t>(n)], &out[static_cast<size_t>(n)], end - n);
        n = end;
    }
    return out;
}

} // namespace

TEST(reference_model, fast_maths_agree_bit_for_bit)
{
    // All normal magnitudes of both signs; whole and fractional exponents from −130 up
    // to 128; positive normals and subnormals; every binade for the square root; eight
    // periods of the sine; tangents up to 24 kHz at two rates; all three branches of the
    // diode solver's first guess.
    EXPECT_EQ(fnv1a(sweep(8192, [](int i) {
                  return float_of((0x00800000u + static_cast<uint32_t>(i) * 0x3F400u) |
                                  (static_cast<uint32_t>(i & 1) << 31));
              }, fast_rcp)), 0x2ae88b53u);
    EXPECT_EQ(fnv1a(sweep(16384, [](int i) { return static_cast<float>(i - 8320) * 0.015625f; },
                          fast_pow2)), 0x13eaa375u);
    EXPECT_EQ(fnv1a(sweep(8192, [](int i) { return float_of(1u + static_cast<uint32_t>(i) * 0x3F8A1u); },
                          fast_ln)), 0xe416674bu);
    EXPECT_EQ(fnv1a(sweep(4096, [](int i) { return float_of(static_cast<uint32_t>(i) * 0x7F7F7u); },
                          fast_sqrt)), 0xf7d3cb46u);
    EXPECT_EQ(fnv1a(sweep(16384, [](int i) { return static_cast<float>(i - 8192) * 0.0009765625f; },
                          fast_sin2pi)), 0x35e93f45u);
    std::vector<float> tangents;
    for (float inv_rate : {1.0f / 44100.0f, 1.0f / 176400.0f})
        for (int i = 0; i < 8000; i++)
            tangents.push_back(fast_tan_half(static_cast<float>(i * 3), inv_rate));
    EXPECT_EQ(fnv1a(tangents), 0x4bcb646bu);
    std::vector<float> omega = sweep(8192, [](int i) { return static_cast<float>(i - 4096) * 0.0078125f; },
                                     wright_omega);
    for (float v : sweep(4096, [](int i) { return float_of(0x41000000u + static_cast<uint32_t>(i) * 0x3000u); },
                         wright_omega))
        omega.push_back(v);
    EXPECT_EQ(fnv1a(omega), 0x334819adu);
}

TEST(reference_model, parameter_laws_agree_bit_for_bit)
{
    // 1025 steps over each range; Heat contributes both capacitor scales and its trim.
    overdrive_dsp dsp;
    dsp_init(&dsp);
    const struct {
        int index;
        float top;
        uint32_t hash;
    } laws[] = {{0, 100.0f, 0xc3207c63u}, {1, 100.0f, 0xe088a021u}, {2, 100.0f, 0x558ddc7eu},
                {3, 100.0f, 0x7b06d020u}, {4, 200.0f, 0xbd74df70u}};
    for (const auto& law : laws) {
        std::vector<float> targets;
        const float step = law.top / 1024.0f;
        for (int i = 0; i <= 1024; i++) {
            dsp_set_param(&dsp, law.index, static_cast<float>(i) * step);
            switch (law.index) {
            case 0: targets.push_back(dsp.clip_stage.target_drive); break;
            case 1: targets.push_back(dsp.tone_stage.target_tone); break;
            case 2:
                targets.push_back(dsp.clip_stage.target_cap1_scale);
                targets.push_back(dsp.clip_stage.target_cap2_scale);
                targets.push_back(dsp.heat_gain.target);
                break;
            case 3: targets.push_back(dsp.mix.target); break;
            default: targets.push_back(dsp.volume.target); break;
            }
        }
        EXPECT_EQ(fnv1a(targets), law.hash) << "parameter " << law.index;
    }
}

TEST(reference_model, signal_path_agrees_bit_for_bit_on_every_path)
{
    // Factors 4, 16, 1, 3 and 2 (then 4 after a reactivation at 48 kHz), glides of every
    // control, both rails, the Volume branch below 10 and silence below 0.1, bypass.
    const scenario scenarios[] = {
        {44100.0f, {50, 50, 50, 100, 100, 0},
         {{300, 0, 80}, {300, 1, 20}, {300, 2, 70}, {300, 3, 40}, {300, 4, 150}, {900, 0, 3},
          {900, 2, 0}, {900, 1, 100}, {1300, 4, 5}, {1300, 3, 0}, {1500, 5, 1}, {1500, 2, 100}},
         1800, 600, 1200, 0xcc5231e7u, 0x3dec88dbu},
        {11025.0f, {100, 0, 100, 70, 30, 0}, {{200, 1, 63}, {200, 0, 10}, {400, 2, 20}}, 600, 300, 600,
         0x8bbc471cu, 0x3e03499au},
        {192000.0f, {0, 100, 0, 0, 200, 0}, {{500, 3, 100}, {500, 0, 100}, {900, 1, 85}}, 1500, 1000, 1500,
         0x0b73346du, 0x4364ad66u},
        {58800.0f, {97, 77, 33, 55, 9.5f, 0}, {{400, 4, 0.05f}, {400, 1, 45.5f}, {700, 5, 0.4f}}, 1000, 500,
         1000, 0x92c4ac5eu, 0x3f8249b8u},
        {96000.0f, {50, 50, 50, 100, 100, 0}, {{100, 2, 100}, {600, -1, 48000}, {700, 0, 100}, {700, 1, 0}},
         1200, 300, 1200, 0x4c7b0734u, 0x3f2398d0u},
    };
    for (const scenario& sc : scenarios) {
        for (const std::vector<float>& out :
             {run<dsp_process_sample>(sc), run<dsp_process_sample_plain>(sc), run_blocks(sc)}) {
            EXPECT_EQ(fnv1a(out), sc.hash) << sc.rate;
            EXPECT_EQ(float_bits(out.back()), sc.last) << sc.rate;
        }
    }
}
