// One line of text being typed: a value into a value box, a preset's name into
// "Save as". UTF-8, a cursor between characters, and a selection of the whole text
// that the first character typed replaces, as a fresh entry in any desktop program.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t text_field_capacity = 128;

struct text_field {
    char text[text_field_capacity]; // always NUL-terminated
    size_t length;
    size_t cursor; // a byte offset on a character boundary
    size_t max_bytes;
    bool all_selected;
};

enum text_key_result {
    text_key_ignored, // not a key the field uses
    text_key_edited,  // the text changed
    text_key_moved,   // only the cursor or the selection changed
    text_key_enter,   // Return or keypad Enter: apply
    text_key_escape,  // Escape: cancel
};

// Starts editing `initial` (cut to `max_bytes`, at most capacity - 1), all selected,
// the cursor at the end.
void text_field_start(text_field* f, const char* initial, size_t max_bytes);

// One key press: its keysym (after Shift and Lock) and whether Control was held.
text_key_result text_field_key(text_field* f, unsigned long keysym, bool control);

// The character a keysym types as a Unicode code point, or 0 when it types none
// (function keys, modifiers, control characters).
uint32_t keysym_code_point(unsigned long keysym);
