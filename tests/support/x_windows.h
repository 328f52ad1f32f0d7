// Making and looking at X windows in the tests.
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <utility>
#include <vector>

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
// Every window below `top` (not `top` itself), parents before their children.
std::vector<Window> descendants(Display* display, Window top);
// The window's name (WM_NAME) and the class part of its WM_CLASS; "" when unset.
std::string name_of(Display* display, Window window);
std::string class_of(Display* display, Window window);
// The window's top-left corner in root coordinates.
std::pair<int, int> root_position(Display* display, Window window);
// Asks a top-level window to close, as a window manager does (WM_DELETE_WINDOW).
void close_window(Display* display, Window window);
