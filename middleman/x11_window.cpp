#include "x11_window.h"

#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <cstring>

int x11_window_open(x11_window* w, int width, int height, const char* title)
{
    memset(w, 0, sizeof *w);
    w->display = XOpenDisplay(nullptr);
    if (!w->display)
        return -1;
    Display* d = w->display;
    int screen = DefaultScreen(d);
    XSetWindowAttributes attrs = {};
    // No background: the server never clears the window, the back buffer covers it all.
    attrs.background_pixmap = None;
    attrs.bit_gravity = NorthWestGravity;
    // Keys come only while a text field holds the keyboard focus (keyboard_focus.h).
    attrs.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
                       PointerMotionMask | LeaveWindowMask | KeyPressMask | FocusChangeMask;
    // The window lives inside the plug-in's container; on the root it only waits to be
    // embedded. A window manager must leave it alone there: a managed window gets a
    // decorated frame that flashes up, and the manager's own reparenting and unmanaging
    // race with the plug-in's reparent into the container.
    attrs.override_redirect = True;
    w->window = XCreateWindow(d, RootWindow(d, screen), 0, 0, (unsigned)width, (unsigned)height,
                              0, CopyFromParent, InputOutput, CopyFromParent,
                              CWBackPixmap | CWBitGravity | CWEventMask | CWOverrideRedirect,
                              &attrs);
    w->width = width;
    w->height = height;
    XStoreName(d, w->window, title);
    XClassHint* hint = XAllocClassHint();
    if (hint) {
        hint->res_name = (char*)"middleman";
        hint->res_class = (char*)"middleman";
        XSetClassHint(d, w->window, hint);
        XFree(hint);
    }
    w->wm_delete = XInternAtom(d, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(d, w->window, &w->wm_delete, 1);
    return 0;
}

static void drop_back(x11_window* w)
{
    if (w->back_surface) {
        cairo_surface_destroy(w->back_surface);
        w->back_surface = nullptr;
    }
    if (w->back) {
        XFreePixmap(w->display, w->back);
        w->back = 0;
    }
}

void x11_window_close(x11_window* w)
{
    if (!w->display)
        return;
    drop_back(w);
    // The program draws nothing after its window: cairo's caches (fonts that still hold
    // its record of the display) go while the display is open, so that closing the
    // display frees that record too and a leak checker sees only what is ours.
    cairo_debug_reset_static_data();
    XDestroyWindow(w->display, w->window);
    XCloseDisplay(w->display);
    w->display = nullptr;
}

cairo_t* x11_window_begin_paint(x11_window* w)
{
    if (w->width <= 0 || w->height <= 0)
        return nullptr;
    if (!w->back || w->back_width != w->width || w->back_height != w->height) {
        drop_back(w);
        Display* d = w->display;
        int screen = DefaultScreen(d);
        w->back = XCreatePixmap(d, w->window, (unsigned)w->width, (unsigned)w->height,
                                (unsigned)DefaultDepth(d, screen));
        w->back_surface = cairo_xlib_surface_create(d, w->back, DefaultVisual(d, screen),
                                                    w->width, w->height);
        w->back_width = w->width;
        w->back_height = w->height;
    }
    cairo_t* cr = cairo_create(w->back_surface);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr);
        return nullptr;
    }
    return cr;
}

void x11_window_present(x11_window* w)
{
    if (!w->back)
        return;
    cairo_surface_flush(w->back_surface);
    GC gc = DefaultGC(w->display, DefaultScreen(w->display));
    XCopyArea(w->display, w->back, w->window, gc, 0, 0, (unsigned)w->back_width,
              (unsigned)w->back_height, 0, 0);
}
