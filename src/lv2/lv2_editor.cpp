// The LV2 edition's editor (ui:X11UI): the same `middleman` through the same editor
// link as the VST 3 view, embedded into the window the host gives as ui:parent. The
// host's idle calls drive the tick, port_event values reach the editor as "s"
// messages, and the editor's gestures go back through write_function, framed by
// ui:touch when the host offers it.
#include <X11/Xlib.h>
#include <lv2/core/lv2.h>
#include <lv2/ui/ui.h>

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "controller/param_table.h"
#include "editor/editor_link.h"
#include "editor/deadline.h"
#include "editor/editor_window.h"
#include "lv2/lv2_editor.h"
#include "lv2/lv2_uris.h"

namespace {

// The host's idle calls come at its own pace; a tick runs when at least this long has
// passed since the last one, so hosts idling at up to 60 Hz tick on every call and
// faster ones near the editor's 20 ms rhythm.
constexpr int64_t min_tick_ns = 15'000'000;

struct lv2_editor {
    LV2UI_Write_Function write;
    LV2UI_Controller controller;
    const LV2UI_Touch* touch;
    editor_link* link;
    // The editor's own X server connection for the size following and size requests.
    Display* display;
    // The bundle directory (where `middleman` sits) and its resources directory.
    char* bundle_dir;
    char* resources_dir;
    int64_t last_tick_ns;
};

enum edit_phase { edit_begin, edit_set, edit_end };

// The LV2 counterpart of the VST 3 view's beginEdit / performEdit / endEdit: the
// value brought into range as there, written to the control port, with ui:touch
// around a gesture when the host offers it.
void apply_edit(void* context, uint32_t index, float value, edit_phase phase)
{
    lv2_editor* ui = (lv2_editor*)context;
    if (index >= (uint32_t)param_count)
        return;
    const float plain = (float)param_clamp_plain((int)index, (double)value);
    if (phase == edit_begin && ui->touch)
        ui->touch->touch(ui->touch->handle, index, true);
    ui->write(ui->controller, index, sizeof plain, 0, &plain);
    if (phase == edit_end && ui->touch)
        ui->touch->touch(ui->touch->handle, index, false);
}

void on_param_begin(void* context, uint32_t index, float value) { apply_edit(context, index, value, edit_begin); }
void on_param_set(void* context, uint32_t index, float value) { apply_edit(context, index, value, edit_set); }
void on_param_end(void* context, uint32_t index, float value) { apply_edit(context, index, value, edit_end); }

const char* bundle_dir_of(void* context) { return ((lv2_editor*)context)->bundle_dir; }
const char* resources_dir_of(void* context) { return ((lv2_editor*)context)->resources_dir; }

const void* feature_data(const LV2_Feature* const* features, const char* uri)
{
    for (int i = 0; features && features[i]; i++)
        if (strcmp(features[i]->URI, uri) == 0)
            return features[i]->data;
    return nullptr;
}

// `path` without trailing slashes, followed by `tail`; null when memory runs out.
char* join_path(const char* path, const char* tail)
{
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/')
        length--;
    size_t tail_length = strlen(tail);
    char* joined = (char*)malloc(length + tail_length + 1);
    if (!joined)
        return nullptr;
    memcpy(joined, path, length);
    memcpy(joined + length, tail, tail_length + 1);
    return joined;
}

void destroy(lv2_editor* ui)
{
    // Ends `middleman` and removes its window, sockets and directory.
    editor_window_close(ui->link, ui->display);
    free(ui->bundle_dir);
    free(ui->resources_dir);
    free(ui);
}

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char* plugin_uri, const char* bundle_path,
                         LV2UI_Write_Function write_function, LV2UI_Controller controller,
                         LV2UI_Widget* widget, const LV2_Feature* const* features)
{
    if (!plugin_uri || strcmp(plugin_uri, VGS_LV2_URI) != 0 || !bundle_path || !write_function || !widget)
        return nullptr;
    // The editor lives inside the host's window; without one there is nowhere to embed.
    const void* parent = feature_data(features, LV2_UI__parent);
    if (!parent)
        return nullptr;
    lv2_editor* ui = (lv2_editor*)calloc(1, sizeof *ui);
    if (!ui)
        return nullptr;
    ui->write = write_function;
    ui->controller = controller;
    ui->touch = (const LV2UI_Touch*)feature_data(features, LV2_UI__touch);
    ui->bundle_dir = join_path(bundle_path, "");
    ui->resources_dir = join_path(bundle_path, "/resources");
    if (!ui->bundle_dir || !ui->resources_dir) {
        destroy(ui);
        return nullptr;
    }

    editor_link_config config = {
        .context = ui,
        .get_module_dir = bundle_dir_of,
        .get_resources_dir = resources_dir_of,
        .on_param_begin = on_param_begin,
        .on_param_set = on_param_set,
        .on_param_end = on_param_end,
    };
    if (!editor_window_open((unsigned long)(uintptr_t)parent, &config, &ui->link, &ui->display)) {
        destroy(ui);
        return nullptr;
    }
    // The defaults until the host's port_event calls bring the ports' values.
    for (int i = 0; i < param_count; i++)
        editor_link_send_param(ui->link, (uint32_t)i, (float)param_range_table[i].default_plain);

    const LV2UI_Resize* host_resize = (const LV2UI_Resize*)feature_data(features, LV2_UI__resize);
    if (host_resize)
        host_resize->ui_resize(host_resize->handle, (int)editor_default_width, (int)editor_default_height);
    *widget = (LV2UI_Widget)(uintptr_t)editor_link_container(ui->link);
    ui->last_tick_ns = monotonic_ns();
    return ui;
}

void cleanup(LV2UI_Handle handle) { destroy((lv2_editor*)handle); }

void port_event(LV2UI_Handle handle, uint32_t port_index, uint32_t buffer_size, uint32_t format, const void* buffer)
{
    lv2_editor* ui = (lv2_editor*)handle;
    if (format != 0 || buffer_size != sizeof(float) || !buffer || port_index >= (uint32_t)param_count)
        return;
    float value;
    memcpy(&value, buffer, sizeof value);
    // A NaN has no place in the range; the editor keeps the last good value.
    if (value != value)
        return;
    editor_link_send_param(ui->link, port_index, (float)param_clamp_plain((int)port_index, (double)value));
}

int idle(LV2UI_Handle handle)
{
    lv2_editor* ui = (lv2_editor*)handle;
    const int64_t now = monotonic_ns();
    if (now - ui->last_tick_ns >= min_tick_ns) {
        ui->last_tick_ns = now;
        editor_window_tick(ui->display, ui->link);
    }
    return 0;
}

// The host tells the editor its new size; the next ticks carry it to `middleman`.
int resize(LV2UI_Feature_Handle handle, int width, int height)
{
    lv2_editor* ui = (lv2_editor*)handle;
    editor_window_resize(ui->display, ui->link, width, height);
    XFlush(ui->display);
    return 0;
}

const LV2UI_Idle_Interface idle_interface = {idle};
const LV2UI_Resize resize_interface = {nullptr, resize};

const void* extension_data(const char* uri)
{
    if (strcmp(uri, LV2_UI__idleInterface) == 0)
        return &idle_interface;
    if (strcmp(uri, LV2_UI__resize) == 0)
        return &resize_interface;
    return nullptr;
}

const LV2UI_Descriptor editor_descriptor = {VGS_LV2_UI_URI, instantiate, cleanup, port_event, extension_data};

}  // namespace

const LV2UI_Descriptor* lv2_editor_descriptor(uint32_t index) { return index == 0 ? &editor_descriptor : nullptr; }

extern "C" __attribute__((visibility("default"))) const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index)
{
    return lv2_editor_descriptor(index);
}
