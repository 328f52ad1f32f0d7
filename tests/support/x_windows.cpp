#include "x_windows.h"

Window mapped_window(Display* display, int width, int height)
{
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, width, height, 0, 0, 0);
    XMapWindow(display, window);
    XSync(display, False);
    return window;
}

unsigned child_count(Display* display, Window window)
{
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display, window, &root, &parent, &children, &count);
    if (children)
        XFree(children);
    return count;
}

Window only_child(Display* display, Window window)
{
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    Window child = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) && count == 1)
        child = children[0];
    if (children)
        XFree(children);
    return child;
}

Window parent_of(Display* display, Window window)
{
    Window root, parent;
    Window* children = nullptr;
    unsigned count;
    XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    Status ok = XQueryTree(display, window, &root, &parent, &children, &count);
    XSetErrorHandler(previous);
    if (children)
        XFree(children);
    return ok ? parent : 0;
}

std::pair<int, int> size_of(Display* display, Window window)
{
    XWindowAttributes attributes;
    XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    Status ok = XGetWindowAttributes(display, window, &attributes);
    XSetErrorHandler(previous);
    return ok ? std::make_pair(attributes.width, attributes.height) : std::make_pair(0, 0);
}

void close_window(Display* display, Window window)
{
    XEvent close = {};
    close.xclient.type = ClientMessage;
    close.xclient.window = window;
    close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSendEvent(display, window, False, NoEventMask, &close);
    XFlush(display);
}
