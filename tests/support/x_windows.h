// Making and looking at X windows in the tests.
#pragma once

#include <X11/Xlib.h>

#include <utility>

// A top-level window of that size, mapped, with the server caught up: a host's
// window or a program's own.
Window mapped_window(Display* display, int width, int height);
// How many children the window has (0 when it does not exist).
unsigned child_count(Display* display, Window window);
// The window's child when it has exactly one, else 0.
Window only_child(Display* display, Window window);
// The window's parent, or 0 when the window does not exist.
Window parent_of(Display* display, Window window);
// Width and height, or (0, 0) when the window does not exist.
std::pair<int, int> size_of(Display* display, Window window);
// Asks a top-level window to close, as a window manager does (WM_DELETE_WINDOW).
void close_window(Display* display, Window window);
