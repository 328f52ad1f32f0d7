// The audio thread's entry: parameter hand-over at both ends of the block and the mono
// signal path in between. Nothing here allocates, locks, waits or calls the system.
#include <cstring>

#include "component/component.h"
#include "controller/param_table.h"

using namespace vst3;

// Flush-to-zero for the block (src/dsp/arch.h: MXCSR on x86-64, FPCR on aarch64).
fp_control audio_fp_mode_enter() { return audio_fp_control_enter(); }

void audio_fp_mode_leave(fp_control entry_csr) { audio_fp_control_leave(entry_csr); }

void component_audio_init(component* c) {
    dsp_init(&c->dsp);
    c->sample_rate = 0.0f;
    for (int i = 0; i < param_count; ++i) {
        c->param_values[i] = (float)param_range_table[i].default_plain;
        dsp_set_param(&c->dsp, i, c->param_values[i]);
    }
    std::memcpy(c->applied_values, c->param_values, sizeof c->applied_values);
    param_lock_release(c);
    c->audio_synced = 1;
    c->state_loaded = 0;
    c->channel_in = nullptr;
    c->channel_out = nullptr;
}

bool param_pass_begin(component* c) {
    // The audio thread tries the lock once and never waits; when busy, host changes are
    // only recorded in param_values and the holder's cleared audio_synced makes a later
    // pass hand them over.
    const bool locked = param_lock_try(c);
    if (locked) {
        if (!c->audio_synced) {
            if (c->state_loaded) {
                for (int i = 0; i < param_count; ++i) {
                    c->param_values[i] = c->applied_values[i];
                    dsp_set_param(&c->dsp, i, c->param_values[i]);
                }
            } else {
                for (int i = 0; i < param_count; ++i) {
                    // Written as "not equal" so a NaN on either side counts as a change.
                    if (!(c->param_values[i] == c->applied_values[i])) {
                        c->applied_values[i] = c->param_values[i];
                        dsp_set_param(&c->dsp, i, c->param_values[i]);
                    }
                }
            }
        }
        c->audio_synced = 1;
        c->state_loaded = 0;
    }
    return locked;
}

void param_hand_over(component* c, int index, double plain, bool locked) {
    if (plain == (double)c->param_values[index]) return;
    c->param_values[index] = (float)plain;
    if (locked) {
        c->applied_values[index] = (float)plain;
        dsp_set_param(&c->dsp, index, (float)plain);
    }
}

void param_pass_end(component* c, bool locked) {
    if (locked) param_lock_release(c);
}

// Hands changed values to the DSP: first whatever the other thread left behind
// (reconciliation or a loaded state), then the host's queue point for this end of
// the block (the first point when it sits at offset 0, the last when it sits later).
static void param_sync(component* c, const ProcessData* data, bool at_start) {
    const bool locked = param_pass_begin(c);

    IParameterChanges* changes = data->inputParameterChanges;
    if (changes != nullptr) {
        const int32 queue_count = changes->vtbl->getParameterCount(changes);
        for (int32 q = 0; q < queue_count; ++q) {
            IParamValueQueue* queue = changes->vtbl->getParameterData(changes, q);
            if (queue == nullptr) continue;
            const int32 points = queue->vtbl->getPointCount(queue);
            if (points <= 0) continue;
            int32 offset = 0;
            ParamValue normalized = 0.0;
            if (queue->vtbl->getPoint(queue, at_start ? 0 : points - 1, &offset, &normalized) != kResultOk)
                continue;
            if (at_start ? offset != 0 : offset <= 0) continue;
            const int index = param_index_of(queue->vtbl->getParameterId(queue));
            if (index < 0) continue;
            // A NaN would reach the setter unclamped (the tone taper would be indexed
            // with an undefined integer); such a change is dropped.
            if (normalized != normalized) continue;
            param_hand_over(c, index, param_apply_normalized(index, normalized), locked);
        }
    }

    param_pass_end(c, locked);
}

// The first channel of the first bus that has one, or null. Only one channel per side
// fits the mono table; further channels and buses are not used.
static float* first_channel(const AudioBusBuffers* buses, int32 bus_count) {
    if (buses == nullptr) return nullptr;
    for (int32 b = 0; b < bus_count; ++b) {
        if (buses[b].numChannels <= 0) continue;
        return buses[b].channelBuffers32 != nullptr ? buses[b].channelBuffers32[0] : nullptr;
    }
    return nullptr;
}

// Clears every output channel the host passed, except `keep` (the one just written).
static void clear_outputs(const ProcessData* data, int32 samples, const float* keep) {
    if (data->outputs == nullptr || samples <= 0) return;
    for (int32 b = 0; b < data->numOutputs; ++b) {
        const AudioBusBuffers& bus = data->outputs[b];
        if (bus.numChannels <= 0 || bus.channelBuffers32 == nullptr) continue;
        for (int32 ch = 0; ch < bus.numChannels; ++ch) {
            float* out = bus.channelBuffers32[ch];
            if (out == nullptr || out == keep) continue;
            std::memset(out, 0, (size_t)samples * sizeof(float));
        }
    }
}

tresult component_process(component* c, ProcessData* data) {
    if (data == nullptr) return kInvalidArgument;
    const fp_control entry_csr = audio_fp_mode_enter();

    param_sync(c, data, true);

    const int32 samples = data->numSamples > 0 ? data->numSamples : 0;
    if (!c->processing_enabled) {
        clear_outputs(data, samples, nullptr);
    } else if (samples > 0) {
        // The table is refilled every block so no pointer outlives the block it came with.
        c->channel_in = first_channel(data->inputs, data->numInputs);
        c->channel_out = first_channel(data->outputs, data->numOutputs);
        float* in = c->channel_in;
        float* out = c->channel_out;
        if (out != nullptr) {
            // No input channel: the signal path runs on silence, in place.
            if (in == nullptr) {
                std::memset(out, 0, (size_t)samples * sizeof(float));
                in = out;
            }
            // The block path reads each input sample before it writes the output sample
            // of the same index, so in-place buffers are fine.
            dsp_process_block(&c->dsp, in, out, samples);
        }
        // Channels beyond the mono one carry silence rather than whatever was there.
        clear_outputs(data, samples, out);
        c->channel_in = nullptr;
        c->channel_out = nullptr;
    }

    param_sync(c, data, false);

    audio_fp_mode_leave(entry_csr);
    return kResultOk;
}
