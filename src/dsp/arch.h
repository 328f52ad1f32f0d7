// What differs between the processors the plug-in runs on (x86-64 and 64-bit ARM), in one
// place: the floating-point control register of the audio thread, float→int32 truncation,
// the pause hint of a spin loop, and how the eight-lane code is built and chosen (AVX2,
// and AVX-512's encoding of it where the processor has that). Every other file is the
// same source on both, and gives the same bits on both.
//
// Truncation follows x86-64 everywhere: a value out of the int32 range, or NaN, gives
// INT32_MIN. AArch64's fcvtzs saturates instead (NaN → 0, large → INT32_MAX), so there the
// out-of-range lanes are replaced by INT32_MIN after the conversion.
#pragma once

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#else
#error "the plug-in is built for x86-64 and aarch64 only"
#endif

#define ARCH_INLINE [[gnu::always_inline]] inline

// Eight-lane values never cross a call: the warning about their calling convention
// does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

// The folder of a VST 3 bundle that holds this processor's library.
#if defined(__x86_64__)
inline constexpr const char arch_bundle_dir[] = "x86_64-linux";
#elif defined(__aarch64__)
inline constexpr const char arch_bundle_dir[] = "aarch64-linux";
#endif

typedef float arch_f32x4 __attribute__((vector_size(16)));
typedef int32_t arch_i32x4 __attribute__((vector_size(16)));
typedef int32_t arch_i32x8 __attribute__((vector_size(32)));

#if defined(__x86_64__)

// MXCSR: flush-to-zero (bit 15) and denormals-are-zero (bit 6).
typedef unsigned int fp_control;
inline constexpr fp_control fp_flush_set_bits = 0x8040u;
inline constexpr fp_control fp_flush_clear_bits = 0u;

ARCH_INLINE fp_control fp_control_read() { return _mm_getcsr(); }
ARCH_INLINE void fp_control_write(fp_control c) { _mm_setcsr(c); }

// The eight-lane code is AVX2 code, inside functions built for it and run only where the
// processor has it.
#define ARCH_EIGHT_LANE_TARGET __attribute__((target("avx2")))
ARCH_INLINE bool arch_has_eight_lanes()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

// The same eight-lane code in AVX-512's encoding, on the same 256-bit vectors
// (AVX-512VL), where the processor has it: 32 vector registers instead of 16, so fewer
// values go to the stack, and each constant is folded into the operation that uses it
// as a broadcast operand instead of being loaded into a register first. The operations,
// and so the bits, are those of the AVX2 code. The compiler is kept to 256-bit vectors:
// on some processors the 512-bit registers lower the core's clock.
#define ARCH_EIGHT_LANE_EVEX_TARGET __attribute__((target("avx2,avx512f,avx512vl,prefer-vector-width=256")))
ARCH_INLINE bool arch_has_eight_lane_evex()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512vl");
}

ARCH_INLINE void arch_spin_pause() { __builtin_ia32_pause(); }

ARCH_INLINE int32_t arch_trunc_to_i32(float x) { return _mm_cvtt_ss2si(_mm_set_ss(x)); }
ARCH_INLINE arch_i32x4 arch_trunc_to_i32(arch_f32x4 x)
{
    return reinterpret_cast<arch_i32x4>(_mm_cvttps_epi32(reinterpret_cast<__m128>(x)));
}
// Eight lanes in one instruction. Only ever inlined into the functions built for AVX2,
// where the builtin expands; a template, so that nothing else ever compiles it.
template <class F8>
ARCH_INLINE arch_i32x8 arch_trunc_to_i32_eight(F8 x)
{
    return reinterpret_cast<arch_i32x8>(__builtin_ia32_cvttps2dq256(reinterpret_cast<__v8sf>(x)));
}

// Lane i's sign (the top bit of a comparison's lane) as bit i: one instruction.
ARCH_INLINE uint32_t arch_lane_bits(arch_i32x4 c)
{
    return static_cast<uint32_t>(_mm_movemask_ps(reinterpret_cast<__m128>(c)));
}
template <class I8>
ARCH_INLINE uint32_t arch_lane_bits_eight(I8 c)
{
    return static_cast<uint32_t>(__builtin_ia32_movmskps256(reinterpret_cast<__v8sf>(c)));
}

#elif defined(__aarch64__)

// FPCR: flush-to-zero (FZ, bit 24) for inputs and results alike. The alternate handling
// of FEAT_AFP (AH, bit 1; FIZ, bit 0) is switched off for the block, so that FZ behaves
// as on every ARMv8 processor; the entry values of all three come back afterwards.
typedef uint64_t fp_control;
inline constexpr fp_control fp_flush_set_bits = 1u << 24;
inline constexpr fp_control fp_flush_clear_bits = (1u << 1) | (1u << 0);

ARCH_INLINE fp_control fp_control_read()
{
    fp_control c;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(c));
    return c;
}
ARCH_INLINE void fp_control_write(fp_control c) { __asm__ __volatile__("msr fpcr, %0" : : "r"(c)); }

// Eight lanes are two NEON registers, plain generic vector code that every ARMv8
// processor runs.
#define ARCH_EIGHT_LANE_TARGET
ARCH_INLINE bool arch_has_eight_lanes() { return true; }
// AVX-512 is x86-64's alone: its encoding of the eight lanes is never chosen here, and a
// function built "for" it is plain code like the rest.
#define ARCH_EIGHT_LANE_EVEX_TARGET
ARCH_INLINE bool arch_has_eight_lane_evex() { return false; }

ARCH_INLINE void arch_spin_pause() { __asm__ __volatile__("yield"); }

ARCH_INLINE int32_t arch_trunc_to_i32(float x)
{
    const int32_t t = vcvts_s32_f32(x);
    return x < 2147483648.0f ? t : INT32_MIN;
}
ARCH_INLINE arch_i32x4 arch_trunc_to_i32(arch_f32x4 x)
{
    const int32x4_t t = vcvtq_s32_f32(reinterpret_cast<float32x4_t>(x));
    const uint32x4_t in_range = vcltq_f32(reinterpret_cast<float32x4_t>(x), vdupq_n_f32(2147483648.0f));
    return reinterpret_cast<arch_i32x4>(vbslq_s32(in_range, t, vdupq_n_s32(INT32_MIN)));
}
// Eight lanes are two NEON registers: four and four.
template <class V4, class V8>
ARCH_INLINE void arch_halves_of(const V8& x, V4* low, V4* high)
{
    static_assert(sizeof(V8) == 2 * sizeof(V4));
    __builtin_memcpy(low, &x, sizeof *low);
    __builtin_memcpy(high, reinterpret_cast<const char*>(&x) + sizeof *low, sizeof *high);
}

// NEON has no gather of the sign bits: a comparison's lane is all ones or all zeros, so
// it selects its own bit, and the lanes are summed.
ARCH_INLINE uint32_t arch_lane_bits(arch_i32x4 c)
{
    const uint32x4_t weights = {1u, 2u, 4u, 8u};
    return vaddvq_u32(vandq_u32(reinterpret_cast<uint32x4_t>(c), weights));
}
template <class I8>
ARCH_INLINE uint32_t arch_lane_bits_eight(I8 c)
{
    arch_i32x4 low, high;
    arch_halves_of(c, &low, &high);
    return arch_lane_bits(low) | arch_lane_bits(high) << 4;
}

template <class F8>
ARCH_INLINE arch_i32x8 arch_trunc_to_i32_eight(F8 x)
{
    arch_f32x4 low, high;
    arch_halves_of(x, &low, &high);
    const arch_i32x4 a = arch_trunc_to_i32(low), b = arch_trunc_to_i32(high);
    arch_i32x8 r;
    __builtin_memcpy(&r, &a, sizeof a);
    __builtin_memcpy(reinterpret_cast<char*>(&r) + sizeof a, &b, sizeof b);
    return r;
}

#endif

// The floating-point mode of a process call, set on entry and given back on exit: the
// bits the driver owns return to the host's values, every other bit stays as it is then.
ARCH_INLINE fp_control audio_fp_control_enter()
{
    const fp_control entry = fp_control_read();
    fp_control_write((entry & ~fp_flush_clear_bits) | fp_flush_set_bits);
    return entry;
}

ARCH_INLINE void audio_fp_control_leave(fp_control entry)
{
    constexpr fp_control owned = fp_flush_set_bits | fp_flush_clear_bits;
    const fp_control now = fp_control_read();
    fp_control_write((now & ~owned) | (entry & owned));
}
