#include "editor/x11_error_trap.h"

// All of the editor's X11 calls run on the host's user-interface thread, one trap at
// a time; these hold the innermost trap.
static Display* trapped_display;
static XErrorHandler outer_handler;
static int trapped_errors;

static int trap_handler(Display* display, XErrorEvent* event)
{
    if (display == trapped_display) {
        trapped_errors++;
        return 0;
    }
    return outer_handler ? outer_handler(display, event) : 0;
}

void x11_trap_begin(x11_error_trap* trap, Display* display)
{
    trap->display = trapped_display;
    trap->errors_before = trapped_errors;
    trap->previous = XSetErrorHandler(trap_handler);
    if (trap->previous != trap_handler)
        outer_handler = trap->previous;
    trapped_display = display;
}

int x11_trap_end(x11_error_trap* trap)
{
    int caught = trapped_errors - trap->errors_before;
    trapped_display = trap->display;
    XSetErrorHandler(trap->previous);
    return caught;
}
