// The LV2 edition of the audio component: the same audio-side record, the same
// parameter hand-over and the same state chunk as the VST 3 component, behind the
// LV2 descriptor. Control ports are plain values read at every run(); a port the host
// has moved since the last run() is handed over exactly as the VST 3 driver hands over
// a queue point at offset 0.
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <bit>
#include <cstdlib>
#include <cstring>

#include "component/component.h"
#include "controller/param_table.h"
#include "lv2/chunk_stream.h"
#include "lv2/lv2_plugin.h"
#include "lv2/lv2_uris.h"
#include "state/state_chunk.h"

static_assert(lv2_port_audio_in == (uint32_t)param_count, "parameter ports come first, in index order");

struct lv2_plugin {
    // The VST 3 component's audio side: DSP record, value arrays, param_lock and its
    // flags. Its interface pointers stay empty; nothing here is a VST 3 object.
    component core;
    const float* controls[param_count];
    const float* audio_in;
    float* audio_out;
    // The bits of each control port as the last run() read them: only a port the host
    // has moved since is a new value. A value restored from state therefore stays in
    // force until the host moves that port.
    uint32_t seen_bits[param_count];
    LV2_URID chunk_key;
    LV2_URID chunk_type;
};

// The signal path over one block, through the same block entry as the VST 3 driver. A
// run() longer than the DSP's count type goes in pieces.
static void run_dsp_block(overdrive_dsp* dsp, const float* in, float* out, uint32_t count) {
    constexpr uint32_t piece = 1u << 30;
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = count - done < piece ? count - done : piece;
        dsp_process_block(dsp, in + done, out + done, (int32_t)n);
        done += n;
    }
}

static LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
    // The DSP designs its filters for a positive, finite rate that a float holds.
    if (!(rate > 0.0) || !(rate <= 3.4e38)) return nullptr;
    auto* p = static_cast<lv2_plugin*>(std::calloc(1, sizeof(lv2_plugin)));
    if (p == nullptr) return nullptr;
    component_audio_init(&p->core);
    p->core.sample_rate = (float)rate;
    p->core.processing_enabled = 1;
    for (int i = 0; i < param_count; ++i)
        p->seen_bits[i] = std::bit_cast<uint32_t>(p->core.param_values[i]);
    // The state extension needs URIDs; without a map the plug-in still plays.
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
        if (std::strcmp(features[i]->URI, LV2_URID__map) == 0 && features[i]->data != nullptr) {
            const auto* map = static_cast<const LV2_URID_Map*>(features[i]->data);
            p->chunk_key = map->map(map->handle, VGS_LV2_STATE_CHUNK_URI);
            p->chunk_type = map->map(map->handle, LV2_ATOM__Chunk);
        }
    }
    return p;
}

static void connect_port(LV2_Handle instance, uint32_t port, void* data) {
    auto* p = static_cast<lv2_plugin*>(instance);
    if (port < (uint32_t)param_count)
        p->controls[port] = static_cast<const float*>(data);
    else if (port == lv2_port_audio_in)
        p->audio_in = static_cast<const float*>(data);
    else if (port == lv2_port_audio_out)
        p->audio_out = static_cast<float*>(data);
}

static void activate(LV2_Handle instance) {
    auto* p = static_cast<lv2_plugin*>(instance);
    dsp_activate(&p->core.dsp, p->core.sample_rate);
}

static void run(LV2_Handle instance, uint32_t sample_count) {
    auto* p = static_cast<lv2_plugin*>(instance);
    component* c = &p->core;
    const fp_control entry_csr = audio_fp_mode_enter();

    bool locked = param_pass_begin(c);
    for (int i = 0; i < param_count; ++i) {
        if (p->controls[i] == nullptr) continue;
        const float value = *p->controls[i];
        const uint32_t bits = std::bit_cast<uint32_t>(value);
        if (bits == p->seen_bits[i]) continue;
        p->seen_bits[i] = bits;
        // A NaN would reach the setter unclamped; such a value is dropped.
        if (value != value) continue;
        param_hand_over(c, i, param_clamp_plain(i, (double)value), locked);
    }
    param_pass_end(c, locked);

    if (p->audio_out != nullptr) {
        const float* in = p->audio_in;
        // A host must connect both audio ports; without an input the signal path runs on
        // silence, in place, as in the VST 3 driver.
        if (in == nullptr) {
            std::memset(p->audio_out, 0, sample_count * sizeof(float));
            in = p->audio_out;
        }
        run_dsp_block(&c->dsp, in, p->audio_out, sample_count);
    }

    // The end of the block has no host values (ports are read once per run), but a
    // state loaded meanwhile is taken over here, as the VST 3 driver does.
    locked = param_pass_begin(c);
    param_pass_end(c, locked);
    audio_fp_mode_leave(entry_csr);
}

static void deactivate(LV2_Handle) {}

static void cleanup(LV2_Handle instance) { std::free(instance); }

// ---- state: the component's chunk as one atom:Chunk property ----

static LV2_State_Status save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
                             const LV2_Feature* const*) {
    auto* p = static_cast<lv2_plugin*>(instance);
    if (p->chunk_key == 0) return LV2_STATE_ERR_NO_FEATURE;
    chunk_stream stream;
    chunk_stream_open_write(&stream);
    LV2_State_Status status = LV2_STATE_ERR_UNKNOWN;
    if (component_get_state(&p->core, &stream.iface) == vst3::kResultOk)
        status = store(handle, p->chunk_key, stream.bytes, stream.size, p->chunk_type,
                       LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    chunk_stream_free(&stream);
    return status;
}

static LV2_State_Status restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve,
                                LV2_State_Handle handle, uint32_t, const LV2_Feature* const*) {
    auto* p = static_cast<lv2_plugin*>(instance);
    if (p->chunk_key == 0) return LV2_STATE_ERR_NO_FEATURE;
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* bytes = retrieve(handle, p->chunk_key, &size, &type, &flags);
    if (bytes == nullptr) return LV2_STATE_ERR_NO_PROPERTY;
    if (type != p->chunk_type) return LV2_STATE_ERR_BAD_TYPE;
    chunk_stream stream;
    chunk_stream_open_read(&stream, static_cast<const uint8_t*>(bytes), size);
    // All or nothing, as for the VST 3 component: a bad chunk changes no value.
    return component_set_state(&p->core, &stream.iface) == vst3::kResultOk ? LV2_STATE_SUCCESS
                                                                            : LV2_STATE_ERR_UNKNOWN;
}

static const LV2_State_Interface state_interface = {save, restore};

static const void* extension_data(const char* uri) {
    return std::strcmp(uri, LV2_STATE__interface) == 0 ? &state_interface : nullptr;
}

static const LV2_Descriptor plugin_descriptor = {
    VGS_LV2_URI, instantiate, connect_port, activate, run, deactivate, cleanup, extension_data,
};

const LV2_Descriptor* lv2_plugin_descriptor(uint32_t index) { return index == 0 ? &plugin_descriptor : nullptr; }

extern "C" __attribute__((visibility("default"))) const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return lv2_plugin_descriptor(index);
}
