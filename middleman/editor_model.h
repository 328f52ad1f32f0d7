// The editor's six values and the gestures that change them. Every change made here
// goes to the plug-in as "b" (gesture begins), "s" (value changes) and "e" (gesture
// ends) messages carrying plain values; incoming "s" messages only move the values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "param_display.h"

// Where the model's messages go; `context` is passed back unchanged.
struct editor_sink {
    void* context;
    // One complete WebSocket text message.
    void (*send)(void* context, const char* text, size_t size);
    // A gesture (or a whole recall) has ended with these values.
    void (*gesture_ended)(void* context, const float values[mm_param_count]);
};

struct editor_model {
    editor_sink sink;
    float values[mm_param_count];
    int gesture_index; // -1 when no gesture is open
    // Vertical drag: value and pointer position when the drag (or its current fine or
    // coarse mode) began, so that echoes from the host never accumulate.
    bool dragging;
    double drag_anchor_value;
    int drag_anchor_y;
    bool drag_fine;
};

// Pixels of vertical travel for a parameter's whole range; Shift makes it ten times
// longer.
inline constexpr double model_drag_pixels = 250.0;
inline constexpr double model_fine_factor = 0.1;
// One wheel notch moves a hundredth of the range (a thousandth with Shift).
inline constexpr double model_wheel_step = 0.01;

void model_init(editor_model* m, const editor_sink* sink);

// Opens a gesture on `index` at `value` (clamped) and sends "b".
void model_begin(editor_model* m, int index, double value);
// Moves the open gesture's value; sends "s" only when the value changed.
void model_change(editor_model* m, double value);
// Closes the open gesture with "e" and reports the values.
void model_end(editor_model* m);
// A whole gesture in one step (wheel notch, switch, default value).
void model_gesture(editor_model* m, int index, double value);

// Vertical drag on the open gesture: starts at pointer height `y`, then follows it.
void model_drag_start(editor_model* m, int y, bool fine);
void model_drag_to(editor_model* m, int y, bool fine);
// Wheel notches (positive turns up) on a parameter.
void model_wheel(editor_model* m, int index, int notches, bool fine);

// A value from the plug-in (host automation, other editors, state loads); ignored for
// the parameter under an open gesture.
void model_apply_remote(editor_model* m, int index, float value);
// Applies stored values as gestures, one per changed parameter, then reports once.
void model_recall(editor_model* m, const float values[mm_param_count]);
// Applies a preset: a gesture on every parameter, changed or not, so that the host
// records the whole preset as one would record six knob moves; then reports once.
void model_apply_preset(editor_model* m, const float values[mm_param_count]);

// Parses an incoming parameter message body "index value-bits" (hexadecimal).
// Returns 0 with the index and value, or -1 when malformed or out of the table.
int model_parse_param(const char* body, int* index, float* value);
