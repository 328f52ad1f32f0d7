// The overdrive's whole signal state in one plain record, and the calls the audio
// component makes on it. Mono, 32-bit float, no heap: besides the 16-sample work
// area of one input sample's oversampled block, the record holds the fixed scratch of
// the block path.
#pragma once

#include <cstdint>

#include "dsp/resampler.h"

inline constexpr int dsp_param_count = 6;
inline constexpr int dsp_max_oversampling = 16;

// First-order high-pass, transposed direct form: y = b0·x + s; s = b1·x − a1·y.
struct highpass_coeffs {
    float b0, b1, a1;
};

// One-pole glide toward `target`; `coeff` comes from `cutoff` and the running rate.
struct smoother {
    float rate_over_2pi, coeff, threshold_sq, cutoff, threshold;
    float value, target;
};

// The drive stage with its feedback diodes, run at the oversampled rate.
struct clip_stage {
    float rate_over_2pi, coeff, threshold_sq, cutoff, threshold;
    float drive, cap1_scale, cap2_scale;
    float rate, inv_rate, max_freq;
    float r_drive, c1, c2, k;
    float e1, e2, e3, e4, e5, e6, e7, e8, e9, e10, e11, e12, e13, e14, e15, e16, e17;
    float prev_c1, prev_c2;
    float target_drive, target_cap1_scale, target_cap2_scale;
};

// The passive tone network, run at the oversampled rate.
struct tone_stage {
    float rate_over_2pi, coeff, threshold_sq, cutoff, threshold;
    float tone, cap_scale;
    float rate, inv_rate, max_freq;
    float ga, gab, out_a, out_b, gin, prewarp_base, c, k;
    float t1, t2, t3, t4, t5, t6, t7, t8, t9;
    float prev_c;
    float target_tone, target_cap_scale;
};

// The vectors in a group of samples whose coefficients the block path works out
// together: eight samples in either width. Larger groups, whose vectors' chains would
// move side by side, measured slower there: each stage's work then comes in lumps that
// crowd the recursion out of the processor's window.
inline constexpr int group_vectors_of_eight_lanes = 1;
inline constexpr int group_vectors_of_four_lanes = 2;

// Oversampled samples held by the block path's rings: its glides run two groups ahead
// of the recursion, and it works on a third.
inline constexpr int dsp_ring = 32;

// Scratch of the block path; nothing in it outlives one dsp_process_block call.
struct dsp_block_scratch {
    // The stage controls of the ring's samples as they glide: drive, cap1_scale,
    // cap2_scale, tone, cap_scale.
    float controls[5][dsp_ring];
    // The coefficients that the two stages' recursions read, one set per sample,
    // stored in groups of eight samples, each field of a group eight floats.
    float clip[20 * dsp_ring];
    float tone[12 * dsp_ring];
};

struct overdrive_dsp {
    highpass_coeffs in_hp1, in_hp2;
    resampler_coeffs upsampler;
    struct clip_stage clip_stage;
    smoother heat_gain;
    struct tone_stage tone_stage;
    resampler_coeffs downsampler;
    highpass_coeffs out_hp1, out_hp2;
    smoother mix, volume, bypass;
    int32_t oversampling;
    float in_hp1_s, in_hp2_s;
    resampler_state upsampler_state;
    float clip_state[4];
    float tone_state[4];
    resampler_state downsampler_state;
    float out_hp1_s, out_hp2_s;
    float work[dsp_max_oversampling];
    // Plain values last given to dsp_set_param, in order Drive, Tone, Heat, Mix,
    // Volume, Bypass; the state chunk saves them.
    float dsp_values[dsp_param_count];
    // The rate of the last activation, 0 before the first one.
    float activation_rate;
    // Coefficient updates of each stage since its controls last moved. From two on,
    // an update would repeat the previous one on the same inputs (the capacitances'
    // rate of change is then 0 both times), so the signal path skips it.
    int32_t clip_settled, tone_settled;
    // Lanes of the block path's SIMD code: 8 where the processor has AVX2, else 4.
    int32_t block_lanes;
    // Whether the eight-lane code runs in AVX-512's encoding (x86-64 processors with
    // AVX-512F and VL): the same operations and bits, more registers.
    bool block_evex;
    dsp_block_scratch scratch;
};

// Construction defaults; the caller then sets the six parameter defaults.
void dsp_init(overdrive_dsp* dsp);
// Computes every rate-dependent value and zeroes all filter states. Allocates nothing.
void dsp_activate(overdrive_dsp* dsp, float sample_rate);
// Index 0..5 in parameter order, value in plain units; moves targets only, so every
// change glides. Other indices are ignored.
void dsp_set_param(overdrive_dsp* dsp, int32_t index, float value);
// One input sample in, one output sample out; a NaN or infinite input counts as 0.
// Runs on the audio thread with flush-to-zero and denormals-are-zero set.
float dsp_process_sample(overdrive_dsp* dsp, float x);
// Ends a block of dsp_process_sample calls: a filter whose state holds a NaN or an
// infinity (a finite input can still overflow inside the path) starts again from
// zero, and the block's non-finite output samples out[0 … count−1] become 0.
void dsp_recover(overdrive_dsp* dsp, float* out, int32_t count);
// count input samples from `in` to `out` (the same buffer is fine), then dsp_recover:
// bit for bit what dsp_process_sample over the block followed by dsp_recover gives,
// and the same record afterwards. Runs on the audio thread like dsp_process_sample.
void dsp_process_block(overdrive_dsp* dsp, const float* in, float* out, int32_t count);
// The same path recomputing every stage coefficient for every oversampled sample, as
// the laws are written; dsp_process_sample must match it bit for bit.
float dsp_process_sample_plain(overdrive_dsp* dsp, float x);
