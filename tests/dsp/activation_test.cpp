// Activation: the oversampling factor, the snap of every glide, the reset of all
// states, repeatability, and rates that make no sense.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>

#include "dsp/overdrive_dsp.h"
#include "dsp_test_support.h"

TEST(activation, oversampling_factor_follows_the_rate)
{
    // ceil(176400 / rate), at most 16, at least 1.
    const struct {
        float rate;
        int factor;
    } cases[] = {
        {44100.0f, 4}, {48000.0f, 4}, {88200.0f, 2}, {96000.0f, 2}, {22050.0f, 8},
        {11025.0f, 16}, {10000.0f, 16}, {8000.0f, 16}, {176400.0f, 1}, {176399.0f, 2},
        {192000.0f, 1}, {384000.0f, 1}, {58800.0f, 3}, {58801.0f, 3}, {58799.0f, 4},
    };
    for (const auto& c : cases) {
        overdrive_dsp dsp;
        make_dsp(&dsp, c.rate);
        EXPECT_EQ(dsp.oversampling, c.factor) << c.rate;
        EXPECT_EQ(dsp.clip_stage.rate, c.rate * static_cast<float>(c.factor)) << c.rate;
        if (c.factor >= 2) {
            EXPECT_EQ(dsp.upsampler.ratio, c.factor);
            EXPECT_EQ(dsp.downsampler.ratio, -c.factor);
        }
    }
}

TEST(activation, snaps_every_glide_onto_its_target)
{
    overdrive_dsp dsp;
    dsp_init(&dsp);
    const float params[6] = {80.0f, 20.0f, 70.0f, 40.0f, 150.0f, 1.0f};
    for (int i = 0; i < 6; i++)
        dsp_set_param(&dsp, i, params[i]);
    // Before activation the values have only reached the targets.
    EXPECT_EQ(dsp.clip_stage.drive, 0.0f);
    EXPECT_EQ(dsp.volume.value, 0.0f);
    EXPECT_EQ(dsp.activation_rate, 0.0f);
    dsp_activate(&dsp, 96000.0f);
    EXPECT_EQ(dsp.activation_rate, 96000.0f);
    EXPECT_EQ(dsp.clip_stage.drive, dsp.clip_stage.target_drive);
    EXPECT_EQ(dsp.clip_stage.cap2_scale, dsp.clip_stage.target_cap2_scale);
    EXPECT_EQ(dsp.tone_stage.tone, dsp.tone_stage.target_tone);
    EXPECT_EQ(dsp.heat_gain.value, dsp.heat_gain.target);
    EXPECT_EQ(dsp.volume.value, dsp.volume.target);
    EXPECT_EQ(dsp.bypass.value, 0.0f);
    // The smoothers' time constants: about e^(−2π·cutoff/rate) per step, within the
    // fast reciprocal's 1.2e-5; the level ones at the host rate, the others at 2×.
    EXPECT_NEAR(dsp.mix.coeff, std::exp(-2 * M_PI * 3.18309712 / 96000), 2e-5);
    EXPECT_NEAR(dsp.heat_gain.coeff, std::exp(-2 * M_PI * 3.18309712 / 192000), 2e-5);
    EXPECT_NEAR(dsp.clip_stage.coeff, std::exp(-2 * M_PI * 31.8309746 / 192000), 2e-5);
}

TEST(activation, coupling_high_passes_sit_at_their_corners)
{
    // Each first-order high-pass, H(z) = (b0 + b1·z⁻¹) / (1 + a1·z⁻¹), is 3 dB down at
    // its corner: 7.09 and 15.52 Hz at the input, 3.12 and 1.59 Hz at the output. The
    // pole lies only about 2·π·corner/rate from 1, so the fast reciprocal's 1e-5 moves
    // the gain there by up to about 1 % at high rates (measured 1.1 % at 192 kHz).
    for (float rate : {11025.0f, 44100.0f, 96000.0f, 192000.0f}) {
        overdrive_dsp dsp;
        make_dsp(&dsp, rate);
        const struct {
            const highpass_coeffs* hp;
            double corner;
        } sets[] = {{&dsp.in_hp1, 7.09}, {&dsp.in_hp2, 15.52}, {&dsp.out_hp1, 3.12}, {&dsp.out_hp2, 1.59}};
        for (const auto& set : sets) {
            auto gain = [&](double f) {
                const std::complex<double> z1 = std::polar(1.0, -2 * M_PI * f / rate);
                const double b0 = set.hp->b0, b1 = set.hp->b1, a1 = set.hp->a1;
                return std::abs((b0 + b1 * z1) / (1.0 + a1 * z1));
            };
            EXPECT_NEAR(gain(set.corner), std::sqrt(0.5), 0.015) << rate << " " << set.corner;
            EXPECT_NEAR(gain(rate * 0.25), 1.0, 0.005) << rate << " " << set.corner;
        }
    }
}

TEST(activation, two_activations_give_identical_records)
{
    overdrive_dsp a, b;
    make_dsp(&a, 44100.0f);
    b = a;
    dsp_activate(&b, 44100.0f);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(activation, reactivation_forgets_everything_the_signal_left)
{
    // An instance that played with glides in progress, once reactivated, plays exactly
    // like a fresh one with the same parameters.
    const float params[6] = {70.0f, 30.0f, 20.0f, 60.0f, 120.0f, 0.0f};
    overdrive_dsp used, fresh;
    make_dsp(&used, 48000.0f);
    {
        process_fp_mode mode;
        for (int n = 0; n < 5000; n++) {
            if (n == 1000)
                for (int i = 0; i < 6; i++)
                    dsp_set_param(&used, i, params[i]);
            dsp_process_sample(&used, test_signal(n, 48000.0f));
        }
    }
    dsp_activate(&used, 48000.0f);
    make_dsp(&fresh, 48000.0f, params);
    process_fp_mode mode;
    for (int n = 0; n < 20000; n++) {
        const float x = test_signal(n, 48000.0f);
        ASSERT_EQ(float_bits(dsp_process_sample(&used, x)), float_bits(dsp_process_sample(&fresh, x)))
            << n;
    }
}

TEST(activation, without_resampling_the_resampler_keeps_its_old_design)
{
    overdrive_dsp dsp;
    make_dsp(&dsp, 44100.0f);
    const resampler_coeffs up = dsp.upsampler;
    dsp_activate(&dsp, 192000.0f);
    EXPECT_EQ(dsp.oversampling, 1);
    EXPECT_EQ(std::memcmp(&up, &dsp.upsampler, sizeof up), 0);
}

TEST(activation, meaningless_rates_give_a_playable_instance_and_touch_nothing_else)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float rates[] = {0.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN(), inf, -inf,
                           1e-30f, 0.5f, 3.0f, 1e12f, 3.4e38f};
    for (float rate : rates) {
        // Guard bytes on both sides of the record.
        struct {
            unsigned char before[64];
            overdrive_dsp dsp;
            unsigned char after[64];
        } box;
        std::memset(box.before, 0xA5, sizeof box.before);
        std::memset(box.after, 0x5A, sizeof box.after);
        make_dsp(&box.dsp, rate);
        EXPECT_GE(box.dsp.oversampling, 1) << rate;
        EXPECT_LE(box.dsp.oversampling, 16) << rate;
        EXPECT_TRUE(std::isfinite(box.dsp.activation_rate)) << rate;
        EXPECT_GT(box.dsp.activation_rate, 0.0f) << rate;
        process_fp_mode mode;
        for (int n = 0; n < 4000; n++) {
            const float y = dsp_process_sample(&box.dsp, test_signal(n, 44100.0f));
            ASSERT_TRUE(std::isfinite(y)) << rate << " " << n;
        }
        for (unsigned char c : box.before)
            ASSERT_EQ(c, 0xA5);
        for (unsigned char c : box.after)
            ASSERT_EQ(c, 0x5A);
    }
    // No rate at all (setupProcessing never called) plays as 44100 Hz.
    overdrive_dsp none, common;
    make_dsp(&none, 0.0f);
    make_dsp(&common, 44100.0f);
    EXPECT_EQ(std::memcmp(&none, &common, sizeof none), 0);
}
