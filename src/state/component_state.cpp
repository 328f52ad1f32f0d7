#include <sched.h>

#include <cstdlib>
#include <cstring>

#include "component/component.h"
#include "controller/param_table.h"
#include "dsp/arch.h"
#include "state/state_archive.h"
#include "state/state_chunk.h"
#include "state/stream_io.h"

using namespace vst3;

double state_value_to_plain(int index, float value) {
    return param_clamp_plain(index, static_cast<double>(value));
}

// The user-interface side's way into param_lock: spin briefly, then give the processor
// away between attempts. The audio thread holds the lock only for one short pass.
static void param_lock_take(component* c) {
    for (int failures = 1; !param_lock_try(c); failures++) {
        if (failures <= 100)
            arch_spin_pause();
        else
            sched_yield();
    }
}

tresult component_get_state(component* c, IBStream* stream) {
    if (!stream) return kResultFalse;
    float rate = c->dsp.activation_rate;
    float saved[param_count];
    // What the next process call will use: values loaded by setState but not yet taken
    // over by the audio thread, else those the DSP runs. A host that loads a project and
    // saves it again without running audio keeps what it loaded.
    param_lock_take(c);
    c->audio_synced = 0;
    memcpy(saved, c->state_loaded ? c->applied_values : c->dsp.dsp_values, sizeof saved);
    param_lock_release(c);

    size_t size = 0;
    uint8_t* chunk = state_chunk_write(saved, rate, &size);
    bool ok = chunk && write_stream_fully(stream, chunk, size) == 0;
    free(chunk);
    return ok ? kResultOk : kResultFalse;
}

static void component_lock(void* context) {
    auto* c = static_cast<component*>(context);
    param_lock_take(c);
    // Makes the audio thread's next locked pass look at what it skipped meanwhile.
    c->audio_synced = 0;
}

static void component_unlock(void* context) { param_lock_release(static_cast<component*>(context)); }

// Staged only: the audio thread hands these to the DSP at its next locked pass.
static void component_set_value(void* context, int index, float value) {
    auto* c = static_cast<component*>(context);
    c->applied_values[index] = static_cast<float>(state_value_to_plain(index, value));
    c->state_loaded = 1;
}

tresult component_set_state(component* c, IBStream* stream) {
    if (!stream) return kResultFalse;
    uint8_t* chunk = nullptr;
    size_t size = 0;
    if (read_stream_fully(stream, &chunk, &size) != 0) return kResultFalse;
    const state_sink sink = {
        .context = c, .lock = component_lock, .unlock = component_unlock, .set_value = component_set_value};
    int loaded = load_state(&sink, chunk, size);
    free(chunk);
    return loaded == 0 ? kResultOk : kResultFalse;
}
