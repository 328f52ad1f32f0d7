// The oversampling resampler: gain at DC, the passband and the image band of the
// designed cascade, the zero stuffing of the upsampler and the downsampler's pick.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "dsp/fast_math.h"
#include "dsp/resampler.h"
#include "dsp_test_support.h"

namespace {

// The design parameter that activation passes for factor n.
float design_g(int n)
{
    const float nf = static_cast<float>(n);
    return fast_rcp(nf - 0.486470938f) * (1.24563992f * nf - 0.83545053f);
}

// Peak output of the cascade (run at the oversampled rate, no resampling) for a sine
// at `fraction` of the base rate's Nyquist frequency, in dB.
double cascade_gain_db(int n, double fraction)
{
    resampler_coeffs c;
    resampler_design(&c, n, design_g(n));
    c.ratio = 1;
    resampler_state st{};
    double peak = 0;
    const int length = 40000;
    for (int i = 0; i < length; i++) {
        const float x = static_cast<float>(std::sin(2 * M_PI * fraction * 0.5 / n * i));
        float y;
        resampler_process(&c, &st, &x, &y, 1);
        if (i > length / 2)
            peak = std::fmax(peak, std::fabs(y));
    }
    return 20 * std::log10(peak);
}

} // namespace

TEST(resampler, both_directions_share_one_design)
{
    resampler_coeffs up, down;
    resampler_design(&up, 4, design_g(4));
    resampler_design(&down, -4, design_g(4));
    EXPECT_EQ(up.ratio, 4);
    EXPECT_EQ(down.ratio, -4);
    EXPECT_EQ(up.sections, 8);
    EXPECT_EQ(std::memcmp(up.b0, down.b0, sizeof up - offsetof(resampler_coeffs, b0)), 0);
}

TEST(resampler, flat_passband_and_deep_image_band_for_every_factor)
{
    for (int n : {2, 4, 8, 16}) {
        // Measured: within 0.35 dB up to 0.8 of Nyquist; the first image band (from the
        // base rate's Nyquist up) is what the upsampler must remove.
        for (double f : {0.01, 0.2, 0.5, 0.8})
            EXPECT_NEAR(cascade_gain_db(n, f), 0.0, 0.5) << n << " " << f;
        EXPECT_LT(cascade_gain_db(n, 1.0), -12.0) << n;
        if (n >= 4) {
            EXPECT_LT(cascade_gain_db(n, 2.0), -90.0) << n;
        }
    }
}

TEST(resampler, upsampler_settles_to_one_for_a_constant_one)
{
    for (int n : {2, 4, 16}) {
        resampler_coeffs c;
        resampler_design(&c, n, design_g(n));
        resampler_state st{};
        std::vector<float> out(static_cast<size_t>(n) * 4000);
        std::vector<float> in(4000, 1.0f);
        resampler_process(&c, &st, in.data(), out.data(), 4000);
        // After the transient every output sample, stuffed zero or not, sits at 1: the
        // cascade's DC gain is 1 and the gain N makes up for the zeros.
        for (size_t i = out.size() / 2; i < out.size(); i++)
            ASSERT_NEAR(out[i], 1.0f, 1e-4f) << n << " " << i;
    }
}

TEST(resampler, upsampled_impulse_is_n_times_the_cascade_response)
{
    const int n = 4;
    resampler_coeffs up;
    resampler_design(&up, n, design_g(n));
    resampler_coeffs plain = up;
    plain.ratio = 1;
    resampler_state su{}, sp{};
    const int length = 64;
    float in[length] = {1.0f};
    float out[length * n];
    resampler_process(&up, &su, in, out, length);
    float impulse = static_cast<float>(n);
    for (int i = 0; i < length * n; i++) {
        float y;
        resampler_process(&plain, &sp, &impulse, &y, 1);
        impulse = 0.0f;
        // The same operations on the same values: equal bits.
        ASSERT_EQ(float_bits(out[i]), float_bits(y)) << i;
    }
}

TEST(resampler, downsampler_keeps_the_first_of_every_n)
{
    const int n = 4;
    resampler_coeffs down;
    resampler_design(&down, -n, design_g(n));
    resampler_coeffs plain = down;
    plain.ratio = 1;
    resampler_state sd{}, sp{};
    std::vector<float> in(400), full(400);
    for (size_t i = 0; i < in.size(); i++)
        in[i] = test_signal(static_cast<int>(i), 4000.0f);
    resampler_process(&plain, &sp, in.data(), full.data(), 400);
    // Fed in calls of N samples, as the signal path does: each call writes one sample,
    // the filtered 1st, 5th, 9th … input.
    for (int call = 0; call < 100; call++) {
        float out[2] = {0.0f, -99.0f};
        resampler_process(&down, &sd, &in[static_cast<size_t>(call) * n], out, n);
        ASSERT_EQ(float_bits(out[0]), float_bits(full[static_cast<size_t>(call) * n])) << call;
        ASSERT_EQ(out[1], -99.0f);
    }
}

TEST(resampler, factor_sixteen_fills_exactly_sixteen)
{
    resampler_coeffs up;
    resampler_design(&up, 16, design_g(16));
    resampler_state st{};
    float out[18];
    for (float& v : out)
        v = -99.0f;
    const float x = 0.5f;
    resampler_process(&up, &st, &x, out, 1);
    for (int i = 0; i < 16; i++)
        EXPECT_NE(out[i], -99.0f) << i;
    EXPECT_EQ(out[16], -99.0f);
    EXPECT_EQ(out[17], -99.0f);
}
