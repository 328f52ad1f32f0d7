// The edit command's side of the editor: one object that is both the view's
// IPlugFrame and the host's IRunLoop, with its timers and descriptor handlers driven
// by the command's own poll loop.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <vector>

#include "vst3/vst3_interfaces.h"

struct edit_timer {
    vst3::ITimerHandler* handler;
    double interval;  // seconds
    double due;       // monotonic seconds
};

struct edit_fd_handler {
    vst3::IEventHandler* handler;
    int fd;
};

struct edit_frame {
    vst3::IPlugFrame frame_iface;
    vst3::IRunLoop run_loop_iface;
    int32_t ref_count;
    Display* display;
    Window window;
    std::vector<edit_timer> timers;
    std::vector<edit_fd_handler> fd_handlers;
};

void edit_frame_init(edit_frame* frame, Display* display, Window window);

// Monotonic time in seconds.
double edit_now();

// Runs every timer that is due; returns the seconds until the next one is (1 s when
// none is registered). Handlers may register and unregister timers meanwhile.
double edit_frame_run_timers(edit_frame* frame, double now);

// Calls the descriptor handlers whose descriptors `ready` reports readable.
void edit_frame_run_fd_handlers(edit_frame* frame, const std::vector<int>& ready);
