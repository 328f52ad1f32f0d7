// The overdrive's own arithmetic: reciprocal, powers of two, logarithm, square root,
// sine and tangent, and the Wright omega diode solver, all in 32-bit floats. They are
// part of the sound, so every step and constant is fixed and evaluated in the written
// order; nothing here calls the maths library.
#pragma once

#include <bit>
#include <cstdint>
#include <xmmintrin.h>

inline float float_of(uint32_t b) { return std::bit_cast<float>(b); }
inline uint32_t bits_of(float x) { return std::bit_cast<uint32_t>(x); }

// Truncation toward zero as the processor does it: out of range and NaN give INT32_MIN
// instead of undefined behaviour.
inline int32_t trunc_to_i32(float x) { return _mm_cvtt_ss2si(_mm_set_ss(x)); }

// The plain comparisons: a NaN in the first operand yields the second.
inline float max_f(float a, float b) { return a > b ? a : b; }
inline float min_f(float a, float b) { return a < b ? a : b; }

inline float fast_rcp(float x)
{
    float r = float_of(0x7EF0E840u - bits_of(x));
    r = (r + r) - (x * r) * r;
    r = (r + r) - (x * r) * r;
    return r;
}

inline float fast_pow2(float x)
{
    if (x < -126.0f)
        return 0.0f;
    uint32_t i = static_cast<uint32_t>(trunc_to_i32(x));
    // With the sign bit set the integer part steps down even for whole numbers, so the
    // fraction lies in (0, 1].
    if (bits_of(x) >> 31)
        i -= 1u;
    const float f = x - static_cast<float>(static_cast<int32_t>(i));
    const float p = float_of((i << 23) + 0x3F800000u);
    return p + (p * f) * ((0.0794415399f * f + 0.227411285f) * f + 0.693147182f);
}

// log2 of x, offset so that the caller scales it by ±ln 2.
inline float fast_log2_poly(float x)
{
    const uint32_t b = bits_of(x);
    const float e = static_cast<float>(static_cast<int32_t>(b) >> 23);
    const float m = float_of((b & 0x7FFFFFu) | 0x3F800000u);
    return ((0.164042562f * m - 1.09886527f) * m + 3.14829803f) * m + (e - 129.21347f);
}

inline float fast_ln(float x) { return fast_log2_poly(x) * 0.693147182f; }

inline float fast_sqrt(float x)
{
    if (x < 1.17549435e-38f)
        return 0.0f;
    const uint32_t b = bits_of(x);
    // Moves very small and very large exponents toward the middle so that the
    // reciprocal below stays finite; `back` undoes it on the result's exponent.
    const uint32_t s = ((b >> 26) & 0x38u) % 32u;
    const uint32_t add = (0x200000E0u << s) & 0xFF000000u;
    const uint32_t back = (0x100000F0u << s) & 0xFF000000u;
    const float h = -0.5f * fast_rcp(float_of(b + add));
    float y = float_of(((((b + add + 0xC07D5ED9u) >> 1) + 0x3F7D8FC7u)) & 0x7FFFFFFFu);
    y = ((h * y) * y + 0.5f) * y + y;
    y = ((h * y) * y + 0.5f) * y + y;
    return float_of(bits_of(y) - back);
}

// floor(x), exact: the fraction bits are masked off (truncation toward zero), then 1
// is taken off for a negative value that was not whole.
inline float fast_floor(float x)
{
    const uint32_t b = bits_of(x);
    const int32_t exponent = static_cast<int32_t>((b >> 23) & 0xFFu) - 127;
    float t;
    if (exponent < 0)
        t = float_of(b & 0x80000000u);
    else if (exponent >= 23)
        t = x;
    else
        t = float_of(b & ~(0x7FFFFFu >> exponent));
    if (x < 0.0f && t != x)
        t = t - 1.0f;
    return t;
}

inline float fast_sin2pi(float x)
{
    const float fr = x - fast_floor(x);
    const float u = 2.0f * fr - 1.0f;
    const float s = (bits_of(u) >> 31) ? 1.0f : -1.0f;
    const float au = float_of(bits_of(u) & 0x7FFFFFFFu);
    const float a = float_of(bits_of(2.0f * au - 1.0f) & 0x7FFFFFFFu);
    const float z = a * -1.57079637f + 1.57079637f;
    return s * ((z * -0.11073982f - 0.0573853403f) * (z * z) + z);
}

inline float fast_cos2pi(float x) { return fast_sin2pi(x + 0.25f); }

// tan(π·f·inv_rate), the bilinear prewarp.
inline float fast_tan_half(float f, float inv_rate)
{
    const float r = f * 3.14159274f;
    const float t = r * inv_rate * 0.159154937f;
    return fast_sin2pi(t) * fast_rcp(fast_cos2pi(t));
}

// The w with w + ln(w) = x: an initial guess refined by one Newton step. Callers use x
// itself from 1e9 up.
inline float wright_omega(float x)
{
    float w;
    if (x < -3.34145951f)
        w = 0.0f;
    else if (x < 8.0f)
        w = ((-0.00131429313f * x + 0.0477593131f) * x + 0.36319527f) * x + 0.631318331f;
    else
        w = fast_log2_poly(x) * -0.693147182f + x;
    const float e = fast_pow2((x - w) * 1.44269502f);
    return w - fast_rcp(1.0f + w) * (w - e);
}

// A NaN or an infinity becomes 0; every finite value passes unchanged.
inline float finite_or_zero(float x)
{
    return (bits_of(x) & 0x7F800000u) == 0x7F800000u ? 0.0f : x;
}

inline float sign0(float x)
{
    const uint32_t b = bits_of(x);
    if ((b & 0x7FFFFFFFu) == 0)
        return 0.0f;
    return (b >> 31) ? -1.0f : 1.0f;
}
