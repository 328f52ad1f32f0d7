// The host's side of the VST 3 interfaces that the plug-in calls back: the host
// application context, a memory stream for state chunks, parameter change queues for
// process, and a component handler that records edits.
#pragma once

#include <cstdint>
#include <vector>

#include "vst3/vst3_interfaces.h"

// The context passed to initialize. Lives as long as the host; the plug-in's
// references to it are counted but never free it.
struct host_application {
    vst3::IHostApplication iface;
    int32_t ref_count;
};
void host_application_init(host_application* app);

// A growable in-memory IBStream; state chunks travel through it.
struct memory_stream {
    vst3::IBStream iface;
    int32_t ref_count;
    std::vector<uint8_t> bytes;
    int64_t position;
};
void memory_stream_init(memory_stream* s);
void memory_stream_rewind(memory_stream* s);

// Queues for one process call, all storage reserved up front so that filling and
// reading them never allocates on the audio path.
inline constexpr int host_max_queues = 16;
inline constexpr int host_max_points = 64;

struct param_queue {
    vst3::IParamValueQueue iface;
    vst3::ParamID id;
    int32_t point_count;
    int32_t offsets[host_max_points];
    double values[host_max_points];
};

struct param_changes {
    vst3::IParameterChanges iface;
    int32_t queue_count;
    param_queue queues[host_max_queues];
};

void param_changes_init(param_changes* pc);
void param_changes_clear(param_changes* pc);
// Appends a point to the queue of `id` (made on first use). Points of one queue must
// come in non-decreasing offset order. Returns false when the queues are full.
bool param_changes_add(param_changes* pc, vst3::ParamID id, int32_t offset, double normalized);

// An IComponentHandler that keeps the edits it receives, for hosts that show an editor.
struct recorded_edit {
    vst3::ParamID id;
    double normalized;
};
struct edit_recorder {
    vst3::IComponentHandler iface;
    int32_t ref_count;
    int32_t begin_count;
    int32_t end_count;
    std::vector<recorded_edit> edits;
};
void edit_recorder_init(edit_recorder* r);
