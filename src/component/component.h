// The audio component: the processor object the host drives (buses, set-up,
// activation, processing). The state chunk code reads and writes the parameter
// hand-over fields under param_lock.
#pragma once

#include <cstdint>

#include "dsp/arch.h"
#include "dsp/overdrive_dsp.h"
#include "vst3/vst3_interfaces.h"

struct component {
    // Interface pointers first, in this order; each interface's functions find the
    // record from their own pointer's fixed position.
    vst3::IComponent component_iface;
    vst3::IAudioProcessor processor_iface;
    vst3::IProcessContextRequirements context_requirements_iface;
    vst3::IConnectionPoint connection_iface;
    int32_t ref_count;
    // Set by initialize, cleared by terminate; not reference-counted. Non-null means
    // initialized.
    vst3::FUnknown* host_context;
    overdrive_dsp dsp;
    // The host's rate from setupProcessing; the DSP takes it at the next setActive(true).
    float sample_rate;
    // Latest plain value of each parameter, in parameter-index order.
    float param_values[6];
    // Plain values last handed to the DSP; setState stages loaded values here.
    float applied_values[6];
    // 0 free, 1 held; touched only by atomic exchange (param_lock_try/param_lock_release).
    uint8_t param_lock;
    // 0 asks the audio thread to reconcile the two value arrays at its next pass.
    uint8_t audio_synced;
    // 1 when applied_values holds a freshly loaded state.
    uint8_t state_loaded;
    // The driver's channel pointer table: this block's one input and one output channel.
    float* channel_in;
    float* channel_out;
    // Whether both buses were active at the last setActive(true).
    uint8_t processing_enabled;
    uint8_t input_active;
    uint8_t output_active;
};

// The factory's createInstance for the component class: iid must be FUnknown,
// IPluginBase or IComponent (else kNoInterface, obj untouched); kOutOfMemory when the
// allocation fails; otherwise stores the IComponent pointer with one reference.
vst3::tresult component_create(const vst3::TUID iid, void** obj);

// The record behind an IComponent pointer handed out by this component.
inline component* component_from_iface(vst3::IComponent* iface) {
    return reinterpret_cast<component*>(iface);
}

// One attempt at param_lock: true when the caller now holds it.
inline bool param_lock_try(component* c) {
    return __atomic_exchange_n(&c->param_lock, uint8_t{1}, __ATOMIC_ACQUIRE) == 0;
}

inline void param_lock_release(component* c) {
    __atomic_exchange_n(&c->param_lock, uint8_t{0}, __ATOMIC_RELEASE);
}

// The audio side at rest: the DSP record in its initial state with the six default
// values set, both value arrays holding them, param_lock free, nothing pending.
void component_audio_init(component* c);

// The parameter hand-over at one end of a block, for every plug-in format's driver.
// param_pass_begin tries param_lock once (never waits) and, when it got it, hands the
// DSP whatever another thread left behind (reconciliation or a loaded state); it
// returns whether the lock is held. param_hand_over takes one plain value the host set
// (already toggle-rounded and clamped, never a NaN): recorded in param_values, and
// given to the DSP when the pass holds the lock. param_pass_end releases a held lock.
bool param_pass_begin(component* c);
void param_hand_over(component* c, int index, double plain, bool locked);
void param_pass_end(component* c, bool locked);

// Flush-to-zero and denormals-are-zero for one block: enter returns the caller's
// floating-point mode, leave puts the bits it owns back (MXCSR's FTZ and DAZ; FPCR's FZ,
// AH and FIZ); the others keep what they have.
fp_control audio_fp_mode_enter();
void audio_fp_mode_leave(fp_control entry_csr);

// IAudioProcessor::process: the per-block driver (parameter hand-over and signal path).
vst3::tresult component_process(component* c, vst3::ProcessData* data);
