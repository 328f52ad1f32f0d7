// The overdrive's own arithmetic: reciprocal, powers of two, logarithm, square root,
// sine and tangent, and the Wright omega diode solver, all in 32-bit floats. They are
// part of the sound, so every step and constant is fixed and evaluated in the written
// order; nothing here calls the maths library.
#pragma once

#include "dsp/lanes.h"

// Each routine is written once for a plain float and for lanes of floats (dsp/lanes.h);
// where a lane may take either side of a choice, both sides are computed and one is
// selected, which gives the same result as the branch.

template <class F>
DSP_INLINE F fast_rcp(F x)
{
    F r = float_of(0x7EF0E840u - bits_of(x));
    r = (r + r) - (x * r) * r;
    r = (r + r) - (x * r) * r;
    return r;
}

template <class F>
DSP_INLINE F fast_pow2(F x)
{
    lane_u<F> i = as_unsigned(trunc_to_i32(x));
    // With the sign bit set the integer part steps down even for whole numbers, so the
    // fraction lies in (0, 1].
    i -= bits_of(x) >> 31;
    const F f = x - to_float(as_signed(i));
    const F p = float_of((i << 23) + 0x3F800000u);
    const F r = p + (p * f) * ((0.0794415399f * f + 0.227411285f) * f + 0.693147182f);
    return select(x < -126.0f, splat<F>(0.0f), r);
}

// log2 of x, offset so that the caller scales it by ±ln 2.
template <class F>
DSP_INLINE F fast_log2_poly(F x)
{
    const lane_u<F> b = bits_of(x);
    const F e = to_float(as_signed(b) >> 23);
    const F m = float_of((b & 0x7FFFFFu) | 0x3F800000u);
    return ((0.164042562f * m - 1.09886527f) * m + 3.14829803f) * m + (e - 129.21347f);
}

template <class F>
DSP_INLINE F fast_ln(F x)
{
    return fast_log2_poly(x) * 0.693147182f;
}

template <class F>
DSP_INLINE F fast_sqrt(F x)
{
    using U = lane_u<F>;
    const U b = bits_of(x);
    // Moves very small and very large exponents toward the middle so that the
    // reciprocal below stays finite; `back` undoes it on the result's exponent.
    // With s = ((b >> 26) & 0x38) mod 32, that is 0, 8, 16 or 24, add is
    // (0x200000E0 << s) & 0xFF000000 and back (0x100000F0 << s) & 0xFF000000: only s = 0
    // and s = 24 leave a nonzero top byte. Chosen per lane, without shifting by a
    // variable count (which four-lane SSE2 code could only do lane by lane).
    const U s = (b >> 26) & 0x18u;
    const U none = splat<U>(0u);
    const U add = select(s == 0u, splat<U>(0x20000000u), select(s == 24u, splat<U>(0xE0000000u), none));
    const U back = select(s == 0u, splat<U>(0x10000000u), select(s == 24u, splat<U>(0xF0000000u), none));
    const F h = -0.5f * fast_rcp(float_of(b + add));
    F y = float_of(((((b + add + 0xC07D5ED9u) >> 1) + 0x3F7D8FC7u)) & 0x7FFFFFFFu);
    y = ((h * y) * y + 0.5f) * y + y;
    y = ((h * y) * y + 0.5f) * y + y;
    return select(x < 1.17549435e-38f, splat<F>(0.0f), float_of(bits_of(y) - back));
}

// floor(x), exact: the fraction bits are cleared (truncation toward zero), then 1 is
// taken off for a negative value that was not whole. Between 1 and 2^23 in magnitude the
// conversion to an integer and back clears them exactly as masking the pattern would.
template <class F>
DSP_INLINE F fast_floor(F x)
{
    const lane_u<F> b = bits_of(x);
    const lane_i<F> exponent = as_signed((b >> 23) & 0xFFu) - 127;
    const F whole = to_float(trunc_to_i32(x));
    const F t = select(exponent < 0, float_of(b & 0x80000000u), select(exponent >= 23, x, whole));
    return select((x < 0.0f) & (t != x), t - 1.0f, t);
}

template <class F>
DSP_INLINE F fast_sin2pi(F x)
{
    const F fr = x - fast_floor(x);
    const F u = 2.0f * fr - 1.0f;
    const F s = select((bits_of(u) >> 31) != 0u, splat<F>(1.0f), splat<F>(-1.0f));
    const F au = float_of(bits_of(u) & 0x7FFFFFFFu);
    const F a = float_of(bits_of(2.0f * au - 1.0f) & 0x7FFFFFFFu);
    const F z = a * -1.57079637f + 1.57079637f;
    return s * ((z * -0.11073982f - 0.0573853403f) * (z * z) + z);
}

template <class F>
DSP_INLINE F fast_cos2pi(F x)
{
    return fast_sin2pi(x + 0.25f);
}

// tan(π·f·inv_rate), the bilinear prewarp.
template <class F>
DSP_INLINE F fast_tan_half(F f, F inv_rate)
{
    const F r = f * 3.14159274f;
    const F t = r * inv_rate * 0.159154937f;
    return fast_sin2pi(t) * fast_rcp(fast_cos2pi(t));
}

// The w with w + ln(w) = x: an initial guess refined by one Newton step. Callers use x
// itself from 1e9 up.
template <class F>
DSP_INLINE F wright_omega(F x)
{
    const F cubic = ((-0.00131429313f * x + 0.0477593131f) * x + 0.36319527f) * x + 0.631318331f;
    const F large = fast_log2_poly(x) * -0.693147182f + x;
    const F w = select(x < -3.34145951f, splat<F>(0.0f), select(x < 8.0f, cubic, large));
    const F e = fast_pow2((x - w) * 1.44269502f);
    return w - fast_rcp(1.0f + w) * (w - e);
}

// A NaN or an infinity becomes 0; every finite value passes unchanged.
DSP_INLINE float finite_or_zero(float x)
{
    return (bits_of(x) & 0x7F800000u) == 0x7F800000u ? 0.0f : x;
}

DSP_INLINE float sign0(float x)
{
    const uint32_t b = bits_of(x);
    if ((b & 0x7FFFFFFFu) == 0)
        return 0.0f;
    return (b >> 31) ? -1.0f : 1.0f;
}
