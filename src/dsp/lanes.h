// Several floats side by side in one SSE, AVX or NEON register, and the few operations that
// the overdrive's arithmetic needs besides + − ×, for a plain float and for lanes alike.
// Each lane does exactly what the same IEEE single-precision operation does on its own
// (nothing is fused: the build keeps -ffp-contract=off), so a routine written once gives
// the same bits whether it runs on one float or on eight.
//
// The eight-lane type is only ever used inside functions built for AVX2 on x86-64 (two
// NEON registers on aarch64); everything here is always inlined into its caller, so no
// out-of-line copy carries AVX code into the baseline path.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "dsp/arch.h"

#define DSP_INLINE [[gnu::always_inline]] inline

template <int W>
struct lane_vectors {
    typedef float f __attribute__((vector_size(4 * W)));
    typedef uint32_t u __attribute__((vector_size(4 * W)));
    typedef int32_t i __attribute__((vector_size(4 * W)));
    typedef double d __attribute__((vector_size(8 * W)));
};

using f32x4 = lane_vectors<4>::f;
using f32x8 = lane_vectors<8>::f;

// The unsigned and signed companions of a float type, and its lane count.
template <class F>
struct lane_traits {
    static constexpr int width = sizeof(F) / sizeof(float);
    using u = typename lane_vectors<width>::u;
    using i = typename lane_vectors<width>::i;
    using d = typename lane_vectors<width>::d;
};

template <>
struct lane_traits<float> {
    static constexpr int width = 1;
    using u = uint32_t;
    using i = int32_t;
    using d = double;
};

template <class F>
using lane_u = typename lane_traits<F>::u;
template <class F>
using lane_i = typename lane_traits<F>::i;

DSP_INLINE float float_of(uint32_t b) { return std::bit_cast<float>(b); }
DSP_INLINE uint32_t bits_of(float x) { return std::bit_cast<uint32_t>(x); }
DSP_INLINE int32_t as_signed(uint32_t b) { return static_cast<int32_t>(b); }
DSP_INLINE uint32_t as_unsigned(int32_t b) { return static_cast<uint32_t>(b); }
DSP_INLINE float to_float(int32_t i) { return static_cast<float>(i); }

// Truncation toward zero as x86-64 does it on every processor: out of range and NaN give
// INT32_MIN instead of undefined behaviour.
DSP_INLINE int32_t trunc_to_i32(float x) { return arch_trunc_to_i32(x); }

template <class V>
DSP_INLINE auto float_of(V b) -> typename lane_vectors<sizeof(V) / 4>::f
{
    return reinterpret_cast<typename lane_vectors<sizeof(V) / 4>::f>(b);
}

template <class F>
DSP_INLINE lane_u<F> bits_of(F x)
{
    return reinterpret_cast<lane_u<F>>(x);
}

template <class V>
DSP_INLINE auto as_signed(V b) -> typename lane_vectors<sizeof(V) / 4>::i
{
    return reinterpret_cast<typename lane_vectors<sizeof(V) / 4>::i>(b);
}

template <class V>
DSP_INLINE auto as_unsigned(V b) -> typename lane_vectors<sizeof(V) / 4>::u
{
    return reinterpret_cast<typename lane_vectors<sizeof(V) / 4>::u>(b);
}

template <class V>
DSP_INLINE auto to_float(V i) -> typename lane_vectors<sizeof(V) / 4>::f
{
    return __builtin_convertvector(i, typename lane_vectors<sizeof(V) / 4>::f);
}

// Lanes first … first + count − 1 of x.
template <class F, int first, std::size_t... i>
DSP_INLINE auto lanes_of(F x, std::index_sequence<i...>)
{
    return __builtin_shufflevector(x, x, (first + static_cast<int>(i))...);
}

// fn on each half of x's lanes, the two results joined again in lane order (as R). The
// halves are taken as lanes, not as bytes: a copy of the upper bytes may be read from a
// 512-bit register where the code is built for AVX-512.
template <class R, class F, class Fn>
DSP_INLINE R by_halves(F x, Fn fn)
{
    constexpr int half = lane_traits<F>::width / 2;
    const auto low = lanes_of<F, 0>(x, std::make_index_sequence<half>());
    const auto high = lanes_of<F, half>(x, std::make_index_sequence<half>());
    const auto a = fn(low);
    const auto b = fn(high);
    static_assert(sizeof a + sizeof b == sizeof(R));
    R r;
    __builtin_memcpy(&r, &a, sizeof a);
    __builtin_memcpy(reinterpret_cast<char*>(&r) + sizeof a, &b, sizeof b);
    return r;
}

template <class F>
DSP_INLINE lane_i<F> trunc_to_i32(F x)
{
    if constexpr (sizeof(F) == 16) {
        return arch_trunc_to_i32(x);
    } else if constexpr (sizeof(F) == 32) {
        // Eight lanes only ever run in the functions built for them (arch.h).
        return reinterpret_cast<lane_i<F>>(arch_trunc_to_i32_eight(x));
    } else {
        // Half by half down to four lanes, the one width every processor has.
        return by_halves<lane_i<F>>(x, [](auto h) [[gnu::always_inline]] { return trunc_to_i32(h); });
    }
}

// One value in every lane.
template <class T, class S>
DSP_INLINE T splat(S s)
{
    if constexpr (sizeof(T) == sizeof(S)) {
        return s;
    } else if constexpr (requires(T t) { t.v[0]; }) {
        // A group of vectors (dsp/lane_groups.h): the value in every member.
        T g;
        for (auto& m : g.v)
            m = splat<typename std::remove_reference<decltype(m)>::type>(s);
        return g;
    } else {
        T v{};
        for (int i = 0; i < static_cast<int>(sizeof(T) / sizeof(S)); i++)
            v[i] = s;
        return v;
    }
}

// c ? a : b, lane by lane for lanes (c then holds −1 or 0 per lane).
template <class C, class T>
DSP_INLINE T select(C c, T a, T b)
{
    return c ? a : b;
}

// The plain comparisons: a NaN in the first operand yields the second.
template <class F>
DSP_INLINE F max_f(F a, F b)
{
    return select(a > b, a, b);
}

template <class F>
DSP_INLINE F min_f(F a, F b)
{
    return select(a < b, a, b);
}

// x·k with the product formed in double precision and rounded once to float.
template <class F>
DSP_INLINE F mul_in_double(F x, double k)
{
    if constexpr (sizeof(F) == sizeof(float)) {
        return static_cast<float>(k * static_cast<double>(x));
    } else if constexpr (sizeof(F) == 16) {
        return __builtin_convertvector(k * __builtin_convertvector(x, typename lane_traits<F>::d), F);
    } else {
        // Half by half, so that no vector of doubles is wider than 256 bits (a wider one
        // would take AVX-512's 512-bit registers where the code is built for it).
        return by_halves<F>(x, [k](auto h) [[gnu::always_inline]] { return mul_in_double(h, k); });
    }
}

// W lanes from or to memory of any alignment.
template <class F>
DSP_INLINE F load_lanes(const float* p)
{
    F v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class F>
DSP_INLINE void store_lanes(float* p, F v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

// [x, v0, v1, …]: every lane moves up by one and x enters lane 0.
template <class F>
DSP_INLINE F shift_in(F v, float x)
{
    if constexpr (sizeof(F) == 16)
        return __builtin_shuffle(v, splat<F>(x), lane_i<F>{4, 0, 1, 2});
    else
        return __builtin_shuffle(v, splat<F>(x), lane_i<F>{8, 0, 1, 2, 3, 4, 5, 6});
}

// Bit i set where lane i of a comparison's result is true.
template <class I>
DSP_INLINE uint32_t lane_bits(I c)
{
    if constexpr (sizeof(I) == 16)
        return arch_lane_bits(reinterpret_cast<arch_i32x4>(c));
    else
        return arch_lane_bits_eight(reinterpret_cast<arch_i32x8>(c));
}

// 0, 1, 2, … in the lanes.
template <class F>
DSP_INLINE lane_i<F> lane_index()
{
    lane_i<F> v{};
    for (int i = 0; i < static_cast<int>(sizeof(F) / sizeof(float)); i++)
        v[i] = i;
    return v;
}

// One lane of a stored vector, read in place: the float of that lane, followed by the
// other lanes. A record of such fields laid over a stored record of W-lane vectors,
// shifted by i floats, reads lane i of every field without copying anything.
template <int W>
struct [[gnu::may_alias]] lane_in_place {
    float value;
    float other_lanes[W - 1];
    DSP_INLINE operator float() const { return value; }
};
