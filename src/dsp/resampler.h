// Integer-ratio resampler for the oversampled section: eight second-order low-pass
// sections from a fixed prototype, the same design for both directions.
#pragma once

#include <cstdint>

inline constexpr int resampler_sections = 8;

// ratio is +N for upsampling, −N for downsampling. fb1 and fb2 are already negated,
// so the section adds them.
struct resampler_coeffs {
    int32_t ratio;
    int32_t sections;
    float b0[resampler_sections];
    float b1[resampler_sections];
    float fb1[resampler_sections];
    float fb2[resampler_sections];
};

// countdown is used by the downsampler only: the next output is written when it is 0.
struct resampler_state {
    float z1[resampler_sections];
    float z2[resampler_sections];
    int32_t countdown;
};

void resampler_design(resampler_coeffs* coeffs, int32_t ratio, float g);
// ratio >= 2: writes count·ratio samples; ratio <= -2: one sample per |ratio| inputs;
// ratio 0 or 1: runs the cascade on ratio·x without resampling.
void resampler_process(const resampler_coeffs* coeffs, resampler_state* state,
                       const float* src, float* dst, int32_t count);
