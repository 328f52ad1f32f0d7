#include "edit_frame.h"

#include <time.h>

#include <algorithm>

using namespace vst3;

static edit_frame* from_frame(IPlugFrame* self) { return reinterpret_cast<edit_frame*>(self); }
static edit_frame* from_run_loop(IRunLoop* self)
{
    return reinterpret_cast<edit_frame*>(reinterpret_cast<char*>(self) - offsetof(edit_frame, run_loop_iface));
}

// The frame lives in the command's storage: its count is kept honest but frees nothing.
static tresult query(edit_frame* frame, const TUID iid, void** obj)
{
    if (obj == nullptr)
        return kInvalidArgument;
    if (iid != nullptr && (iid_equal(iid, FUnknown_iid) || iid_equal(iid, IPlugFrame_iid))) {
        ++frame->ref_count;
        *obj = &frame->frame_iface;
        return kResultOk;
    }
    if (iid != nullptr && iid_equal(iid, IRunLoop_iid)) {
        ++frame->ref_count;
        *obj = &frame->run_loop_iface;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

// The view asks for a size: the window takes it, then the view is told, as a DAW does.
static tresult resize_view(IPlugFrame* self, IPlugView* view, ViewRect* rect)
{
    edit_frame* frame = from_frame(self);
    if (view == nullptr || rect == nullptr || rect->right <= rect->left || rect->bottom <= rect->top)
        return kInvalidArgument;
    XResizeWindow(frame->display, frame->window, (unsigned)(rect->right - rect->left),
                  (unsigned)(rect->bottom - rect->top));
    XFlush(frame->display);
    return view->vtbl->onSize(view, rect);
}

static const IPlugFrameVtbl frame_vtbl = {
    .queryInterface = [](IPlugFrame* self, const TUID iid, void** obj) { return query(from_frame(self), iid, obj); },
    .addRef = [](IPlugFrame* self) -> uint32 { return (uint32) ++from_frame(self)->ref_count; },
    .release = [](IPlugFrame* self) -> uint32 { return (uint32) --from_frame(self)->ref_count; },
    .resizeView = resize_view,
};

static tresult register_event_handler(IRunLoop* self, IEventHandler* handler, FileDescriptor fd)
{
    if (handler == nullptr || fd < 0)
        return kInvalidArgument;
    from_run_loop(self)->fd_handlers.push_back({handler, fd});
    return kResultOk;
}

static tresult unregister_event_handler(IRunLoop* self, IEventHandler* handler)
{
    std::vector<edit_fd_handler>& list = from_run_loop(self)->fd_handlers;
    size_t before = list.size();
    std::erase_if(list, [&](const edit_fd_handler& h) { return h.handler == handler; });
    return list.size() != before ? kResultOk : kResultFalse;
}

static tresult register_timer(IRunLoop* self, ITimerHandler* handler, TimerInterval milliseconds)
{
    if (handler == nullptr || milliseconds == 0)
        return kInvalidArgument;
    double interval = (double)milliseconds / 1000.0;
    from_run_loop(self)->timers.push_back({handler, interval, edit_now() + interval});
    return kResultOk;
}

static tresult unregister_timer(IRunLoop* self, ITimerHandler* handler)
{
    std::vector<edit_timer>& list = from_run_loop(self)->timers;
    size_t before = list.size();
    std::erase_if(list, [&](const edit_timer& t) { return t.handler == handler; });
    return list.size() != before ? kResultOk : kResultFalse;
}

static const IRunLoopVtbl run_loop_vtbl = {
    .queryInterface = [](IRunLoop* self, const TUID iid, void** obj) { return query(from_run_loop(self), iid, obj); },
    .addRef = [](IRunLoop* self) -> uint32 { return (uint32) ++from_run_loop(self)->ref_count; },
    .release = [](IRunLoop* self) -> uint32 { return (uint32) --from_run_loop(self)->ref_count; },
    .registerEventHandler = register_event_handler,
    .unregisterEventHandler = unregister_event_handler,
    .registerTimer = register_timer,
    .unregisterTimer = unregister_timer,
};

void edit_frame_init(edit_frame* frame, Display* display, Window window)
{
    frame->frame_iface.vtbl = &frame_vtbl;
    frame->run_loop_iface.vtbl = &run_loop_vtbl;
    frame->ref_count = 1;
    frame->display = display;
    frame->window = window;
    frame->timers.clear();
    frame->fd_handlers.clear();
}

double edit_now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

double edit_frame_run_timers(edit_frame* frame, double now)
{
    // Handlers may change the list: take the due ones first, and check each is still
    // registered right before calling it.
    std::vector<ITimerHandler*> due;
    for (edit_timer& t : frame->timers) {
        if (t.due <= now) {
            due.push_back(t.handler);
            t.due += t.interval;
            if (t.due <= now)
                t.due = now + t.interval;  // fell behind: no burst of catch-up calls
        }
    }
    for (ITimerHandler* handler : due) {
        bool registered = std::any_of(frame->timers.begin(), frame->timers.end(),
                                      [&](const edit_timer& t) { return t.handler == handler; });
        if (registered)
            handler->vtbl->onTimer(handler);
    }
    double wait = 1.0;
    for (const edit_timer& t : frame->timers)
        wait = std::min(wait, t.due - now);
    return std::max(wait, 0.0);
}

void edit_frame_run_fd_handlers(edit_frame* frame, const std::vector<int>& ready)
{
    std::vector<edit_fd_handler> snapshot = frame->fd_handlers;
    for (const edit_fd_handler& h : snapshot) {
        if (std::find(ready.begin(), ready.end(), h.fd) == ready.end())
            continue;
        bool registered = std::any_of(frame->fd_handlers.begin(), frame->fd_handlers.end(),
                                      [&](const edit_fd_handler& r) { return r.handler == h.handler && r.fd == h.fd; });
        if (registered)
            h.handler->vtbl->onFDIsSet(h.handler, h.fd);
    }
}
