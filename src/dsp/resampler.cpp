// Design and running of the oversampling filters: a cascade of eight second-order
// low-pass sections, its poles and zeros placed from one prototype per section.
#include "dsp/resampler.h"

#include "dsp/fast_math.h"

namespace {

// Per section: pole offset P, pole spread Q, gain S, zero position Z.
struct prototype_section {
    float p, q, s, z;
};

constexpr prototype_section prototype[resampler_sections] = {
    {-0.835246742f, 0.0162288602f, 105.009796f, 0.713865995f},
    {-0.803639114f, 0.141563386f, 12.0383472f, 0.787399232f},
    {-0.741197109f, 0.374956369f, 4.54503345f, 0.924329519f},
    {-0.64937371f, 0.683896184f, 2.4918828f, 1.10558236f},
    {-0.531656742f, 1.02027428f, 1.67032456f, 1.30293322f},
    {-0.393664807f, 1.3292141f, 1.28210282f, 1.48418605f},
    {-0.241886541f, 1.56260669f, 1.09060669f, 1.6211158f},
    {-0.0818993077f, 1.68794036f, 1.00962651f, 1.69464791f},
};

// Transposed direct form II with equal outer feed-forward taps.
inline float run_cascade(const resampler_coeffs* c, resampler_state* st, float f)
{
    for (int i = 0; i < resampler_sections; i++) {
        const float e = st->z1[i] + c->b0[i] * f;
        st->z1[i] = f * c->b1[i] + c->fb1[i] * e + st->z2[i];
        st->z2[i] = c->fb2[i] * e + c->b0[i] * f;
        f = e;
    }
    return f;
}

} // namespace

void resampler_design(resampler_coeffs* coeffs, int32_t ratio, float g)
{
    // |ratio| as a float; INT32_MIN's magnitude does not fit an int.
    const float mag = ratio < 0 ? -static_cast<float>(ratio) : static_cast<float>(ratio);
    const float t = ((g * 0.5f) / mag) * 3.14159274f * 0.159154937f;
    const float k = fast_sin2pi(t) * fast_rcp(fast_cos2pi(t));
    const float k2 = k * k;
    for (int i = 0; i < resampler_sections; i++) {
        const prototype_section& ps = prototype[i];
        const float d = ((ps.p - k) * (ps.p - k) + ps.q) * ps.s;
        const float inv = 1.0f / d;
        const float sd = ps.s * inv;
        coeffs->b0[i] = inv + k2 * sd;
        coeffs->b1[i] = 2.0f * (k2 * sd - inv);
        coeffs->fb1[i] = (ps.z - k2) * (sd + sd);
        coeffs->fb2[i] = ((k + ps.p) * (k + ps.p) + ps.q) * -sd;
    }
    coeffs->ratio = ratio;
    coeffs->sections = resampler_sections;
}

void resampler_process(const resampler_coeffs* coeffs, resampler_state* state,
                       const float* src, float* dst, int32_t count)
{
    const int32_t ratio = coeffs->ratio;
    if (ratio >= 2) {
        // The gain N makes up for the N − 1 zeros inserted after each sample.
        const float gain = static_cast<float>(ratio);
        for (int32_t n = 0; n < count; n++) {
            *dst++ = run_cascade(coeffs, state, gain * src[n]);
            for (int32_t j = 1; j < ratio; j++)
                *dst++ = run_cascade(coeffs, state, 0.0f);
        }
    } else if (ratio < 0) {
        for (int32_t n = 0; n < count; n++) {
            const float y = run_cascade(coeffs, state, src[n]);
            if (state->countdown <= 0) {
                *dst++ = y;
                state->countdown = ratio == INT32_MIN ? INT32_MAX : -ratio;
            }
            state->countdown -= 1;
        }
    } else {
        const float gain = static_cast<float>(ratio);
        for (int32_t n = 0; n < count; n++)
            dst[n] = run_cascade(coeffs, state, gain * src[n]);
    }
}
