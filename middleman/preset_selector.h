// The header's preset selector: the presets the editor knows (the factory bank
// first, then the user's), which one was chosen and whether the controls still stand
// where it put them, stepping with the arrows and the menu's scroll and hover.
#pragma once

#include "param_display.h"

struct preset_item {
    char name[128];
    float values[mm_param_count]; // plain values, Drive ... Bypass
    bool user;
};

struct preset_selector {
    preset_item* items; // owned; the factory bank's first
    const char** names; // the items' names, for the view
    int count;
    int factory_count;
    int current;  // the chosen or recognised preset, or -1
    bool changed; // the values no longer are the current preset's
    bool menu_open;
    double menu_scroll;
    int menu_hover;
};

void selector_init(preset_selector* s);
void selector_free(preset_selector* s);

// Takes over a freshly read list (null and 0 for none). The chosen preset stays
// chosen when the list still holds one of its group with its name; otherwise the
// values given (null while the plug-in has not told them yet) pick a preset that
// holds them, if any.
void selector_set_items(preset_selector* s, preset_item* items, int count, int factory_count,
                        const float values[mm_param_count]);

// The preset an arrow leads to from the current one (wrapping round), or -1 when
// there are none. With none chosen, forward starts at the first, back at the last.
int selector_step(const preset_selector* s, int direction);

// Marks `index` chosen and unchanged; the caller sends its values.
void selector_choose(preset_selector* s, int index);

// After any change of the values (the user's, the host's): values that are exactly a
// preset's make it the current one (the host may have loaded it); else the current
// preset is marked changed, and unchanged again when the values come back to it.
void selector_values_moved(preset_selector* s, const float values[mm_param_count]);

// True when two sets of values are the same preset: equal up to what a trip through
// the host's normalized values can change.
bool selector_values_match(const float a[mm_param_count], const float b[mm_param_count]);

// The index of the item named `name` in the user's group, or -1.
int selector_find_user(const preset_selector* s, const char* name);
