// Whole-stream input and output over the host's IBStream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vst3/vst3_interfaces.h"

// Reads the stream's whole content from its start, wherever it is positioned. 0 with
// *data a new buffer (the caller frees it) and *size its length, or with *data null and
// *size 0 for an empty stream; -1 on a failed seek, tell or read, a short read, or
// exhausted memory.
int read_stream_fully(vst3::IBStream* stream, uint8_t** data, size_t* size);
// Writes all bytes at the stream's current position; -1 on a failed or short write
// (what was written stays written).
int write_stream_fully(vst3::IBStream* stream, const uint8_t* data, size_t size);
