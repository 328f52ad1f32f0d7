#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include "editor/editor_link_record.h"
#include "editor/x11_error_trap.h"

int container_create(editor_link* link, Window parent, uint32_t width, uint32_t height)
{
    Display* display = link->display;
    x11_error_trap trap;
    x11_trap_begin(&trap, display);
    Window window = XCreateSimpleWindow(display, parent, 0, 0, width, height, 0, 0, 0);
    XSelectInput(display, window, ExposureMask | StructureNotifyMask);

    XSizeHints* hints = XAllocSizeHints();
    if (!hints) {
        XDestroyWindow(display, window);
        XSync(display, False);
        x11_trap_end(&trap);
        return -1;
    }
    hints->flags = PMinSize;
    hints->min_width = 1;
    hints->min_height = 1;
    XSetWMNormalHints(display, window, hints);
    XFree(hints);

    // Hosts built on XEmbed show a client only once it declares itself mapped:
    // version 0, flag XEMBED_MAPPED.
    Atom xembed_info = XInternAtom(display, "_XEMBED_INFO", False);
    long info[2] = {0, 1};
    XChangeProperty(display, window, xembed_info, xembed_info, 32, PropModeReplace,
                    (const unsigned char*)info, 2);

    XMapWindow(display, window);
    XSync(display, False);
    x11_trap_end(&trap);
    link->container_window = window;
    link->embedded = 0;
    return 0;
}

// Sizes the embedded window to the container's current size.
static void fit_middleman_window(editor_link* link)
{
    XWindowAttributes attributes;
    if (XGetWindowAttributes(link->display, link->container_window, &attributes) &&
        attributes.width > 0 && attributes.height > 0)
        XResizeWindow(link->display, link->middleman_window, (unsigned)attributes.width,
                      (unsigned)attributes.height);
}

void container_embed(editor_link* link, Window window)
{
    Display* display = link->display;
    x11_error_trap trap;
    x11_trap_begin(&trap, display);
    link->embedded = 1;
    link->middleman_window = window;
    XUnmapWindow(display, window);
    XMapWindow(display, link->container_window);
    XSync(display, False);
    XReparentWindow(display, window, link->container_window, 0, 0);
    XMapWindow(display, window);
    // The program sees the reparent asynchronously; give it a moment before sizing.
    usleep(100000);
    XSync(display, False);
    fit_middleman_window(link);
    XSync(display, False);
    x11_trap_end(&trap);
}

void container_handle_events(editor_link* link)
{
    Display* display = link->display;
    x11_error_trap trap;
    x11_trap_begin(&trap, display);
    while (XEventsQueued(display, QueuedAfterFlush) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == ConfigureNotify) {
            if (link->embedded)
                fit_middleman_window(link);
        } else if (event.type == Expose) {
            XClearWindow(display, link->container_window);
        }
    }
    x11_trap_end(&trap);
}
