#include "editor/editor_window.h"

#include "controller/param_table.h"
#include "editor/editor_link.h"
#include "editor/x11_error_trap.h"
#include "news/news_messages.h"

bool editor_window_open(unsigned long parent, const editor_link_config* config, editor_link** link,
                        Display** display)
{
    *display = nullptr;
    *link = editor_link_start(parent, config, handle_news_message, editor_default_width, editor_default_height,
                              param_count);
    if (!*link)
        return false;
    *display = XOpenDisplay(nullptr);
    if (!*display) {
        editor_link_free(*link);
        *link = nullptr;
        return false;
    }
    return true;
}

void editor_window_close(editor_link* link, Display* display)
{
    if (display) {
        x11_error_trap trap;
        x11_trap_begin(&trap, display);
        XCloseDisplay(display);
        x11_trap_end(&trap);
    }
    if (link)
        editor_link_free(link);
}

void editor_window_tick(Display* display, editor_link* link)
{
    Window container = editor_link_container(link);
    x11_error_trap trap;
    x11_trap_begin(&trap, display);
    Window root, parent;
    Window* children = nullptr;
    unsigned child_count = 0;
    if (XQueryTree(display, container, &root, &parent, &children, &child_count)) {
        if (children)
            XFree(children);
        XWindowAttributes outer, inner;
        if (XGetWindowAttributes(display, parent, &outer) &&
            XGetWindowAttributes(display, container, &inner) &&
            (outer.width != inner.width || outer.height != inner.height) && outer.width > 0 &&
            outer.height > 0) {
            XResizeWindow(display, container, (unsigned)outer.width, (unsigned)outer.height);
            XFlush(display);
        }
    }
    x11_trap_end(&trap);
    editor_link_pump(link);
}

void editor_window_resize(Display* display, editor_link* link, int64_t width, int64_t height)
{
    if (width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF)
        return;
    x11_error_trap trap;
    x11_trap_begin(&trap, display);
    XResizeWindow(display, editor_link_container(link), (unsigned)width, (unsigned)height);
    x11_trap_end(&trap);
}

void editor_window_size(Display* display, const editor_link* link, int* width, int* height)
{
    *width = 0;
    *height = 0;
    x11_error_trap trap;
    x11_trap_begin(&trap, display);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, editor_link_container(link), &attributes)) {
        *width = attributes.width;
        *height = attributes.height;
    }
    x11_trap_end(&trap);
}
