#include <sched.h>

#include <bit>
#include <cstdlib>
#include <cstring>

#include "component/component.h"
#include "controller/param_table.h"
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
            __builtin_ia32_pause();
        else
            sched_yield();
    }
}

static void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The plug-in version the factory reports, 1.2.1.1.
static constexpr int32_t version_parts[4] = {1, 2, 1, 1};

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

    // The maps borrow these bytes; they live until the archive is destroyed.
    uint8_t rate_bytes[4], version_bytes[4][4], value_bytes[param_count][4];
    put_le32(rate_bytes, std::bit_cast<uint32_t>(rate));
    for (int i = 0; i < 4; i++) put_le32(version_bytes[i], static_cast<uint32_t>(version_parts[i]));
    for (int i = 0; i < param_count; i++) put_le32(value_bytes[i], std::bit_cast<uint32_t>(saved[i]));

    state_archive archive;
    if (state_archive_init(&archive) != 0) return kResultFalse;
    struct {
        const char* key;
        const void* value;
        uint64_t len;
    } const info[] = {
        {"id", "tresk-vellum-grist-saturator", 28},
        {"version_major", version_bytes[0], 4},
        {"version_minor", version_bytes[1], 4},
        {"version_revision", version_bytes[2], 4},
        {"version_build", version_bytes[3], 4},
        {"format", "vst3", 4},
        {"platform", "linux", 5},
        {"sample_rate", rate_bytes, 4},
    };
    bool ok = true;
    for (const auto& e : info)
        ok = ok && kv_map_insert(archive.info, e.key, strlen(e.key), e.value, e.len) == 0;
    for (int i = 0; ok && i < param_count; i++)
        ok = kv_map_insert(archive.parameters, param_state_keys[i], strlen(param_state_keys[i]),
                           value_bytes[i], 4) == 0;
    size_t size = 0;
    uint8_t* chunk = ok ? state_archive_write(&archive, &size) : nullptr;
    ok = chunk && write_stream_fully(stream, chunk, size) == 0;
    free(chunk);
    state_archive_destroy(&archive);
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
