// The editor's top-level X11 window with its back buffer: everything is drawn into an
// off-screen pixmap and copied to the window in one request, so nothing flickers.
#pragma once

#include <X11/Xlib.h>
#include <cairo.h>

struct x11_window {
    Display* display;
    Window window;
    Atom wm_delete;
    int width;
    int height;
    Pixmap back;
    cairo_surface_t* back_surface;
    int back_width;
    int back_height;
};

// Opens the display named by DISPLAY and creates (but does not map) the window, which
// no window manager manages (override-redirect): it is meant to be embedded.
int x11_window_open(x11_window* w, int width, int height, const char* title);
void x11_window_close(x11_window* w);
// A cairo context on the back buffer, sized to the window; null on failure.
cairo_t* x11_window_begin_paint(x11_window* w);
// Copies the back buffer to the window.
void x11_window_present(x11_window* w);
