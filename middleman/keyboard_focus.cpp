#include "keyboard_focus.h"

void focus_take(keyboard_focus* f, Display* display, Window window)
{
    if (!f->held) {
        Window previous = None;
        int revert = RevertToParent;
        XGetInputFocus(display, &previous, &revert);
        if (previous == window)
            previous = None; // already ours: there is nobody to give it back to
        f->previous = previous;
        f->previous_revert = revert;
    }
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    f->held = true;
}

static bool viewable(Display* display, Window window)
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

void focus_give_back(keyboard_focus* f, Display* display, Window window)
{
    if (!f->held)
        return;
    f->held = false;
    Window now = None;
    int revert;
    XGetInputFocus(display, &now, &revert);
    if (now != window)
        return;
    Window to = f->previous;
    if (to == None || (to != PointerRoot && !viewable(display, to)))
        XSetInputFocus(display, PointerRoot, RevertToPointerRoot, CurrentTime);
    else
        XSetInputFocus(display, to, f->previous_revert, CurrentTime);
}

void focus_lost(keyboard_focus* f) { f->held = false; }
