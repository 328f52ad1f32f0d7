// dsp_process_sample skips the coefficient updates of a stage at rest; it must give
// the same bits as the plain path, which recomputes them for every oversampled sample,
// and leave the same record behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "dsp/overdrive_dsp.h"
#include "dsp_test_support.h"

namespace {

// Automation that mixes long rests (where the skip applies), single changes, bursts of
// changes, values set again unchanged, and the ends of each range.
void automate(overdrive_dsp* dsp, uint32_t* seed)
{
    const uint32_t r = next_random(seed);
    if (r % 600 != 0)
        return;
    const int index = static_cast<int>(next_random(seed) % 6);
    dsp_set_param(dsp, index, random_param_value(dsp, index, seed));
}

void expect_same_path(float rate, uint32_t seed, int samples)
{
    overdrive_dsp fast, plain;
    make_dsp(&fast, rate);
    make_dsp(&plain, rate);
    uint32_t seed_fast = seed, seed_plain = seed;
    process_fp_mode mode;
    int resting = 0;
    for (int n = 0; n < samples; n++) {
        resting += fast.clip_settled == 2 && fast.tone_settled == 2;
        automate(&fast, &seed_fast);
        automate(&plain, &seed_plain);
        // Loud passages now and then, so the rails take part.
        const float gain = (n / 20000) % 3 == 2 ? 20.0f : 1.0f;
        const float x = gain * test_signal(n, rate);
        const float y_fast = dsp_process_sample(&fast, x);
        const float y_plain = dsp_process_sample_plain(&plain, x);
        ASSERT_EQ(float_bits(y_fast), float_bits(y_plain)) << rate << " sample " << n;
    }
    EXPECT_EQ(std::memcmp(&fast, &plain, sizeof fast), 0) << rate;
    // Both the skip and the updates must have had their turn.
    EXPECT_GT(resting, samples / 10) << rate;
    EXPECT_LT(resting, samples - samples / 50) << rate;
}

} // namespace

TEST(settled_skip, matches_the_plain_path_at_every_oversampling_factor)
{
    // N = 16, 8, 4, 3, 2, 1.
    const float rates[] = {11025.0f, 22050.0f, 44100.0f, 48000.0f, 58800.0f, 96000.0f, 192000.0f};
    for (float rate : rates)
        expect_same_path(rate, 0x9E3779B9u ^ static_cast<uint32_t>(rate), 60000);
}

TEST(settled_skip, matches_across_reactivation_and_with_a_rate_change)
{
    overdrive_dsp fast, plain;
    make_dsp(&fast, 44100.0f);
    make_dsp(&plain, 44100.0f);
    const float rates[] = {96000.0f, 44100.0f, 192000.0f, 11025.0f};
    int n = 0;
    for (float rate : rates) {
        // A glide is under way when the host reactivates.
        dsp_set_param(&fast, 0, 90.0f - rate / 4000.0f);
        dsp_set_param(&plain, 0, 90.0f - rate / 4000.0f);
        for (int i = 0; i < 300; i++, n++) {
            process_fp_mode mode;
            const float x = test_signal(n, 44100.0f);
            ASSERT_EQ(float_bits(dsp_process_sample(&fast, x)),
                      float_bits(dsp_process_sample_plain(&plain, x)));
        }
        dsp_activate(&fast, rate);
        dsp_activate(&plain, rate);
        for (int i = 0; i < 5000; i++, n++) {
            process_fp_mode mode;
            const float x = test_signal(n, rate);
            ASSERT_EQ(float_bits(dsp_process_sample(&fast, x)),
                      float_bits(dsp_process_sample_plain(&plain, x)))
                << rate << " " << i;
        }
    }
    EXPECT_EQ(std::memcmp(&fast, &plain, sizeof fast), 0);
}
