// The per-sample signal path: input gain and coupling high-passes, the oversampled
// drive, trim and tone section, output high-passes, mix with loudness compensation,
// volume and the bypass crossfade.
#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"
#include "dsp/resampler.h"
#include "dsp/stage_updates.h"

namespace {

inline float run_highpass(const highpass_coeffs* hp, float* s, float x)
{
    const float y = hp->b0 * x + *s;
    *s = hp->b1 * x - hp->a1 * y;
    return y;
}

inline float omega_or_self(float a)
{
    return a >= 1e9f ? a : wright_omega(a);
}

// The drive stage: an op-amp stage with two capacitors and feedback diodes, solved in
// closed form, its output held between the asymmetric rails 3.92 and −3.12.
inline float run_clip(const clip_stage* cs, float* st, float s)
{
    const float k = cs->k;
    const float z1 = st[1] * k + st[3];
    const float z0 = st[0] * k + st[2];
    const float q = cs->e3 * z1;
    const float w = (cs->e1 * q + cs->c1 * z1 - cs->c2 * z0) * cs->e4;
    const float y = cs->e5 * s + w;
    const float d = y - s;
    const float sigma = sign0(d);
    const float a = (d * 21.9529324f) * sigma + cs->e7;
    const float omega1 = omega_or_self(a);
    float v = cs->e4 * ((cs->e6 * sigma) * (omega1 - cs->e8)) + y;
    float u;
    if (v > 3.92f) {
        const float w2 = cs->e10 * q + cs->e11 * z0;
        const float d2 = (w2 - 3.92f) - cs->e13;
        const float sigma2 = sign0(d2);
        const float a2 = (d2 * -21.9529324f) * sigma2 + cs->e16;
        const float omega2 = omega_or_self(a2);
        u = ((omega2 - cs->e17) * (cs->e15 * sigma2)) * cs->e9 + w2 + cs->e13;
        v = 3.92f;
    } else if (v < -3.12f) {
        const float w2 = cs->e10 * q + cs->e11 * z0;
        const float d2 = (w2 + 3.12f) - cs->e14;
        const float sigma2 = sign0(d2);
        const float a2 = (d2 * -21.9529324f) * sigma2 + cs->e16;
        const float omega2 = omega_or_self(a2);
        u = ((omega2 - cs->e17) * (cs->e15 * sigma2)) * cs->e9 + w2 + cs->e14;
        v = -3.12f;
    } else {
        u = s;
    }
    st[0] = v - u;
    st[1] = u - (cs->e2 * u + q);
    st[2] = k * st[0] - z0;
    st[3] = k * st[1] - z1;
    return v;
}

inline float run_tone(const tone_stage* ts, float* st, float g)
{
    const float k = ts->k;
    const float z1 = st[1] * k + st[3];
    const float w1 = ts->t3 * z1;
    const float w3 = ts->t4 * w1 + ts->t6 * z1;
    const float w4 = (ts->t2 * w3 + w1) * ts->t9;
    const float z0 = st[0] * k + st[2];
    const float v = ts->t7 * g + (ts->t8 * z0 + w4);
    const float w5 = ts->t5 * v + w3;
    const float w6 = ts->t1 * v + ts->t2 * w5 + w1;
    const float out = ts->out_b * v + ts->out_a * w6;
    st[0] = v;
    st[1] = w6 - w5;
    st[2] = k * v - z0;
    st[3] = k * st[1] - z1;
    return out;
}

// One oversampled sample through drive, trim and tone.
inline float run_stage(overdrive_dsp* dsp, float s)
{
    clip_update_controls(&dsp->clip_stage, false);
    clip_update_coeffs(&dsp->clip_stage);
    const float v = run_clip(&dsp->clip_stage, dsp->clip_state, s);
    smoother_run(&dsp->heat_gain);
    const float g = dsp->heat_gain.value * v;
    tone_update_controls(&dsp->tone_stage, false);
    tone_update_coeffs(&dsp->tone_stage);
    return run_tone(&dsp->tone_stage, dsp->tone_state, g);
}

} // namespace

float dsp_process_sample(overdrive_dsp* dsp, float x)
{
    const float x4 = x * 4.0f;
    const float y1 = run_highpass(&dsp->in_hp1, &dsp->in_hp1_s, x4);
    const float y2 = run_highpass(&dsp->in_hp2, &dsp->in_hp2_s, y1);

    float w;
    const int32_t n = dsp->oversampling;
    if (n < 2) {
        w = run_stage(dsp, y2);
    } else {
        resampler_process(&dsp->upsampler, &dsp->upsampler_state, &y2, dsp->work, 1);
        for (int32_t j = 0; j < n; j++)
            dsp->work[j] = run_stage(dsp, dsp->work[j]);
        w = 0.0f;
        resampler_process(&dsp->downsampler, &dsp->downsampler_state, dsp->work, &w, n);
    }

    const float y3 = run_highpass(&dsp->out_hp1, &dsp->out_hp1_s, w);
    const float y4 = run_highpass(&dsp->out_hp2, &dsp->out_hp2_s, y3);

    smoother_run(&dsp->mix);
    const float m = dsp->mix.value;
    // Loudness compensation, about 3.5505533·e^(−2.703428·m) + 0.7621998.
    const float comp = fast_pow2(m * -2.70342803f * 1.44269502f) * 3.55055332f + 0.762199819f;
    // The dry part is the gained input, not the high-passed one.
    const float mixed = (y4 - x4) * m + x4;
    smoother_run(&dsp->volume);
    smoother_run(&dsp->bypass);
    return (dsp->volume.value * (comp * mixed) - x) * dsp->bypass.value + x;
}
