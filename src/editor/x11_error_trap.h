// Keeps X11 protocol errors on the editor's own connections away from Xlib's default
// handler, which would end the host: a window that vanished (the host's, or one the
// editor program named) must cost a failed request, not the process.
#pragma once

#include <X11/Xlib.h>

struct x11_error_trap {
    XErrorHandler previous;
    Display* display;
    int errors_before;
};

// Installs the trap for `display` until x11_trap_end. Errors on other connections go
// on to the handler that was installed before.
void x11_trap_begin(x11_error_trap* trap, Display* display);

// Restores the previous handler. Returns the number of errors caught on the display.
int x11_trap_end(x11_error_trap* trap);
