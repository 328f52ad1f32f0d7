// The drive and tone stages: control glides and per-sample coefficients (forced by
// activation, then run for every oversampled sample) and the per-sample filters
// themselves. Inline because they run several times per input sample.
#pragma once

#include <cstddef>
#include <cstring>

#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"

// coeff ≈ e^(−2π·cutoff/rate); a cutoff beyond any rate means no glide.
inline float smoother_coeff(float cutoff, float rate_over_2pi)
{
    if (cutoff > 159154944.0f)
        return 0.0f;
    return rate_over_2pi * fast_rcp(cutoff + rate_over_2pi);
}

template <class F>
DSP_INLINE F smoother_step(F value, F target, F coeff)
{
    return target + (value - target) * coeff;
}

DSP_INLINE void smoother_run(smoother* s)
{
    s->value = smoother_step(s->value, s->target, s->coeff);
}

// Stage controls snap to their target once close, so that their updates can stop.
DSP_INLINE float step_snap_absolute(float y, float target, float coeff, float threshold_sq)
{
    y = smoother_step(y, target, coeff);
    const float d = y - target;
    return d * d <= threshold_sq ? target : y;
}

DSP_INLINE float step_snap_relative(float y, float target, float coeff, float threshold_sq)
{
    y = smoother_step(y, target, coeff);
    const float d = y - target;
    return d * d <= threshold_sq * target * target ? target : y;
}

// Bilinear constant 2π·fc / tan(π·fc/rate), fc kept below Nyquist.
template <class F>
DSP_INLINE F stage_bilinear_k(F f0, F max_freq, F inv_rate)
{
    const F fc = min_f(f0, max_freq);
    const F r = fc * 3.14159274f;
    return fast_rcp(fast_tan_half(fc, inv_rate)) * (r + r);
}

template <class F>
DSP_INLINE F omega_or_self(F a)
{
    return select(a >= 1e9f, a, wright_omega(a));
}

// The drive stage's circuit values follow its three controls.
template <class F>
DSP_INLINE F clip_r_drive(F drive)
{
    return drive * 500000.0f + 51000.0f;
}

template <class F>
DSP_INLINE F clip_c1(F cap1_scale)
{
    return fast_rcp(cap1_scale) * 3.38627542e-05f;
}

template <class F>
DSP_INLINE F clip_c2(F cap2_scale)
{
    return fast_rcp(cap2_scale) * 2.88847446e-07f;
}

// The stage's corner frequency; fast_sqrt gives 0 below the smallest normal float.
template <class F>
DSP_INLINE F clip_f0(F c1, F r_drive, F c2)
{
    return fast_sqrt(fast_rcp((c1 * r_drive) * c2)) * 0.00232151337f;
}

template <class F>
DSP_INLINE F clip_k(F c1, F r_drive, F c2, F max_freq, F inv_rate)
{
    return stage_bilinear_k(clip_f0(c1, r_drive, c2), max_freq, inv_rate);
}

// What the drive stage's recursion reads for one oversampled sample.
// In the order of the drive stage record's fields c1 … e17.
template <class F>
struct clip_coeffs {
    F c1, c2, k;
    F e1, e2, e3, e4, e5, e6, e7, e8, e9, e10, e11, e12, e13, e14, e15, e16, e17;
};

// The rate of change of the capacitances enters the admittances at every sample. All
// coefficients but e8 and e17, which the diode solver takes from e7 and e16, in two
// halves that the block path works out at different samples: c1 … e7, then e9 … e16,
// which follow from e2 and b (returned by the first).
constexpr float clip_g = 0.000212765954f;

template <class F>
DSP_INLINE F clip_coeffs_first_half(clip_coeffs<F>* o, F k, F c1, F c2, F r_drive, F prev_c1,
                                    F prev_c2, F rate)
{
    o->k = k;
    o->c1 = c1;
    o->c2 = c2;
    const F dc1 = (c1 - prev_c1) * rate;
    const F dc2 = (c2 - prev_c2) * rate;
    const F e1 = k * c1 + dc1;
    const F b = k * c2 + dc2;
    const F d1 = fast_rcp(clip_g + e1);
    const F e2 = e1 * d1;
    o->e1 = e1;
    o->e2 = e2;
    o->e3 = -c1 * d1;
    const F u1 = fast_rcp(r_drive * b + 1.0f);
    const F e4 = -u1 * r_drive;
    o->e4 = e4;
    o->e5 = ((e2 * e1 - e1) - b) * e4 + u1;
    // The one product formed in double precision.
    o->e6 = mul_in_double(fast_rcp(e4), -0.045552);
    const F x1 = -5.53213901e-08f * e4;
    o->e7 = x1 + fast_ln(x1);
    return b;
}

template <class F>
DSP_INLINE void clip_coeffs_second_half(clip_coeffs<F>* o, F e2, F b, F c2, F r_drive)
{
    const F u2 = fast_rcp((e2 * clip_g + b) * r_drive + 1.0f);
    const F e9 = r_drive * u2;
    const F e12 = b * e9 + u2;
    o->e9 = e9;
    o->e10 = -clip_g * e9;
    o->e11 = -c2 * e9;
    o->e12 = e12;
    o->e13 = 3.92f * e12;
    o->e14 = e12 * -3.12f;
    const F x2 = 5.53213901e-08f * e9;
    o->e15 = fast_rcp(e9) * 0.0455520004f;
    o->e16 = x2 + fast_ln(x2);
}

template <class F>
DSP_INLINE void clip_coeffs_linear(clip_coeffs<F>* o, F k, F c1, F c2, F r_drive, F prev_c1,
                                   F prev_c2, F rate)
{
    const F b = clip_coeffs_first_half(o, k, c1, c2, r_drive, prev_c1, prev_c2, rate);
    clip_coeffs_second_half(o, o->e2, b, c2, r_drive);
}

template <class F>
DSP_INLINE clip_coeffs<F> clip_coeffs_of(F k, F c1, F c2, F r_drive, F prev_c1, F prev_c2, F rate)
{
    clip_coeffs<F> o;
    clip_coeffs_linear(&o, k, c1, c2, r_drive, prev_c1, prev_c2, rate);
    o.e8 = omega_or_self(o.e7);
    o.e17 = omega_or_self(o.e16);
    return o;
}

// Returns whether anything moved (always when forced).
inline bool clip_update_controls(clip_stage* st, bool forced)
{
    // A NaN compares unequal, so it keeps the update running.
    const bool drive_moves = st->drive != st->target_drive;
    const bool cap1_moves = st->cap1_scale != st->target_cap1_scale;
    const bool cap2_moves = st->cap2_scale != st->target_cap2_scale;
    if (!forced && !drive_moves && !cap1_moves && !cap2_moves)
        return false;
    if (forced || drive_moves) {
        st->drive = step_snap_absolute(st->drive, st->target_drive, st->coeff, st->threshold_sq);
        st->r_drive = clip_r_drive(st->drive);
    }
    if (forced || cap1_moves) {
        st->cap1_scale = step_snap_relative(st->cap1_scale, st->target_cap1_scale, st->coeff,
                                            st->threshold_sq);
        st->c1 = clip_c1(st->cap1_scale);
    }
    if (forced || cap2_moves) {
        st->cap2_scale = step_snap_relative(st->cap2_scale, st->target_cap2_scale, st->coeff,
                                            st->threshold_sq);
        st->c2 = clip_c2(st->cap2_scale);
    }
    st->k = clip_k(st->c1, st->r_drive, st->c2, st->max_freq, st->inv_rate);
    return true;
}

static_assert(offsetof(clip_stage, e17) - offsetof(clip_stage, c1) ==
              sizeof(clip_coeffs<float>) - sizeof(float));

// Records one sample's coefficients as the stage's current ones.
inline void clip_keep_coeffs(clip_stage* st, const clip_coeffs<float>& c)
{
    std::memcpy(&st->c1, &c, sizeof c);
    st->prev_c1 = c.c1;
    st->prev_c2 = c.c2;
}

inline void clip_update_coeffs(clip_stage* st)
{
    clip_keep_coeffs(st, clip_coeffs_of(st->k, st->c1, st->c2, st->r_drive, st->prev_c1,
                                        st->prev_c2, st->rate));
}

// B(tone) of the prewarp, scaled by the tone capacitor; three pieces joined by hand.
template <class F>
DSP_INLINE F tone_prewarp_base(F y)
{
    const F low = (((2204.80005f * y - 3200.0f) * y + 2019.80005f) * y + 377.0f) * 2.20000004e-07f;
    const F middle =
        (((54666.668f * y - 124600.0f) * y + 95873.3359f) * y - 23858.0f) * 2.20000004e-07f;
    const F x = 61.5378723f * y - 49.5959969f;
    const F high = select(x < -126.0f, splat<F>(0.00028572345f),
                          (fast_pow2(x) + 1298.74292f) * 2.20000004e-07f);
    return select(y <= 0.75f, low, select(y <= 0.899999976f, middle, high));
}

// The tone network's conductances and output taps follow the Tone control.
template <class F>
struct tone_controls {
    F ga, gab, out_a, out_b, gin, prewarp_base;
};

template <class F>
DSP_INLINE tone_controls<F> tone_controls_of(F tone)
{
    tone_controls<F> o;
    const F ra = tone * 20000.0f;
    o.ga = fast_rcp(ra);
    const F gb = fast_rcp(20000.0f - ra);
    o.gab = o.ga + gb;
    o.out_a = gb * -1000.0f;
    o.out_b = 1.0f - o.out_a;
    o.gin = o.ga + 0.00109999999f;
    o.prewarp_base = tone_prewarp_base(tone);
    return o;
}

static_assert(offsetof(tone_stage, prewarp_base) - offsetof(tone_stage, ga) ==
              sizeof(tone_controls<float>) - sizeof(float));

inline void tone_keep_controls(tone_stage* st, const tone_controls<float>& t)
{
    std::memcpy(&st->ga, &t, sizeof t);
}

template <class F>
DSP_INLINE F tone_c(F cap_scale)
{
    return fast_rcp(cap_scale) * 2.20000004e-07f;
}

template <class F>
DSP_INLINE F tone_f0(F c, F prewarp_base)
{
    return fast_rcp(c) * prewarp_base;
}

template <class F>
DSP_INLINE F tone_k(F c, F prewarp_base, F max_freq, F inv_rate)
{
    return stage_bilinear_k(tone_f0(c, prewarp_base), max_freq, inv_rate);
}

// Returns whether anything moved (always when forced).
inline bool tone_update_controls(tone_stage* st, bool forced)
{
    const bool tone_moves = st->tone != st->target_tone;
    const bool cap_moves = st->cap_scale != st->target_cap_scale;
    if (!forced && !tone_moves && !cap_moves)
        return false;
    if (forced || tone_moves) {
        st->tone = step_snap_absolute(st->tone, st->target_tone, st->coeff, st->threshold_sq);
        tone_keep_controls(st, tone_controls_of(st->tone));
    }
    if (forced || cap_moves) {
        st->cap_scale = step_snap_relative(st->cap_scale, st->target_cap_scale, st->coeff,
                                           st->threshold_sq);
        st->c = tone_c(st->cap_scale);
    }
    st->k = tone_k(st->c, st->prewarp_base, st->max_freq, st->inv_rate);
    return true;
}

// What the tone stage's recursion reads for one oversampled sample; k … t9 in the order
// of the tone stage record's fields.
template <class F>
struct tone_coeffs {
    F k, t1, t2, t3, t4, t5, t6, t7, t8, t9;
    F out_a, out_b;
};

template <class F>
DSP_INLINE tone_coeffs<F> tone_coeffs_of(F k, F c, F prev_c, F rate, F ga, F gab, F gin,
                                         F out_a, F out_b)
{
    tone_coeffs<F> o;
    o.k = k;
    o.out_a = out_a;
    o.out_b = out_b;
    const F a = k * c + (c - prev_c) * rate;
    const F d1 = fast_rcp(a + gab);
    o.t1 = gab * d1;
    o.t2 = a * d1;
    o.t3 = d1 * c;
    const F d2 = fast_rcp((a - o.t2 * a) + 0.0045454544f);
    o.t4 = a * d2;
    o.t5 = o.t1 * o.t4;
    o.t6 = -c * d2;
    const F d3 = fast_rcp((a - (o.t5 * o.t2 + o.t1) * ga) + gin);
    o.t7 = d3 * 0.00100000005f;
    o.t8 = c * d3;
    o.t9 = d3 * ga;
    return o;
}

static_assert(offsetof(tone_stage, t9) - offsetof(tone_stage, k) == offsetof(tone_coeffs<float>, t9));

// Records one sample's coefficients as the stage's current ones (its output taps are
// controls, kept by tone_keep_controls); c is that sample's capacitance.
inline void tone_keep_coeffs(tone_stage* st, const tone_coeffs<float>& t, float c)
{
    std::memcpy(&st->k, &t, offsetof(tone_coeffs<float>, out_a));
    st->prev_c = c;
}

inline void tone_update_coeffs(tone_stage* st)
{
    tone_keep_coeffs(st, tone_coeffs_of(st->k, st->c, st->prev_c, st->rate, st->ga, st->gab,
                                        st->gin, st->out_a, st->out_b),
                     st->c);
}

// The drive stage: an op-amp stage with two capacitors and feedback diodes, solved in
// closed form, its output held between the asymmetric rails 3.92 and −3.12.
template <class C>
DSP_INLINE float clip_run(const C* cs, float* st, float s)
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

template <class C>
DSP_INLINE float tone_run(const C* ts, float* st, float g)
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
