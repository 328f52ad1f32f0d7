#include "screen_capture.h"

#include <X11/Xutil.h>
#include <cairo.h>
#include <cstring>

capture capture_window(Display* d, Window w)
{
    capture c;
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(d, w, &attrs))
        return c;
    XImage* img = XGetImage(d, w, 0, 0, (unsigned)attrs.width, (unsigned)attrs.height, AllPlanes,
                            ZPixmap);
    if (!img)
        return c;
    c.width = attrs.width;
    c.height = attrs.height;
    c.pixels.resize((size_t)c.width * c.height);
    for (int y = 0; y < c.height; y++)
        for (int x = 0; x < c.width; x++)
            c.pixels[(size_t)y * c.width + x] = (uint32_t)XGetPixel(img, x, y) & 0xFFFFFF;
    XDestroyImage(img);
    return c;
}

capture capture_when_still(Display* d, Window w, int tries, const std::function<void()>& wait)
{
    capture last = capture_window(d, w);
    for (int i = 0; i < tries; i++) {
        wait();
        capture now = capture_window(d, w);
        if (now.pixels == last.pixels)
            return now;
        last = now;
    }
    return last;
}

long capture_diff(const capture& a, const capture& b, int x, int y, int w, int h)
{
    if (a.width != b.width || a.height != b.height)
        return -1;
    long n = 0;
    for (int j = y; j < y + h && j < a.height; j++)
        for (int i = x; i < x + w && i < a.width; i++)
            n += a.at(i, j) != b.at(i, j);
    return n;
}

bool capture_write_png(const capture& c, const std::string& path)
{
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, c.width, c.height);
    cairo_surface_flush(s);
    unsigned char* data = cairo_image_surface_get_data(s);
    int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < c.height; y++)
        memcpy(data + (size_t)y * stride, &c.pixels[(size_t)y * c.width], (size_t)c.width * 4);
    cairo_surface_mark_dirty(s);
    bool ok = cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(s);
    return ok;
}
