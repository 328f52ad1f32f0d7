// The six parameters as the editor shows them. Ranges, defaults and the value text
// come from the plug-in's own parameter table, so the knobs read exactly as the
// host's display does.
#pragma once

#include <cstddef>

#include "controller/param_table.h"

inline constexpr int mm_param_count = param_count;
inline constexpr int mm_param_bypass = param_bypass;

// The parameter's title and unit as plain ASCII.
const char* mm_param_name(int index);
const char* mm_param_unit(int index);
inline const param_range& mm_param_range(int index) { return param_range_table[index]; }

// Brings an editor value into the parameter's range: toggle rounding, then clamping.
float mm_param_clamp(int index, double plain);

// The host's text for a plain value (two truncated decimals, no unit). Writes at most
// `capacity` bytes including the NUL; returns the length, or -1.
int mm_param_text(int index, double plain, char* out, size_t capacity);
