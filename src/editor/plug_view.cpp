#include "editor/plug_view.h"

#include <X11/Xlib.h>
#include <stdlib.h>
#include <string.h>

#include "controller/edit_controller.h"
#include "controller/param_table.h"
#include "editor/editor_link.h"
#include "editor/editor_window.h"
#include "module/module_entry.h"
#include "news/news_messages.h"

using namespace vst3;

namespace {

constexpr int32 default_width = (int32)editor_default_width;
constexpr int32 default_height = (int32)editor_default_height;
constexpr TimerInterval tick_ms = 20;

// The timer handler registered with the host's run loop. It lives inside its view, and
// its count holds one reference for the view itself besides those the host takes: a run
// loop may give its reference back after the view's last release, so the memory goes
// only when both counts have reached zero.
struct view_timer {
    const ITimerHandlerVtbl* vtbl;
    int32 ref_count;
    void (*callback)(void* context);
    void* context;
};

}  // namespace

struct plug_view {
    IPlugView iface;
    int32 ref_count;
    // Borrowed: as last given to setFrame.
    IPlugFrame* frame;
    // Present exactly while attached.
    editor_link* link;
    // Borrowed; null once the controller has gone.
    edit_controller* controller;
    // Borrowed: obtained from the frame by setFrame.
    IRunLoop* run_loop;
    // The run loop the timer is registered with while attached. A later setFrame may
    // change run_loop; the timer must still be taken back from the loop that has it,
    // or that loop would go on calling a freed view.
    IRunLoop* timer_loop;
    view_timer timer;
    // The view's own X server connection while attached.
    Display* display;
};

namespace {

plug_view* view_of(IPlugView* self) { return reinterpret_cast<plug_view*>(self); }

bool same_iid(const TUID a, const TUID b) { return memcmp(a, b, sizeof(TUID)) == 0; }

// ---- parameter edits from the editor ----

enum edit_phase { edit_begin, edit_set, edit_end };

void apply_edit(void* context, uint32_t index, float value, edit_phase phase)
{
    plug_view* view = (plug_view*)context;
    edit_controller* controller = view->controller;
    if (!controller || index >= (uint32_t)param_count)
        return;
    double plain = param_clamp_plain((int)index, (double)value);
    controller->controller_values[index] = plain;
    IComponentHandler* handler = controller->component_handler;
    if (!handler)
        return;
    ParamID id = param_info_table[index].id;
    double normalized = param_to_normalized((int)index, plain);
    if (phase == edit_begin)
        handler->vtbl->beginEdit(handler, id);
    handler->vtbl->performEdit(handler, id, normalized);
    if (phase == edit_end)
        handler->vtbl->endEdit(handler, id);
}

void on_param_begin(void* context, uint32_t index, float value) { apply_edit(context, index, value, edit_begin); }
void on_param_set(void* context, uint32_t index, float value) { apply_edit(context, index, value, edit_set); }
void on_param_end(void* context, uint32_t index, float value) { apply_edit(context, index, value, edit_end); }

const char* module_dir_of(void*) { return get_module_dir(); }
const char* resources_dir_of(void*) { return get_resources_dir(); }

// ---- the timer ----

void view_tick(void* context)
{
    plug_view* view = (plug_view*)context;
    if (!view->link)
        return;
    editor_window_tick(view->display, view->link);
}

tresult timer_query(ITimerHandler* self, const TUID iid, void** obj)
{
    if (!obj)
        return kInvalidArgument;
    if (same_iid(iid, FUnknown_iid) || same_iid(iid, ITimerHandler_iid)) {
        self->vtbl->addRef(self);
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

uint32 timer_add_ref(ITimerHandler* self) { return (uint32) ++reinterpret_cast<view_timer*>(self)->ref_count; }

// The view's own reference goes when the view is destroyed, so zero here means the view
// is gone too.
uint32 timer_release(ITimerHandler* self)
{
    view_timer* timer = reinterpret_cast<view_timer*>(self);
    int32 count = --timer->ref_count;
    if (count == 0)
        free(timer->context);
    return (uint32)count;
}

void timer_on_timer(ITimerHandler* self)
{
    view_timer* timer = reinterpret_cast<view_timer*>(self);
    timer->callback(timer->context);
}

constexpr ITimerHandlerVtbl timer_vtbl = {
    .queryInterface = timer_query,
    .addRef = timer_add_ref,
    .release = timer_release,
    .onTimer = timer_on_timer,
};

ITimerHandler* timer_iface(plug_view* view) { return reinterpret_cast<ITimerHandler*>(&view->timer); }

// ---- attaching ----

void detach(plug_view* view)
{
    if (!view->link)
        return;
    if (view->timer_loop)
        view->timer_loop->vtbl->unregisterTimer(view->timer_loop, timer_iface(view));
    view->timer_loop = nullptr;
    editor_window_close(view->link, view->display);
    view->display = nullptr;
    view->link = nullptr;
}

void destroy(plug_view* view)
{
    detach(view);
    edit_controller* controller = view->controller;
    if (controller) {
        for (uint64_t slot = 0; slot < controller->view_count; slot++)
            if (controller->view_list[slot] == view)
                controller->view_list[slot] = nullptr;
    }
    view->controller = nullptr;
    // Frees the view unless a run loop still holds its timer.
    timer_release(timer_iface(view));
}

bool is_x11_type(FIDString type) { return type && strcmp(type, kPlatformTypeX11EmbedWindowID) == 0; }

// ---- IPlugView ----

tresult view_query(IPlugView* self, const TUID iid, void** obj)
{
    if (!obj)
        return kInvalidArgument;
    if (same_iid(iid, FUnknown_iid) || same_iid(iid, IPlugView_iid)) {
        view_of(self)->ref_count++;
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

uint32 view_add_ref(IPlugView* self) { return (uint32) ++view_of(self)->ref_count; }

uint32 view_release(IPlugView* self)
{
    plug_view* view = view_of(self);
    int32 count = --view->ref_count;
    if (count == 0)
        destroy(view);
    return (uint32)count;
}

tresult view_is_platform_type_supported(IPlugView*, FIDString type)
{
    return is_x11_type(type) ? kResultTrue : kResultFalse;
}

tresult view_attached(IPlugView* self, void* parent, FIDString type)
{
    plug_view* view = view_of(self);
    if (!is_x11_type(type) || view->link)
        return kInvalidArgument;
    if (!view->run_loop)
        return kResultFalse;

    editor_link_config config = {
        .context = view,
        .get_module_dir = module_dir_of,
        .get_resources_dir = resources_dir_of,
        .on_param_begin = on_param_begin,
        .on_param_set = on_param_set,
        .on_param_end = on_param_end,
    };
    if (!editor_window_open((unsigned long)(uintptr_t)parent, &config, &view->link, &view->display))
        return kResultFalse;
    if (view->run_loop->vtbl->registerTimer(view->run_loop, timer_iface(view), tick_ms) != kResultOk) {
        editor_window_close(view->link, view->display);
        view->link = nullptr;
        view->display = nullptr;
        return kResultFalse;
    }
    view->timer_loop = view->run_loop;
    for (int i = 0; i < param_count; i++) {
        double value = view->controller ? view->controller->controller_values[i]
                                         : param_range_table[i].default_plain;
        editor_link_send_param(view->link, (uint32_t)i, (float)value);
    }
    return kResultOk;
}

tresult view_removed(IPlugView* self)
{
    detach(view_of(self));
    return kResultOk;
}

tresult view_on_wheel(IPlugView*, float) { return kResultFalse; }
tresult view_on_key_down(IPlugView*, char16, int16, int16) { return kResultFalse; }
tresult view_on_key_up(IPlugView*, char16, int16, int16) { return kResultFalse; }

tresult view_get_size(IPlugView* self, ViewRect* rect)
{
    plug_view* view = view_of(self);
    if (!rect)
        return kInvalidArgument;
    *rect = ViewRect{0, 0, 0, 0};
    if (view->link) {
        int width = 0, height = 0;
        editor_window_size(view->display, view->link, &width, &height);
        rect->right = width;
        rect->bottom = height;
        if (rect->right > 0 && rect->bottom > 0)
            return kResultOk;
    }
    *rect = ViewRect{0, 0, default_width, default_height};
    return kResultOk;
}

tresult view_on_size(IPlugView* self, ViewRect* rect)
{
    plug_view* view = view_of(self);
    if (!view->link)
        return kResultFalse;
    if (!rect)
        return kInvalidArgument;
    editor_window_resize(view->display, view->link, (int64_t)rect->right - rect->left,
                         (int64_t)rect->bottom - rect->top);
    return kResultOk;
}

tresult view_on_focus(IPlugView*, TBool) { return kResultFalse; }

tresult view_set_frame(IPlugView* self, IPlugFrame* frame)
{
    plug_view* view = view_of(self);
    view->frame = frame;
    if (!frame)
        return kResultOk;
    IRunLoop* run_loop = nullptr;
    tresult result = frame->vtbl->queryInterface(frame, IRunLoop_iid, (void**)&run_loop);
    view->run_loop = result == kResultOk ? run_loop : nullptr;
    if (result != kResultOk || !run_loop)
        return kResultFalse;
    // The run loop is borrowed: give back the reference the query added, to the
    // interface it was added to (a host may serve the run loop from another object).
    run_loop->vtbl->release(run_loop);
    return kResultOk;
}

tresult view_can_resize(IPlugView*) { return kResultTrue; }
tresult view_check_size_constraint(IPlugView*, ViewRect*) { return kResultTrue; }

constexpr IPlugViewVtbl view_vtbl = {
    .queryInterface = view_query,
    .addRef = view_add_ref,
    .release = view_release,
    .isPlatformTypeSupported = view_is_platform_type_supported,
    .attached = view_attached,
    .removed = view_removed,
    .onWheel = view_on_wheel,
    .onKeyDown = view_on_key_down,
    .onKeyUp = view_on_key_up,
    .getSize = view_get_size,
    .onSize = view_on_size,
    .onFocus = view_on_focus,
    .setFrame = view_set_frame,
    .canResize = view_can_resize,
    .checkSizeConstraint = view_check_size_constraint,
};

}  // namespace

IPlugView* plug_view_create(edit_controller* controller, const char* name)
{
    if (!controller || !name || strcmp(name, "editor") != 0)
        return nullptr;
    plug_view* view = (plug_view*)calloc(1, sizeof *view);
    if (!view)
        return nullptr;

    uint64_t slot = 0;
    while (slot < controller->view_count && controller->view_list[slot])
        slot++;
    if (slot == controller->view_count) {
        plug_view** grown =
            (plug_view**)realloc(controller->view_list, (controller->view_count + 1) * sizeof *grown);
        if (!grown) {
            free(view);
            return nullptr;
        }
        controller->view_list = grown;
        controller->view_count++;
    }
    controller->view_list[slot] = view;

    view->iface.vtbl = &view_vtbl;
    view->ref_count = 1;
    view->controller = controller;
    view->timer = view_timer{&timer_vtbl, 1, view_tick, view};
    return &view->iface;
}

editor_link* plug_view_link(const plug_view* view) { return view->link; }

void plug_view_forget_controller(plug_view* view)
{
    detach(view);
    view->controller = nullptr;
}
