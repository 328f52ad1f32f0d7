// The per-tick work and the size requests of an open editor, whatever plug-in format
// hosts it: the container follows the host's window, the link is pumped, and a size
// the host asks for is given to the container. All on the caller's own X connection.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

struct editor_link;

// One 20 ms tick: the container takes its parent's size when that differs, then
// editor_link_pump runs.
void editor_window_tick(Display* display, editor_link* link);

// Resizes the container to width × height; an empty, inverted or oversized size
// cannot be a window size and is skipped.
void editor_window_resize(Display* display, editor_link* link, int64_t width, int64_t height);

// The container's size, or 0 × 0 when it cannot be read.
void editor_window_size(Display* display, const editor_link* link, int* width, int* height);
