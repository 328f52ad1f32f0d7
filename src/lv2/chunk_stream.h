// An IBStream over memory, so the LV2 state extension saves and loads the very chunk
// the VST 3 component writes and reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vst3/vst3_interfaces.h"

struct chunk_stream {
    vst3::IBStream iface;
    // Reading: the caller's bytes. Writing: a buffer of the stream's own (malloc).
    uint8_t* bytes;
    size_t size;
    size_t capacity;
    size_t position;
    bool writable;
};

// A stream that reads `size` bytes borrowed from the caller.
void chunk_stream_open_read(chunk_stream* s, const uint8_t* bytes, size_t size);
// An empty stream that collects what is written; chunk_stream_free releases it.
void chunk_stream_open_write(chunk_stream* s);
void chunk_stream_free(chunk_stream* s);
