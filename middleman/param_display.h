// The six parameters as the editor shows them: names, plain ranges, defaults, and the
// value text exactly as the host displays it (two truncated decimals).
#pragma once

#include <cstddef>

inline constexpr int mm_param_count = 6;
inline constexpr int mm_param_bypass = 5;

struct mm_param {
    const char* name;
    const char* unit;
    double min;
    double max;
    double default_plain;
    bool toggle;
};

extern const mm_param mm_params[mm_param_count];

// Brings an editor value into the parameter's range: toggle rounding, then clamping.
float mm_param_clamp(int index, double plain);

// The host's text for a plain value: the value is taken to its normalized form and back,
// as the host's own display does, then printed with two truncated decimals. Writes at
// most `capacity` bytes including the NUL; returns the length, or -1.
int mm_param_text(int index, double plain, char* out, size_t capacity);
