#include "x_windows.h"

#include <X11/Xutil.h>

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

std::vector<Window> descendants(Display* display, Window top)
{
    std::vector<Window> out;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, top, &root, &parent, &children, &count))
        return out;
    std::vector<Window> level(children, children + count);
    if (children)
        XFree(children);
    for (Window w : level) {
        out.push_back(w);
        std::vector<Window> below = descendants(display, w);
        out.insert(out.end(), below.begin(), below.end());
    }
    return out;
}

std::string name_of(Display* display, Window window)
{
    char* name = nullptr;
    std::string out;
    if (XFetchName(display, window, &name) && name)
        out = name;
    if (name)
        XFree(name);
    return out;
}

std::string class_of(Display* display, Window window)
{
    XClassHint hint = {nullptr, nullptr};
    std::string out;
    if (XGetClassHint(display, window, &hint)) {
        if (hint.res_class)
            out = hint.res_class;
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return out;
}

std::pair<int, int> root_position(Display* display, Window window)
{
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    return {x, y};
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
