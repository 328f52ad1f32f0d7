// The parameter laws: the targets each plain value sets, checked against worked values
// and against the laws' closed forms computed in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "dsp/overdrive_dsp.h"
#include "dsp_test_support.h"

namespace {

struct laws_fixture : ::testing::Test {
    overdrive_dsp dsp;
    void SetUp() override
    {
        dsp_init(&dsp);
        for (int i = 0; i < 6; i++)
            dsp_set_param(&dsp, i, default_params[i]);
    }
    float target_after(int index, float value)
    {
        dsp_set_param(&dsp, index, value);
        switch (index) {
        case 0: return dsp.clip_stage.target_drive;
        case 1: return dsp.tone_stage.target_tone;
        case 2: return dsp.heat_gain.target;
        case 3: return dsp.mix.target;
        case 4: return dsp.volume.target;
        default: return dsp.bypass.target;
        }
    }
};

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();

} // namespace

TEST_F(laws_fixture, drive_follows_its_exponential_and_saturates_at_one)
{
    // 2^(0.0332·v − 3.166) − 0.0321, clamped to [0, 1]; the fast power of two is within
    // 1e-3 relative.
    for (float v = 0.0f; v <= 100.0f; v += 2.5f) {
        const double want = std::fmin(std::exp2(v * 0.0331855714 - 3.16617894) - 0.032142859, 1.0);
        EXPECT_NEAR(target_after(0, v), want, 1e-3) << v;
    }
    EXPECT_NEAR(target_after(0, 0.0f), 0.0793f, 2e-4f);
    EXPECT_NEAR(target_after(0, 50.0f), 0.3197f, 5e-4f);
    EXPECT_EQ(target_after(0, 97.0f), 1.0f);
    EXPECT_EQ(target_after(0, 100.0f), 1.0f);
}

TEST_F(laws_fixture, tone_reads_the_taper_and_clamps)
{
    // 0 and 100 hit the clamps; 50 gives t = 9.99999905, i = 9, almost all of the way
    // from taper[9] 0.844386 to taper[10] 0.893214.
    EXPECT_EQ(target_after(1, 0.0f), 0.001f);
    EXPECT_EQ(target_after(1, 100.0f), 0.999f);
    EXPECT_NEAR(target_after(1, 50.0f), 0.893214f, 1e-6f);
    EXPECT_LT(target_after(1, 50.0f), 0.893213987f);
    // Midway between two taper points (t = 3.5 → halfway from 0.142770 to 0.180259).
    EXPECT_NEAR(target_after(1, 17.5f), (0.142770007f + 0.180259004f) / 2, 1e-6f);
    // Values outside the range stay on the curve instead of reading past it.
    EXPECT_EQ(target_after(1, 250.0f), 0.999f);
    EXPECT_EQ(target_after(1, -30.0f), 0.001f);
    EXPECT_EQ(target_after(1, std::numeric_limits<float>::infinity()), 0.999f);
}

TEST_F(laws_fixture, heat_scales_both_capacitors_and_trims_the_level)
{
    EXPECT_NEAR(target_after(2, 50.0f), 1.0f, 1e-6f);
    EXPECT_NEAR(target_after(2, 0.0f), 1.3938f, 1e-4f);
    EXPECT_NEAR(target_after(2, 100.0f), 0.8448f, 1e-4f);
    for (float v = 0.0f; v <= 100.0f; v += 12.5f) {
        dsp_set_param(&dsp, 2, v);
        // About 10^(0.6 − 0.012·v) on the scales, the capacitances' divisors.
        const double h = std::pow(10.0, 0.6 - 0.012 * v);
        EXPECT_NEAR(dsp.clip_stage.target_cap1_scale / (720.484131 * h), 1.0, 2e-3) << v;
        EXPECT_NEAR(dsp.clip_stage.target_cap2_scale / (5663.67529 * h), 1.0, 2e-3) << v;
    }
    // At Heat 50 the capacitors take their nominal values, 47 nF and 51 pF.
    dsp_set_param(&dsp, 2, 50.0f);
    dsp_activate(&dsp, 44100.0f);
    EXPECT_NEAR(dsp.clip_stage.c1, 4.7e-8f, 4.7e-8f * 1e-3f);
    EXPECT_NEAR(dsp.clip_stage.c2, 5.1e-11f, 5.1e-11f * 1e-3f);
}

TEST_F(laws_fixture, mix_follows_its_power_law)
{
    // (49^(v/100) − 1)/48: 0, 0.125 and 1 at 0, 50 and 100; the quoted 0 is about
    // −1.25e-5 through the fast power of two.
    EXPECT_NEAR(target_after(3, 0.0f), 0.0f, 2e-5f);
    EXPECT_NEAR(target_after(3, 50.0f), 0.125f, 1e-4f);
    EXPECT_NEAR(target_after(3, 100.0f), 1.0f, 1e-4f);
    for (float v = 0.0f; v <= 100.0f; v += 5.0f)
        EXPECT_NEAR(target_after(3, v), (std::pow(49.0, v / 100.0) - 1) / 48, 1e-3) << v;
}

TEST_F(laws_fixture, volume_in_decibels_and_silence_below_a_tenth)
{
    // 100·0.00999999978 rounds to exactly 1, e is 0 and 2^−0 is exactly 1.
    EXPECT_EQ(target_after(4, 100.0f), 0.25f);
    EXPECT_EQ(target_after(4, 0.05f), 0.0f);
    EXPECT_EQ(target_after(4, 0.0f), 0.0f);
    // With the input gain of 4: −24·e dB, e = 1 − v/100, or 0.01/v + 0.8 below 10.
    auto level_db = [&](float v) { return 20 * std::log10(4.0 * target_after(4, v)); };
    EXPECT_NEAR(level_db(200.0f), 24.0, 0.05);
    EXPECT_NEAR(level_db(150.0f), 12.0, 0.05);
    EXPECT_NEAR(level_db(50.0f), -12.0, 0.05);
    EXPECT_NEAR(level_db(10.0f), -21.6, 0.05);
    EXPECT_NEAR(level_db(1.0f), -43.2, 0.05);
    // The two branches meet at 10.
    EXPECT_NEAR(level_db(9.999f), level_db(10.001f), 0.01);
    const float faint = target_after(4, 0.11f);
    EXPECT_GT(faint, 0.0f);
    EXPECT_LT(faint, 1e-11f);
}

TEST_F(laws_fixture, bypass_is_a_toggle_at_one_half)
{
    EXPECT_EQ(target_after(5, 1.0f), 0.0f);
    EXPECT_EQ(target_after(5, 0.5f), 0.0f);
    EXPECT_EQ(target_after(5, 0.49f), 1.0f);
    EXPECT_EQ(target_after(5, 1.0f), 0.0f);
    EXPECT_EQ(target_after(5, nan_value), 1.0f);
    EXPECT_EQ(dsp.dsp_values[5], 0.0f);
}

TEST_F(laws_fixture, bad_indices_and_values_leave_the_record_sound)
{
    overdrive_dsp before = dsp;
    dsp_set_param(&dsp, 6, 10.0f);
    dsp_set_param(&dsp, -1, 10.0f);
    dsp_set_param(&dsp, 1 << 30, 10.0f);
    EXPECT_EQ(std::memcmp(&before, &dsp, sizeof dsp), 0);

    // A NaN would make its smoother NaN for good; it is ignored.
    for (int i = 0; i < 5; i++)
        dsp_set_param(&dsp, i, nan_value);
    EXPECT_EQ(std::memcmp(&before, &dsp, sizeof dsp), 0);

    // Out-of-range values act as the nearest end of the range.
    overdrive_dsp ends;
    dsp_init(&ends);
    const float high[6] = {100.0f, 100.0f, 100.0f, 100.0f, 200.0f, 1.0f};
    for (int i = 0; i < 6; i++)
        dsp_set_param(&ends, i, high[i]);
    const float inf = std::numeric_limits<float>::infinity();
    const float beyond[6] = {1e6f, inf, 1e30f, 101.0f, 1e9f, 7.0f};
    for (int i = 0; i < 6; i++)
        dsp_set_param(&dsp, i, beyond[i]);
    EXPECT_EQ(dsp.clip_stage.target_drive, ends.clip_stage.target_drive);
    EXPECT_EQ(dsp.clip_stage.target_cap1_scale, ends.clip_stage.target_cap1_scale);
    EXPECT_EQ(dsp.heat_gain.target, ends.heat_gain.target);
    EXPECT_EQ(dsp.mix.target, ends.mix.target);
    EXPECT_EQ(dsp.volume.target, ends.volume.target);
    EXPECT_EQ(std::memcmp(dsp.dsp_values, ends.dsp_values, sizeof dsp.dsp_values), 0);

    dsp_set_param(&dsp, 2, -inf);
    dsp_set_param(&dsp, 4, -5.0f);
    EXPECT_EQ(dsp.dsp_values[2], 0.0f);
    EXPECT_EQ(dsp.volume.target, 0.0f);
}
