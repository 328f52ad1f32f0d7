// The state chunk's two-level archive: an outer tar holding "dsp.tar", itself a tar of
// "info.map", "parameters.map" and the version text "1.0", and the loader that checks a
// chunk and delivers its six parameter values through a sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/kv_map.h"

// A chunk in memory, built and dropped within one call. The maps own their entry
// records only; after a read their keys and values point into the chunk.
struct state_archive {
    const char* version;
    kv_map* info;
    kv_map* parameters;
    kv_map* extra_inner;  // inner members other than version, info.map, parameters.map
    kv_map* extra_outer;  // outer members other than dsp.tar
};

// How load_state hands values over, so one loader serves component and controller.
struct state_sink {
    void* context;
    void (*lock)(void* context);
    void (*unlock)(void* context);
    // index 0..5 in parameter order, the stored plain value
    void (*set_value)(void* context, int index, float value);
};

// Creates the four maps empty; 0, or -1 (nothing left allocated).
int state_archive_init(state_archive* archive);
void state_archive_destroy(state_archive* archive);
// Fills an uninitialised archive from a chunk; 0, or -1 with errno and nothing left
// allocated (the caller must not destroy it then).
int state_archive_read(state_archive* archive, const uint8_t* chunk, size_t size);
// A new buffer holding the chunk, or null; the archive itself is left as it was.
uint8_t* state_archive_write(const state_archive* archive, size_t* size);

// The chunk IComponent::getState writes for these six plain values (parameter order) and
// the sample rate of the last activation (0 before any): a new buffer, or null with errno.
uint8_t* state_chunk_write(const float values[6], float sample_rate, size_t* size);

// Checks the whole chunk, then delivers all six values between lock and unlock.
// 0, or -1 with nothing delivered.
int load_state(const state_sink* sink, const uint8_t* chunk, size_t size);
