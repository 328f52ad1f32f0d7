// N vectors of lanes taken as one value: every operation is issued for all N vectors
// before the next one starts, so N independent dependency chains move forward side by
// side and the processor always finds ready work while one of them waits on a long
// latency (a reciprocal's refinement, a square root's). The laws written for a float or
// for lanes (dsp/fast_math.h, dsp/stages.h) run on it unchanged, and every lane still
// does exactly the IEEE single-precision operation it does on its own.
#pragma once

#include <type_traits>
#include <utility>

#include "dsp/lanes.h"

template <class T, int N>
struct lane_group {
    T v[N];
};

template <class T, int N>
struct lane_traits<lane_group<T, N>> {
    static constexpr int width = lane_traits<T>::width * N;
    using u = lane_group<typename lane_traits<T>::u, N>;
    using i = lane_group<typename lane_traits<T>::i, N>;
};

// The vector type of one member of a group, or the operand itself.
template <class S>
DSP_INLINE const S& member(const S& s, int)
{
    return s;
}

template <class T, int N>
DSP_INLINE const T& member(const lane_group<T, N>& g, int k)
{
    return g.v[k];
}

template <class A, class B>
struct group_size_of {
    static constexpr int value = 0;
};

template <class T, int N, class B>
struct group_size_of<lane_group<T, N>, B> {
    static constexpr int value = N;
};

template <class A, class T, int N>
struct group_size_of<A, lane_group<T, N>> {
    static constexpr int value = N;
};

template <class T, int N>
struct group_size_of<lane_group<T, N>, lane_group<T, N>> {
    static constexpr int value = N;
};

// Binary operators where at least one side is a group; a plain operand (a constant)
// meets every member.
#define LANE_GROUP_OPERATOR(op)                                                                  \
    template <class A, class B, int N = group_size_of<A, B>::value,                              \
              std::enable_if_t<(N > 0), int> = 0,                                                \
              class R = decltype(member(std::declval<A>(), 0) op member(std::declval<B>(), 0))> \
    DSP_INLINE lane_group<R, N> operator op(const A& a, const B& b)                              \
    {                                                                                            \
        lane_group<R, N> r;                                                                      \
        _Pragma("GCC unroll 8") for (int k = 0; k < N; k++) r.v[k] = member(a, k) op member(b, k); \
        return r;                                                                                \
    }

LANE_GROUP_OPERATOR(+)
LANE_GROUP_OPERATOR(-)
LANE_GROUP_OPERATOR(*)
LANE_GROUP_OPERATOR(&)
LANE_GROUP_OPERATOR(|)
LANE_GROUP_OPERATOR(>>)
LANE_GROUP_OPERATOR(<<)
LANE_GROUP_OPERATOR(<)
LANE_GROUP_OPERATOR(<=)
LANE_GROUP_OPERATOR(>)
LANE_GROUP_OPERATOR(>=)
LANE_GROUP_OPERATOR(==)
LANE_GROUP_OPERATOR(!=)
#undef LANE_GROUP_OPERATOR

template <class T, int N>
DSP_INLINE lane_group<T, N> operator-(const lane_group<T, N>& a)
{
    lane_group<T, N> r;
#pragma GCC unroll 8
    for (int k = 0; k < N; k++)
        r.v[k] = -a.v[k];
    return r;
}

template <class T, int N, class B>
DSP_INLINE lane_group<T, N>& operator-=(lane_group<T, N>& a, const B& b)
{
    a = a - b;
    return a;
}

// Each member through a function of one vector.
template <class T, int N, class Fn>
DSP_INLINE auto each_member(const lane_group<T, N>& a, Fn fn)
{
    lane_group<decltype(fn(a.v[0])), N> r;
#pragma GCC unroll 8
    for (int k = 0; k < N; k++)
        r.v[k] = fn(a.v[k]);
    return r;
}

// The conversions and truncation of lanes.h, member by member.
#define LANE_GROUP_EACH(fn)                                                                   \
    template <class T, int N>                                                                 \
    DSP_INLINE auto fn(const lane_group<T, N>& a)                                             \
    {                                                                                         \
        return each_member(a, [](const T& x) [[gnu::always_inline]] { return fn(x); });       \
    }

LANE_GROUP_EACH(float_of)
LANE_GROUP_EACH(bits_of)
LANE_GROUP_EACH(as_signed)
LANE_GROUP_EACH(as_unsigned)
LANE_GROUP_EACH(to_float)
LANE_GROUP_EACH(trunc_to_i32)
#undef LANE_GROUP_EACH

template <class T, int N>
DSP_INLINE lane_group<T, N> mul_in_double(const lane_group<T, N>& a, double k)
{
    return each_member(a, [k](const T& x) [[gnu::always_inline]] { return mul_in_double(x, k); });
}

template <class C, class T, int N>
DSP_INLINE lane_group<T, N> select(const lane_group<C, N>& c, const lane_group<T, N>& a,
                                   const lane_group<T, N>& b)
{
    lane_group<T, N> r;
#pragma GCC unroll 8
    for (int k = 0; k < N; k++)
        r.v[k] = select(c.v[k], a.v[k], b.v[k]);
    return r;
}

// [x, v0, v1, …] across the whole group: lanes move up by one, member by member, and
// the last lane of each member enters the next.
template <class T, int N>
DSP_INLINE lane_group<T, N> shift_in(const lane_group<T, N>& a, float x)
{
    constexpr int W = lane_traits<T>::width;
    lane_group<T, N> r;
    r.v[0] = shift_in(a.v[0], x);
#pragma GCC unroll 8
    for (int k = 1; k < N; k++)
        r.v[k] = shift_in(a.v[k], a.v[k - 1][W - 1]);
    return r;
}

template <class T, int N>
DSP_INLINE float last_lane(const lane_group<T, N>& a)
{
    return a.v[N - 1][lane_traits<T>::width - 1];
}

template <class F>
DSP_INLINE float last_lane(const F& a)
{
    return a[lane_traits<F>::width - 1];
}
