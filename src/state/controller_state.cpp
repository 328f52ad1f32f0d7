#include <cstdlib>

#include "controller/edit_controller.h"
#include "controller/param_table.h"
#include "editor/editor_link.h"
#include "editor/plug_view.h"
#include "state/state_archive.h"
#include "state/state_chunk.h"
#include "state/stream_io.h"

using namespace vst3;

// The controller runs on the user-interface thread alone: nothing to lock.
static void no_lock(void*) {}

static void controller_set_value(void* context, int index, float value) {
    static_cast<edit_controller*>(context)->controller_values[index] = state_value_to_plain(index, value);
}

tresult controller_set_component_state(edit_controller* ctl, IBStream* stream) {
    if (!stream) return kResultFalse;
    uint8_t* chunk = nullptr;
    size_t size = 0;
    if (read_stream_fully(stream, &chunk, &size) != 0) return kResultFalse;
    const state_sink sink = {
        .context = ctl, .lock = no_lock, .unlock = no_lock, .set_value = controller_set_value};
    int loaded = load_state(&sink, chunk, size);
    free(chunk);
    if (loaded != 0) return kResultFalse;

    // Every open editor shows the loaded values, parameter by parameter, each view in turn.
    for (int i = 0; i < param_count; i++) {
        for (uint64_t slot = 0; slot < ctl->view_count; slot++) {
            plug_view* view = ctl->view_list[slot];
            editor_link* link = view ? plug_view_link(view) : nullptr;
            if (link) editor_link_send_param(link, static_cast<uint32_t>(i), static_cast<float>(ctl->controller_values[i]));
        }
    }
    return kResultOk;
}
