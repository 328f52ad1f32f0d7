// Every law that the block path's coefficient stages run, on groups of vectors (four
// lanes times 2 and 4, eight lanes times 1, 2 and 4) against the same law on each lane's
// float alone: the same bits in every lane, over random values of every magnitude and
// the special ones (NaN, infinities, subnormals, values beyond int32_t, where the
// truncation gives INT32_MIN). The eight-lane forms run in a function built for eight
// lanes (AVX2 on x86-64), as in the plug-in, and are skipped with a message where the
// processor has none.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dsp/arch.h"
#include "dsp/fast_math.h"
#include "dsp/lane_groups.h"
#include "dsp/stages.h"
#include "dsp_test_support.h"

namespace {

constexpr int values = 4096;

// Mostly ordinary values of either sign over many decades, then the awkward ones.
std::vector<float> awkward_values(uint32_t seed)
{
    const float special[] = {0.0f, -0.0f, 1e-40f, -1e-45f, 1.17549435e-38f, 1.0f, -1.0f, 0.5f, 8.0f,
                             -3.34145951f, 1e9f, 2.1474836e9f, 2.1474839e9f, -2.1474839e9f, 3e38f,
                             -126.0f, -126.5f, 127.9f, std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN()};
    std::vector<float> v(special, special + sizeof special / sizeof special[0]);
    while (v.size() < values) {
        const uint32_t r = next_random(&seed);
        const float unit = static_cast<float>(r >> 8) * (1.0f / 16777216.0f);
        const int decade = static_cast<int>(next_random(&seed) % 24) - 12;
        float x = unit;
        for (int d = 0; d < (decade < 0 ? -decade : decade); d++)
            x = decade < 0 ? x * 0.1f : x * 10.0f;
        v.push_back(r & 1 ? -x : x);
    }
    return v;
}

// v shifted up one lane with x entering lane 0; a float has no neighbour, so x.
template <class F>
DSP_INLINE F shifted(F v, float x)
{
    if constexpr (sizeof(F) == sizeof(float))
        return x;
    else
        return shift_in(v, x);
}

// Each law as one field set: the values it returns for one input, side by side.
template <class F>
struct law_results {
    F rcp, pow2, ln, sqrt, floor, sin, tan, omega, omega_or_self;
    clip_coeffs<F> clip;
    tone_controls<F> tone;
    tone_coeffs<F> tone_set;
};

template <class F>
DSP_INLINE law_results<F> run_laws(F x)
{
    law_results<F> r;
    r.rcp = fast_rcp(x);
    r.pow2 = fast_pow2(x);
    r.ln = fast_ln(x);
    r.sqrt = fast_sqrt(x);
    r.floor = fast_floor(x);
    r.sin = fast_sin2pi(x);
    r.tan = fast_tan_half(x, splat<F>(2.2675737e-05f));
    r.omega = wright_omega(x);
    r.omega_or_self = omega_or_self(x);
    // The stage laws on controls that follow x, shifted in as the block path shifts them.
    const F unit = float_of(bits_of(x) & 0x3FFFFFFFu);
    const F c1 = clip_c1(unit + 0.25f), c2 = clip_c2(unit * 2.0f + 0.25f);
    const F r_drive = clip_r_drive(unit);
    const F k = clip_k(c1, r_drive, c2, splat<F>(20000.0f), splat<F>(5.66893e-06f));
    r.clip = clip_coeffs_of(k, c1, c2, r_drive, shifted(c1, 1e-5f), shifted(c2, 3e-7f), splat<F>(176400.0f));
    r.tone = tone_controls_of(select(unit < 1.0f, unit, unit - 1.0f));
    const F c = tone_c(unit + 0.4f);
    r.tone_set = tone_coeffs_of(tone_k(c, r.tone.prewarp_base, splat<F>(20000.0f), splat<F>(5.66893e-06f)), c,
                                   shifted(c, 2.2e-7f), splat<F>(176400.0f), r.tone.ga, r.tone.gab,
                                   r.tone.gin, r.tone.out_a, r.tone.out_b);
    return r;
}

constexpr int fields = sizeof(law_results<float>) / sizeof(float);

// The results of every input, field by field: out[f * count + i].
template <class F>
DSP_INLINE void laws_over(const std::vector<float>& in, std::vector<float>* out)
{
    constexpr int W = sizeof(F) / sizeof(float);
    out->assign(in.size() * fields, 0.0f);
    for (size_t i = 0; i + W <= in.size(); i += W) {
        const law_results<F> r = run_laws(load_lanes<F>(&in[i]));
        const F* f = reinterpret_cast<const F*>(&r);
        for (int k = 0; k < fields; k++)
            store_lanes(&(*out)[k * in.size() + i], f[k]);
    }
}

// The float path, with each lane's shifted-in neighbour as the block path would see it.
void laws_one_by_one(const std::vector<float>& in, int width, std::vector<float>* out)
{
    out->assign(in.size() * fields, 0.0f);
    for (size_t i = 0; i < in.size(); i++) {
        const float x = in[i];
        const bool first = i % static_cast<size_t>(width) == 0;
        const float unit = float_of(bits_of(x) & 0x3FFFFFFFu);
        const float before = first ? 0.0f : float_of(bits_of(in[i - 1]) & 0x3FFFFFFFu);
        law_results<float> r = run_laws(x);
        // Recompute the two laws that read a neighbour with this lane's neighbour.
        const float c1 = clip_c1(unit + 0.25f), c2 = clip_c2(unit * 2.0f + 0.25f);
        const float p1 = first ? 1e-5f : clip_c1(before + 0.25f);
        const float p2 = first ? 3e-7f : clip_c2(before * 2.0f + 0.25f);
        const float r_drive = clip_r_drive(unit);
        const float k = clip_k(c1, r_drive, c2, 20000.0f, 5.66893e-06f);
        r.clip = clip_coeffs_of(k, c1, c2, r_drive, p1, p2, 176400.0f);
        const float c = tone_c(unit + 0.4f);
        const float pc = first ? 2.2e-7f : tone_c(before + 0.4f);
        r.tone_set = tone_coeffs_of(tone_k(c, r.tone.prewarp_base, 20000.0f, 5.66893e-06f), c, pc, 176400.0f,
                                       r.tone.ga, r.tone.gab, r.tone.gin, r.tone.out_a, r.tone.out_b);
        const float* f = reinterpret_cast<const float*>(&r);
        for (int k2 = 0; k2 < fields; k2++)
            (*out)[k2 * in.size() + i] = f[k2];
    }
}

void expect_same_bits(const std::vector<float>& in, const std::vector<float>& want, const std::vector<float>& got,
                      const std::string& form)
{
    int mismatches = 0;
    for (size_t j = 0; j < want.size() && mismatches < 5; j++)
        if (float_bits(want[j]) != float_bits(got[j])) {
            ADD_FAILURE() << form << ": field " << j / in.size() << " of input " << in[j % in.size()] << ": "
                          << want[j] << " alone, " << got[j] << " in lanes";
            mismatches++;
        }
}

void four_lanes(const std::vector<float>& in, int vectors, std::vector<float>* out)
{
    if (vectors == 1)
        laws_over<f32x4>(in, out);
    else if (vectors == 2)
        laws_over<lane_group<f32x4, 2>>(in, out);
    else
        laws_over<lane_group<f32x4, 4>>(in, out);
}

ARCH_EIGHT_LANE_TARGET void eight_lanes(const std::vector<float>& in, int vectors, std::vector<float>* out)
{
    if (vectors == 1)
        laws_over<f32x8>(in, out);
    else if (vectors == 2)
        laws_over<lane_group<f32x8, 2>>(in, out);
    else
        laws_over<lane_group<f32x8, 4>>(in, out);
}

} // namespace

TEST(lane_groups, every_law_gives_each_lane_its_float_result_at_every_width)
{
    const bool eight = arch_has_eight_lanes();
    process_fp_mode mode;
    for (uint32_t seed : {1u, 0x5EEDu}) {
        const std::vector<float> in = awkward_values(seed);
        for (int width : {4, 8, 16, 32}) {
            std::vector<float> want;
            laws_one_by_one(in, width, &want);
            for (int lanes : {4, 8}) {
                if (width % lanes != 0 || width / lanes > 4)
                    continue;
                const int vectors = width / lanes;
                const std::string form = std::to_string(lanes) + " lanes x " + std::to_string(vectors);
                std::vector<float> got;
                if (lanes == 4) {
                    four_lanes(in, vectors, &got);
                } else if (eight) {
                    eight_lanes(in, vectors, &got);
                } else {
                    std::printf("skipped: %s, this processor has no eight-lane SIMD (AVX2)\n", form.c_str());
                    continue;
                }
                expect_same_bits(in, want, got, form);
            }
        }
    }
}
