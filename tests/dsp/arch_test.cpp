// The per-processor helpers of src/dsp/arch.h: truncation with x86-64's results on every
// processor and in every width, comparisons' lanes as bits, and the audio thread's
// flush-to-zero with its one difference between the processors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "dsp/arch.h"
#include "dsp/dsp_test_support.h"
#include "dsp/lanes.h"

namespace {

// x86-64's cvttss2si/cvttps2dq: toward zero; NaN and anything outside the int32 range give
// the "integer indefinite" 0x80000000 (Intel SDM, CVTTSS2SI), whatever the sign.
struct trunc_case {
    float x;
    int32_t expected;
};

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

const trunc_case trunc_cases[] = {
    {0.0f, 0},
    {-0.0f, 0},
    {0.99f, 0},
    {-0.99f, 0},
    {1.5f, 1},
    {-1.5f, -1},
    {-7.99f, -7},
    {16777217.0f, 16777216},               // rounds to 2^24 as a float
    {2147483520.0f, 2147483520},           // the largest float below 2^31
    {2147483648.0f, INT32_MIN},            // 2^31: out of range, not INT32_MAX
    {-2147483648.0f, INT32_MIN},           // −2^31: in range
    {-2147483904.0f, INT32_MIN},           // the next float below −2^31
    {1e10f, INT32_MIN},
    {-1e10f, INT32_MIN},
    {inf, INT32_MIN},
    {-inf, INT32_MIN},
    {nan, INT32_MIN},
    {-nan, INT32_MIN},
    {0x1p-140f, 0},
};

constexpr int case_count = sizeof trunc_cases / sizeof trunc_cases[0];

// Inlined into its caller, so that the eight-lane copy is built for that caller's target.
template <class F>
DSP_INLINE void trunc_in_lanes(const float* in, int32_t* out)
{
    constexpr int w = lane_traits<F>::width;
    for (int at = 0; at + w <= case_count + w - 1; at += w) {
        float x[w];
        for (int i = 0; i < w; i++)
            x[i] = in[(at + i) % case_count];
        const auto r = trunc_to_i32(load_lanes<F>(x));
        for (int i = 0; i < w && at + i < case_count; i++)
            out[at + i] = r[i];
    }
}

ARCH_EIGHT_LANE_TARGET void trunc_in_eight_lanes(const float* in, int32_t* out)
{
    trunc_in_lanes<f32x8>(in, out);
}

// The lane bits of a comparison for every pattern of unequal lanes (NaN among them) in
// one width, out[pattern] for each.
template <class F>
DSP_INLINE void lane_bits_of_patterns(uint32_t* out)
{
    constexpr int w = lane_traits<F>::width;
    for (uint32_t pattern = 0; pattern < (1u << w); pattern++) {
        float a[w], b[w];
        for (int i = 0; i < w; i++) {
            a[i] = 0.25f * static_cast<float>(i) - 1.0f;
            // Odd lanes that differ hold a NaN, which compares unequal to everything.
            b[i] = pattern >> i & 1u ? (i % 2 ? std::numeric_limits<float>::quiet_NaN() : a[i] + 1.0f) : a[i];
        }
        out[pattern] = lane_bits(load_lanes<F>(a) != load_lanes<F>(b));
    }
}

ARCH_EIGHT_LANE_TARGET void lane_bits_in_eight_lanes(uint32_t* out)
{
    lane_bits_of_patterns<f32x8>(out);
}

// Normal floats a, b < 1 whose exact product lies in [2^-126 − 2^-151, 2^-126).
bool window_product(float* a, float* b)
{
    for (*a = 0.75f; *a < 0.76f; *a = std::nextafter(*a, 1.0f)) {
        *b = (float)((0x1p-126 - 0x1p-152) / (double)*a);
        const double p = (double)*a * (double)*b;
        if (p >= 0x1p-126 - 0x1p-151 && p < 0x1p-126)
            return true;
    }
    return false;
}

} // namespace

TEST(arch, truncation_gives_x86_results_in_one_four_and_eight_lanes)
{
    float in[case_count];
    for (int i = 0; i < case_count; i++)
        in[i] = trunc_cases[i].x;
    int32_t four[case_count], eight[case_count];
    trunc_in_lanes<f32x4>(in, four);
    if (arch_has_eight_lanes())
        trunc_in_eight_lanes(in, eight);
    for (int i = 0; i < case_count; i++) {
        SCOPED_TRACE(trunc_cases[i].x);
        EXPECT_EQ(trunc_to_i32(trunc_cases[i].x), trunc_cases[i].expected);
        EXPECT_EQ(four[i], trunc_cases[i].expected);
        if (arch_has_eight_lanes())
            EXPECT_EQ(eight[i], trunc_cases[i].expected);
    }
}

// A comparison's lanes as bits, lane i as bit i, in both widths.
TEST(arch, lane_bits_give_each_unequal_lane_its_own_bit)
{
    uint32_t four[16], eight[256];
    lane_bits_of_patterns<f32x4>(four);
    for (uint32_t pattern = 0; pattern < 16; pattern++)
        EXPECT_EQ(four[pattern], pattern);
    if (!arch_has_eight_lanes())
        GTEST_SKIP() << "this processor has no eight-lane path";
    lane_bits_in_eight_lanes(eight);
    for (uint32_t pattern = 0; pattern < 256; pattern++)
        EXPECT_EQ(eight[pattern], pattern);
}

// Inside a process call: subnormal operands count as zero and subnormal results become
// zero. Just below the smallest normal float the processors part: x86-64 decides after
// rounding (the exact 2^-126·(1 − 2^-25) rounds up to 2^-126 and stays), ARMv8 before
// (it is below 2^-126, so it is flushed). Outside, the host's own mode is back.
TEST(arch, process_mode_flushes_tiny_values_and_differs_only_below_the_smallest_normal)
{
    float a, b;
    ASSERT_TRUE(window_product(&a, &b));
    volatile float va = a, vb = b, subnormal = 0x1p-140f, one = 1.0f, small = 0x1p-100f, tiny = 0x1p-30f;
    // Volatile results keep each operation between the mode's switches.
    volatile float product, flushed_operand, flushed_result, as_float;
    const fp_control host = fp_control_read();
    {
        process_fp_mode mode;
        product = va * vb;
        flushed_operand = subnormal * one;
        flushed_result = small * tiny;
        volatile double d = (double)va * (double)vb;
        as_float = (float)d;
    }
    EXPECT_EQ(fp_control_read(), host);
    EXPECT_EQ(float_bits(flushed_operand), 0u);
    EXPECT_EQ(float_bits(flushed_result), 0u);
#if defined(__x86_64__)
    EXPECT_EQ(product, 0x1p-126f);
    EXPECT_EQ(as_float, 0x1p-126f);
#elif defined(__aarch64__)
    EXPECT_EQ(float_bits(product), 0u);
    EXPECT_EQ(float_bits(as_float), 0u);
#endif
    // Without the mode both round to the smallest normal.
    EXPECT_EQ(va * vb, 0x1p-126f);
    EXPECT_EQ(subnormal * one, 0x1p-140f);
}
