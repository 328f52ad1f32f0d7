// The per-tick work and the size requests of an open editor, whatever plug-in format
// hosts it: the container follows the host's window, the link is pumped, and a size
// the host asks for is given to the container. All on the caller's own X connection.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

struct editor_link;
struct editor_link_config;

// The editor's default size, which every host is told first.
inline constexpr uint32_t editor_default_width = 800;
inline constexpr uint32_t editor_default_height = 400;

// Opens an editor inside the host's window `parent`: the link (with the news handler,
// the default size and the six parameters) and the caller's own X connection. True with
// both made, or false with nothing left behind.
bool editor_window_open(unsigned long parent, const editor_link_config* config, editor_link** link,
                        Display** display);
// Closes the caller's connection and ends the link (and with it `middleman`).
void editor_window_close(editor_link* link, Display* display);

// One 20 ms tick: the container takes its parent's size when that differs, then
// editor_link_pump runs.
void editor_window_tick(Display* display, editor_link* link);

// Resizes the container to width × height; an empty, inverted or oversized size
// cannot be a window size and is skipped.
void editor_window_resize(Display* display, editor_link* link, int64_t width, int64_t height);

// The container's size, or 0 × 0 when it cannot be read.
void editor_window_size(Display* display, const editor_link* link, int* width, int* height);
