// The editor's picture: the layout that fills whatever size the window has, the cairo
// drawing of knobs, switch, preset selector and menu, text fields, footer and notes
// panel, and the hit test that tells the event handler what lies under the pointer.
#pragma once

#include <cairo.h>

#include "param_display.h"
#include "text_field.h"

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
    view_rect value_boxes[view_knob_count]; // below the knobs; a click types a value
    view_rect bypass;     // the switch with its label
    // The preset selector in the header: one pill holding the previous arrow, the
    // current preset's name (a click opens the menu) and the next arrow. "Save as"
    // turns the whole pill into a text field.
    view_rect preset;
    view_rect preset_prev, preset_name, preset_next;
    view_rect recall;     // "Recall last"
    view_rect headline;   // the footer's notes headline
    view_rect notes;      // the full notes panel
    view_rect notes_close;
};

void view_layout_compute(view_layout* layout, int width, int height);

enum view_target {
    target_none,
    target_knob,
    target_value, // a knob's value box
    target_bypass,
    target_recall,
    target_headline,
    target_notes,       // inside the open notes panel
    target_notes_close, // its close button, or outside the panel while it is open
    target_preset_prev,
    target_preset_name,
    target_preset_next,
    target_menu_item,    // a preset in the open menu
    target_menu_save,    // "Save as..." at the menu's foot
    target_menu,         // elsewhere inside the open menu
    target_menu_outside, // anywhere else while the menu is open: closes it
    target_field,        // the text field being typed into
};

// The preset menu as the view draws it: factory presets under one heading, the
// user's under another, "Save as..." pinned at the foot; it scrolls when it is taller
// than the window allows.
struct view_menu {
    const char* const* names; // `count` names, the factory bank's first
    int factory_count;
    int count;
    int current; // the chosen preset, marked; -1 for none
    int hover;   // the item under the pointer, view_menu_save_row for "Save as...", or -1
    double scroll;
};
inline constexpr int view_menu_save_row = -2;

// Where the open menu lies, and an item's row in it (scrolled; it may lie outside
// the panel's visible part). The largest scroll comes back in *max_scroll.
view_rect view_menu_panel(const view_layout* layout, const view_menu* menu, double* max_scroll);
view_rect view_menu_item(const view_layout* layout, const view_menu* menu, int item);
view_rect view_menu_save(const view_layout* layout, const view_menu* menu);

struct view_state;

// What lies at (x, y); `index` receives the knob index for target_knob and
// target_value, the preset's index for target_menu_item.
view_target view_hit(const view_layout* layout, const view_state* state, double x, double y,
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

    const char* preset;     // the current preset's name, or null when none is known
    bool preset_changed;    // a control moved since it was chosen
    const view_menu* menu;  // the open preset menu, or null
    // Typing: into a knob's value box (`editing_value`), or a name for "Save as".
    int editing_value;         // the knob, or -1
    bool naming;
    const text_field* field;   // what is being typed, while either is open
    bool refused;              // the text was refused: shown until it changes
    const char* message;       // a line under the field (a refusal, a hint), or null
    bool message_is_error;
    const char* notice;        // a passing note under the preset selector, or null
    bool notice_is_error;
};

// Draws the whole editor; returns the largest scroll the notes panel allows.
double view_draw(cairo_t* cr, const view_layout* layout, const view_state* state);
