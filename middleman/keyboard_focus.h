// The X keyboard focus while the user types into the editor. The editor's window sits
// inside the host's window, where the host keeps the focus and reads every key as its
// own shortcut; nothing in the plug-in's interfaces carries keys to the editor. So
// while a text field is open the editor holds the focus itself, and when editing ends
// it gives the focus back to the window that had it.
#pragma once

#include <X11/Xlib.h>

struct keyboard_focus {
    bool held;
    Window previous; // the focus before we took it: a window, None or PointerRoot
    int previous_revert;
};

// Takes the focus for `window` (viewable) and remembers who had it. The request is
// stamped with the server's current time, later than the click that opened the field,
// so that a window manager's or host's focus change for that same click, arriving
// after ours, is ignored by the server instead of taking the focus back.
void focus_take(keyboard_focus* f, Display* display, Window window);

// Gives the focus back to where it was, if `window` still has it (someone who took it
// from us meanwhile keeps it). A previous window that is no longer viewable cannot take
// it: the focus then follows the pointer.
void focus_give_back(keyboard_focus* f, Display* display, Window window);

// The window manager or the host moved the focus away from us: nothing to give back.
void focus_lost(keyboard_focus* f);
