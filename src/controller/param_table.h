// The six parameters: ids, the ParameterInfo records the host sees, plain ranges and
// the conversions between normalized values, plain values and display text. Every
// other module addresses parameters by index (0..5) and converts only through here.
#pragma once

#include <cstdint>

#include "vst3/vst3_types.h"

enum param_index : int {
    param_drive = 0,
    param_tone = 1,
    param_heat = 2,
    param_mix = 3,
    param_volume = 4,
    param_bypass = 5,
};

inline constexpr int param_count = 6;

struct param_range {
    uint64_t index;
    double min;
    double max;
    double default_plain;
    bool toggle;
};

extern const vst3::ParameterInfo param_info_table[param_count];
extern const param_range param_range_table[param_count];

// Keys of the state's parameter map, in index order ("drive", "tone", ...).
extern const char* const param_state_keys[param_count];

// The index of a parameter id, or -1 when the id is not a parameter.
int param_index_of(vst3::ParamID id);

double param_to_plain(int index, double normalized);
double param_to_normalized(int index, double plain);
// The plain value a parameter takes when set from a normalized value: linear mapping,
// toggle rounding for Bypass, clamping to the range (a NaN passes through).
double param_apply_normalized(int index, double normalized);
// Toggle rounding and clamping of an already plain value (editor and state input).
double param_clamp_plain(int index, double plain);

// Writes the plain value with two truncated decimals into a 128-unit buffer.
// Returns 0, or -1 (buffer untouched) when the index is not a parameter or the value
// is not finite or its text would not fit.
int param_format(int index, double normalized, vst3::TChar* buffer);
// Reads a sign and integer digits; returns 0 and stores the normalized value, or -1
// when the index is not a parameter.
int param_parse(int index, const vst3::TChar* text, double* normalized);
