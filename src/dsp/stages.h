// The drive and tone stages: control glides and per-sample coefficients (forced by
// activation, then run for every oversampled sample) and the per-sample filters
// themselves. Inline because they run several times per input sample.
#pragma once

#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"

// coeff ≈ e^(−2π·cutoff/rate); a cutoff beyond any rate means no glide.
inline float smoother_coeff(float cutoff, float rate_over_2pi)
{
    if (cutoff > 159154944.0f)
        return 0.0f;
    return rate_over_2pi * fast_rcp(cutoff + rate_over_2pi);
}

inline float smoother_step(float value, float target, float coeff)
{
    return target + (value - target) * coeff;
}

inline void smoother_run(smoother* s)
{
    s->value = smoother_step(s->value, s->target, s->coeff);
}

// Stage controls snap to their target once close, so that their updates can stop.
inline float step_snap_absolute(float y, float target, float coeff, float threshold_sq)
{
    y = smoother_step(y, target, coeff);
    const float d = y - target;
    return d * d <= threshold_sq ? target : y;
}

inline float step_snap_relative(float y, float target, float coeff, float threshold_sq)
{
    y = smoother_step(y, target, coeff);
    const float d = y - target;
    return d * d <= threshold_sq * target * target ? target : y;
}

// Bilinear constant 2π·fc / tan(π·fc/rate), fc kept below Nyquist.
inline float stage_bilinear_k(float f0, float max_freq, float inv_rate)
{
    const float fc = min_f(f0, max_freq);
    const float r = fc * 3.14159274f;
    return fast_rcp(fast_tan_half(fc, inv_rate)) * (r + r);
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
        st->r_drive = st->drive * 500000.0f + 51000.0f;
    }
    if (forced || cap1_moves) {
        st->cap1_scale = step_snap_relative(st->cap1_scale, st->target_cap1_scale, st->coeff,
                                            st->threshold_sq);
        st->c1 = fast_rcp(st->cap1_scale) * 3.38627542e-05f;
    }
    if (forced || cap2_moves) {
        st->cap2_scale = step_snap_relative(st->cap2_scale, st->target_cap2_scale, st->coeff,
                                            st->threshold_sq);
        st->c2 = fast_rcp(st->cap2_scale) * 2.88847446e-07f;
    }
    // fast_sqrt gives 0 below the smallest normal float.
    const float f0 = fast_sqrt(fast_rcp((st->c1 * st->r_drive) * st->c2)) * 0.00232151337f;
    st->k = stage_bilinear_k(f0, st->max_freq, st->inv_rate);
    return true;
}

// The rate of change of the capacitances enters the admittances at every sample.
inline void clip_update_coeffs(clip_stage* st)
{
    constexpr float g = 0.000212765954f;
    const float dc1 = (st->c1 - st->prev_c1) * st->rate;
    const float dc2 = (st->c2 - st->prev_c2) * st->rate;
    st->prev_c1 = st->c1;
    st->prev_c2 = st->c2;
    st->e1 = st->k * st->c1 + dc1;
    const float b = st->k * st->c2 + dc2;
    const float d1 = fast_rcp(g + st->e1);
    st->e2 = st->e1 * d1;
    st->e3 = -st->c1 * d1;
    const float u1 = fast_rcp(st->r_drive * b + 1.0f);
    st->e4 = -u1 * st->r_drive;
    st->e5 = ((st->e2 * st->e1 - st->e1) - b) * st->e4 + u1;
    // The one product formed in double precision.
    st->e6 = static_cast<float>(-0.045552 * static_cast<double>(fast_rcp(st->e4)));
    const float x1 = -5.53213901e-08f * st->e4;
    st->e7 = x1 + fast_ln(x1);
    st->e8 = st->e7 >= 1e9f ? st->e7 : wright_omega(st->e7);
    const float u2 = fast_rcp((st->e2 * g + b) * st->r_drive + 1.0f);
    st->e9 = st->r_drive * u2;
    st->e10 = -g * st->e9;
    st->e11 = -st->c2 * st->e9;
    st->e12 = b * st->e9 + u2;
    st->e13 = 3.92f * st->e12;
    st->e14 = st->e12 * -3.12f;
    const float x2 = 5.53213901e-08f * st->e9;
    st->e15 = fast_rcp(st->e9) * 0.0455520004f;
    st->e16 = x2 + fast_ln(x2);
    st->e17 = st->e16 >= 1e9f ? st->e16 : wright_omega(st->e16);
}

// B(tone) of the prewarp, scaled by the tone capacitor; three pieces joined by hand.
inline float tone_prewarp_base(float y)
{
    if (y <= 0.75f)
        return (((2204.80005f * y - 3200.0f) * y + 2019.80005f) * y + 377.0f) * 2.20000004e-07f;
    if (y <= 0.899999976f)
        return (((54666.668f * y - 124600.0f) * y + 95873.3359f) * y - 23858.0f) *
               2.20000004e-07f;
    const float x = 61.5378723f * y - 49.5959969f;
    if (x < -126.0f)
        return 0.00028572345f;
    return (fast_pow2(x) + 1298.74292f) * 2.20000004e-07f;
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
        const float ra = st->tone * 20000.0f;
        st->ga = fast_rcp(ra);
        const float gb = fast_rcp(20000.0f - ra);
        st->gab = st->ga + gb;
        st->out_a = gb * -1000.0f;
        st->out_b = 1.0f - st->out_a;
        st->gin = st->ga + 0.00109999999f;
        st->prewarp_base = tone_prewarp_base(st->tone);
    }
    if (forced || cap_moves) {
        st->cap_scale = step_snap_relative(st->cap_scale, st->target_cap_scale, st->coeff,
                                           st->threshold_sq);
        st->c = fast_rcp(st->cap_scale) * 2.20000004e-07f;
    }
    const float f0 = fast_rcp(st->c) * st->prewarp_base;
    st->k = stage_bilinear_k(f0, st->max_freq, st->inv_rate);
    return true;
}

inline void tone_update_coeffs(tone_stage* st)
{
    const float a = st->k * st->c + (st->c - st->prev_c) * st->rate;
    st->prev_c = st->c;
    const float d1 = fast_rcp(a + st->gab);
    st->t1 = st->gab * d1;
    st->t2 = a * d1;
    st->t3 = d1 * st->c;
    const float d2 = fast_rcp((a - st->t2 * a) + 0.0045454544f);
    st->t4 = a * d2;
    st->t5 = st->t1 * st->t4;
    st->t6 = -st->c * d2;
    const float d3 = fast_rcp((a - (st->t5 * st->t2 + st->t1) * st->ga) + st->gin);
    st->t7 = d3 * 0.00100000005f;
    st->t8 = st->c * d3;
    st->t9 = d3 * st->ga;
}

inline float omega_or_self(float a)
{
    return a >= 1e9f ? a : wright_omega(a);
}

// The drive stage: an op-amp stage with two capacitors and feedback diodes, solved in
// closed form, its output held between the asymmetric rails 3.92 and −3.12.
inline float clip_run(const clip_stage* cs, float* st, float s)
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

inline float tone_run(const tone_stage* ts, float* st, float g)
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
