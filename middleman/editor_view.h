// The editor's picture: the layout that fills whatever size the window has, the cairo
// drawing of knobs, switch, footer and notes panel, and the hit test that tells the
// event handler what lies under the pointer.
#pragma once

#include <cairo.h>

#include "param_display.h"

inline constexpr int view_knob_count = 5;

struct view_rect {
    double x, y, w, h;
};

struct view_layout {
    int width, height;
    double scale;
    view_rect header, body, footer;
    struct {
        double cx, cy, r;
        view_rect area; // the column that takes presses and the wheel
    } knobs[view_knob_count];
    view_rect bypass;     // the switch with its label
    view_rect recall;     // "Recall last"
    view_rect headline;   // the footer's notes headline
    view_rect notes;      // the full notes panel
    view_rect notes_close;
};

void view_layout_compute(view_layout* layout, int width, int height);

enum view_target {
    target_none,
    target_knob,
    target_bypass,
    target_recall,
    target_headline,
    target_notes,       // inside the open notes panel
    target_notes_close, // its close button, or outside the panel while it is open
};

// What lies at (x, y); `index` receives the knob index for target_knob.
view_target view_hit(const view_layout* layout, bool notes_open, double x, double y,
                     int* index);

struct view_state {
    const float* values;    // six plain values
    int active_knob;        // knob under a gesture, or -1
    int hover_knob;         // knob under the pointer, or -1
    view_target hover;      // target under the pointer
    bool recall_pressed;
    bool notes_open;
    double notes_scroll;    // pixels scrolled in the notes panel
    const char* headline;   // may be empty
    const char* notes;      // the full notes body, or null
    const char* sid;        // installation id, or null
};

// Draws the whole editor; returns the largest scroll the notes panel allows.
double view_draw(cairo_t* cr, const view_layout* layout, const view_state* state);
