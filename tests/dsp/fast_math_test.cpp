// The approximations against their worked values and against the maths library
// (double precision) as an independent reference for their accuracy.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dsp/fast_math.h"
#include "dsp_test_support.h"

TEST(fast_math, pow2_is_exact_at_whole_numbers)
{
    // At f = 1 the polynomial sums to exactly 1, so p + p·1 doubles p: a negative whole
    // number, which steps down one and takes fraction 1, still gives the exact power.
    EXPECT_EQ(fast_pow2(-2.0f), 0.25f);
    EXPECT_EQ(fast_pow2(0.0f), 1.0f);
    EXPECT_EQ(fast_pow2(-0.0f), 1.0f);
    for (int i = -125; i <= 127; i++)
        EXPECT_EQ(fast_pow2(static_cast<float>(i)), std::ldexp(1.0f, i)) << i;
    EXPECT_EQ(fast_pow2(-126.5f), 0.0f);
    EXPECT_EQ(fast_pow2(-1000.0f), 0.0f);
}

TEST(fast_math, pow2_ln_rcp_sqrt_track_the_library)
{
    double err_pow2 = 0, err_rcp = 0, err_ln = 0, err_sqrt = 0;
    for (double v = -125.0; v < 127.0; v += 0.00731) {
        const float x = static_cast<float>(v);
        err_pow2 = std::fmax(err_pow2, std::fabs(fast_pow2(x) / std::exp2(double(x)) - 1));
    }
    // Every binade, so the square root's range steps for tiny and huge exponents count.
    for (int e = -126; e < 127; e++) {
        for (double m = 1.0; m < 2.0; m += 0.0173) {
            const float x = std::ldexp(static_cast<float>(m), e);
            // The reciprocal's first guess leaves the normal range at the extremes.
            if (e > -120 && e < 120)
                err_rcp = std::fmax(err_rcp, std::fabs(double(fast_rcp(x)) * x - 1));
            err_ln = std::fmax(err_ln, std::fabs(fast_ln(x) - std::log(double(x))));
            err_sqrt = std::fmax(err_sqrt, std::fabs(fast_sqrt(x) / std::sqrt(double(x)) - 1));
        }
    }
    // Bounds: measured maxima (6.1e-4, 1.2e-5, 3.6e-3, 5.9e-6) with some headroom; a
    // wrong constant or a lost Newton step is orders of magnitude worse.
    EXPECT_LT(err_pow2, 1e-3);
    EXPECT_LT(err_rcp, 2e-5);
    EXPECT_LT(err_ln, 5e-3);
    EXPECT_LT(err_sqrt, 1e-5);

    // The log polynomial's offset leaves about 3.3e-6 at 1, not 0.
    EXPECT_GT(fast_ln(1.0f), 1e-6f);
    EXPECT_LT(fast_ln(1.0f), 1e-5f);
    EXPECT_NEAR(fast_sqrt(100.0f), 10.0f, 1e-5f);
}

TEST(fast_math, sqrt_of_zero_and_subnormals_is_zero)
{
    EXPECT_EQ(fast_sqrt(1e-39f), 0.0f);
    EXPECT_EQ(fast_sqrt(0.0f), 0.0f);
    EXPECT_EQ(fast_sqrt(-4.0f), 0.0f);
    EXPECT_GT(fast_sqrt(1.17549435e-38f), 1e-19f);
    const float top = std::numeric_limits<float>::max();
    EXPECT_NEAR(fast_sqrt(top) / std::sqrt(top), 1.0f, 1e-5f);
}

TEST(fast_math, sine_at_quarter_periods_and_its_periodicity)
{
    EXPECT_EQ(fast_sin2pi(0.25f), 1.0f);
    EXPECT_EQ(fast_sin2pi(0.75f), -1.0f);
    EXPECT_NEAR(fast_sin2pi(0.0f), 0.0f, 1e-9f);
    EXPECT_NEAR(fast_sin2pi(0.5f), 0.0f, 1e-9f);
    EXPECT_EQ(fast_cos2pi(0.0f), 1.0f);
    EXPECT_EQ(fast_cos2pi(0.5f), -1.0f);
    // The floor of a negative value that is not whole steps down: −0.1 lies at 0.9.
    EXPECT_EQ(float_bits(fast_sin2pi(-0.1f)), float_bits(fast_sin2pi(0.9f)));
    // Negative whole numbers are their own floor.
    EXPECT_EQ(fast_sin2pi(-0.75f), 1.0f);
    EXPECT_NEAR(fast_sin2pi(-3.0f), 0.0f, 1e-9f);
    // Whole periods of exactly representable phases land on the same bits.
    for (float x : {0.125f, 0.3125f, 0.6875f})
        for (float k : {-7.0f, -1.0f, 1.0f, 12.0f, 4096.0f})
            EXPECT_EQ(float_bits(fast_sin2pi(x + k)), float_bits(fast_sin2pi(x))) << x << k;

    // The curve's own shape: 0.69635 at an eighth (sin(π/4) is 0.70711), at most about
    // 0.011 off anywhere.
    EXPECT_NEAR(fast_sin2pi(0.125f), 0.69635f, 1e-5f);
    double worst = 0;
    for (double v = -3.0; v < 3.0; v += 0.000731)
        worst = std::fmax(worst, std::fabs(fast_sin2pi(float(v)) - std::sin(2 * M_PI * float(v))));
    EXPECT_LT(worst, 0.0115);
    EXPECT_GT(worst, 0.009);
}

TEST(fast_math, tan_half_prewarps_within_a_percent)
{
    // Up to 0.45 of the rate's Nyquist the ratio of sine and cosine errors stays small.
    for (float f = 1.0f; f < 20000.0f; f *= 1.07f) {
        const double want = std::tan(M_PI * f / 44100.0);
        EXPECT_NEAR(fast_tan_half(f, 1.0f / 44100.0f) / want, 1.0, 0.01) << f;
    }
}

TEST(fast_math, wright_omega_solves_its_equation_on_all_three_branches)
{
    EXPECT_NEAR(wright_omega(1.0f), 1.0f, 0.002f);
    // x < −3.34 (guess 0), the cubic up to 8, and x − ln x beyond.
    for (float x : {-20.0f, -5.0f, -3.0f, 0.0f, 1.0f, 4.0f, 7.9f, 8.0f, 50.0f, 1e4f, 1e8f}) {
        const double w = wright_omega(x);
        ASSERT_GT(w, 0.0) << x;
        const double residual = w + std::log(w) - x;
        // Relative to max(1, |x|): one Newton step leaves about 1 % at worst (measured
        // 1.2 %), except that for very negative x ω ≈ e^x is tiny and itself checked.
        if (x < -4.0f)
            EXPECT_NEAR(w / std::exp(double(x)), 1.0, 0.01) << x;
        else
            EXPECT_LT(std::fabs(residual) / std::fmax(1.0, std::fabs(double(x))), 0.015) << x;
    }
}

TEST(fast_math, sign0_by_bits)
{
    EXPECT_EQ(sign0(0.0f), 0.0f);
    EXPECT_EQ(sign0(-0.0f), 0.0f);
    EXPECT_EQ(sign0(1e-45f), 1.0f);
    EXPECT_EQ(sign0(-1e-45f), -1.0f);
    EXPECT_EQ(sign0(-3.0f), -1.0f);
    EXPECT_EQ(sign0(std::numeric_limits<float>::quiet_NaN()), 1.0f);
    EXPECT_EQ(sign0(-std::numeric_limits<float>::quiet_NaN()), -1.0f);
}
