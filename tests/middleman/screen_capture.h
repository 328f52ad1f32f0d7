// Reading a window's pixels back from the X server for the tests.
#pragma once

#include <X11/Xlib.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct capture {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels; // 0x00RRGGBB, row by row
    uint32_t at(int x, int y) const { return pixels[(size_t)y * width + x]; }
};

// The window's contents as the server shows them; empty on failure.
capture capture_window(Display* display, Window window);
// The window's contents once they stop changing: captures `wait` apart until two
// agree, at most `tries` waits; the last capture when they never do.
capture capture_when_still(Display* display, Window window, int tries, const std::function<void()>& wait);
// Pixels that differ inside the rectangle.
long capture_diff(const capture& a, const capture& b, int x, int y, int w, int h);
bool capture_write_png(const capture& c, const std::string& path);
