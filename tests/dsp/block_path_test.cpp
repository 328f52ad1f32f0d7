// dsp_process_block against its reference, dsp_process_sample over the same samples
// followed by dsp_recover: every output bit and the whole record after every block, for
// every oversampling factor, both SIMD widths, block sizes from 0 to beyond one pass,
// in-place buffers, automation at block edges, reactivation at other rates, and inputs
// that are NaN, infinite, huge, denormal or loud enough for the drive stage's rails.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "dsp/overdrive_dsp.h"
#include "dsp_test_support.h"

namespace {

// The rate whose factor is n: ceil(176400 / rate) = n.
float rate_for(int n)
{
    return 176400.0f / (static_cast<float>(n) - 0.5f);
}

// Sizes at and around the powers of two and the pass length, then anything.
int32_t block_size(uint32_t* seed)
{
    static const int32_t sizes[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 63, 64, 65, 127, 128, 129,
                                    255, 256, 257, 511, 512, 1000, 4096, 8191, 8192, 8193, 10000};
    const uint32_t r = next_random(seed);
    if (r % 3 == 0)
        return sizes[next_random(seed) % (sizeof sizes / sizeof sizes[0])];
    return static_cast<int32_t>(next_random(seed) % (r % 2 ? 40 : 700));
}

float input_sample(int n, float rate, uint32_t* seed)
{
    const uint32_t r = next_random(seed) % 4000;
    switch (r) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return -std::numeric_limits<float>::infinity();
    case 2: return 3e38f;
    case 3: return 1e-40f;
    default: break;
    }
    // Loud stretches drive the stage onto its rails; quiet ones decay toward denormals.
    const int part = (n / 5000) % 4;
    const float level = part == 1 ? 12.0f : part == 3 ? 1e-30f : 1.0f;
    return level * test_signal(n, rate);
}

// Between blocks: sometimes a few parameter changes (ends of the ranges, repeats,
// NaN), rarely a reactivation, at another rate now and then.
void between_blocks(overdrive_dsp* a, overdrive_dsp* b, float* rate, uint32_t* seed)
{
    const uint32_t r = next_random(seed) % 100;
    if (r < 2) {
        if (next_random(seed) % 2)
            *rate = rate_for(1 + static_cast<int>(next_random(seed) % 16));
        dsp_activate(a, *rate);
        dsp_activate(b, *rate);
        return;
    }
    if (r >= 40)
        return;
    const int changes = 1 + static_cast<int>(next_random(seed) % 6);
    for (int k = 0; k < changes; k++) {
        const int index = static_cast<int>(next_random(seed) % 6);
        const float value = random_param_value(a, index, seed);
        dsp_set_param(a, index, value);
        dsp_set_param(b, index, value);
    }
}

// The record up to the block path's scratch, which holds nothing between calls.
bool same_record(const overdrive_dsp& a, const overdrive_dsp& b)
{
    return std::memcmp(&a, &b, offsetof(overdrive_dsp, block_lanes)) == 0;
}

// Controls off their targets or on them, and settled counts from 0 to 2, in any mix
// (including ones the per-sample path never leaves behind, such as a capacitance
// scale that moves or a stage at rest with a count below 2).
void scramble_controls(overdrive_dsp* d, uint32_t* seed)
{
    float* controls[] = {&d->clip_stage.drive, &d->clip_stage.cap1_scale, &d->clip_stage.cap2_scale,
                         &d->tone_stage.tone, &d->tone_stage.cap_scale};
    const float* targets[] = {&d->clip_stage.target_drive, &d->clip_stage.target_cap1_scale,
                              &d->clip_stage.target_cap2_scale, &d->tone_stage.target_tone,
                              &d->tone_stage.target_cap_scale};
    const bool at_rest = next_random(seed) % 2;
    for (int i = 0; i < 5; i++)
        *controls[i] = at_rest || next_random(seed) % 2 ? *targets[i] : *targets[i] * 0.8f;
    d->clip_settled = static_cast<int32_t>(next_random(seed) % 3);
    d->tone_settled = static_cast<int32_t>(next_random(seed) % 3);
}

// Eight lanes in AVX-512's encoding, as a width of its own.
constexpr int evex_lanes = 80;

// lanes: 4, 8 (AVX2's encoding on x86-64) or evex_lanes.
void expect_same_as_per_sample(int factor, int lanes, int samples, bool scrambled = false)
{
    uint32_t seed = 0xB10C0000u + static_cast<uint32_t>(factor * 16 + lanes + samples * 256);
    float rate = rate_for(factor);
    overdrive_dsp reference, block;
    make_dsp(&reference, rate);
    ASSERT_EQ(reference.oversampling, factor);
    if (scrambled)
        scramble_controls(&reference, &seed);
    block = reference;
    block.block_lanes = lanes == evex_lanes ? 8 : lanes;
    block.block_evex = lanes == evex_lanes;
    std::vector<float> in, expected, got;
    int n = 0;
    int blocks = 0;
    while (n < samples) {
        between_blocks(&reference, &block, &rate, &seed);
        // A scrambled record's first blocks are short, so that its counts matter.
        const int32_t count = scrambled && blocks < 2 ? 1 : block_size(&seed);
        in.resize(static_cast<size_t>(count));
        for (float& x : in)
            x = input_sample(n++, rate, &seed);
        expected.resize(in.size());
        process_fp_mode mode;
        for (size_t i = 0; i < in.size(); i++)
            expected[i] = dsp_process_sample(&reference, in[i]);
        dsp_recover(&reference, expected.data(), count);
        if (next_random(&seed) % 2) {
            got = in;
            dsp_process_block(&block, got.data(), got.data(), count);
        } else {
            got.assign(in.size(), -1.0f);
            dsp_process_block(&block, in.data(), got.data(), count);
        }
        size_t first = 0;
        while (first < in.size() && float_bits(expected[first]) == float_bits(got[first]))
            first++;
        ASSERT_EQ(first, in.size()) << "factor " << factor << " lanes " << lanes << " block " << blocks
                                    << " of " << count << ": " << expected[first] << " vs " << got[first]
                                    << " for input " << in[first];
        ASSERT_TRUE(same_record(reference, block))
            << "factor " << factor << " lanes " << lanes << " block " << blocks << " of " << count;
        blocks++;
    }
}

} // namespace

TEST(block_path, matches_the_per_sample_path_with_four_lanes_at_every_factor)
{
    for (int factor = 1; factor <= 16; factor++)
        expect_same_as_per_sample(factor, 4, 60000);
}

TEST(block_path, matches_the_per_sample_path_with_eight_lanes_in_both_encodings_at_every_factor)
{
    overdrive_dsp probe;
    dsp_init(&probe);
    if (probe.block_lanes != 8)
        GTEST_SKIP() << "this processor has no AVX2";
    if (!probe.block_evex)
        std::printf("skipped: eight lanes in AVX-512's encoding, this processor has no AVX-512 (F and VL)\n");
    for (int factor = 1; factor <= 16; factor++) {
        expect_same_as_per_sample(factor, 8, 60000);
        if (probe.block_evex)
            expect_same_as_per_sample(factor, evex_lanes, 60000);
    }
}

TEST(block_path, matches_from_any_mix_of_moving_controls_and_settled_counts)
{
    overdrive_dsp probe;
    dsp_init(&probe);
    for (int lanes : {4, 8, evex_lanes}) {
        if (lanes == 8 ? probe.block_lanes != 8 : lanes == evex_lanes && !probe.block_evex) {
            std::printf("skipped: %s\n", lanes == 8 ? "no AVX2 for eight lanes" : "no AVX-512 (F and VL)");
            continue;
        }
        for (int factor : {1, 2, 16})
            for (int run = 0; run < 20; run++)
                expect_same_as_per_sample(factor, lanes, 50 + run * 37, true);
    }
}
