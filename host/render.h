// Rendering audio through the plug-in: one instance per channel (the plug-in is mono),
// parameters set by name in plain units, automation delivered through parameter
// queues at block offsets, optional state chunk in and out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio_file.h"
#include "param_args.h"
#include "plugin_loader.h"

// A fixed value from the start of the render.
struct param_set {
    std::string name;
    double plain = 0.0;
};

// A linear ramp in plain units between two times in seconds (end < 0: the end of the
// render). The parameter holds `from` before the ramp and `to` after it.
struct param_ramp {
    std::string name;
    double from = 0.0;
    double to = 0.0;
    double start = 0.0;
    double end = -1.0;
};

struct render_settings {
    int32_t block_size = 512;
    std::vector<param_set> sets;
    std::vector<param_ramp> ramps;
    std::vector<param_event> events;
    // A chunk to load into every instance before rendering (empty: none).
    std::vector<uint8_t> load_state;
    // A preset's state chunk, chosen on every running instance as a DAW does when the user
    // picks a preset (setState and setComponentState after activation), which then settles
    // over preset_settle_seconds of silence before the input starts (empty: none).
    std::vector<uint8_t> preset_state;
    // Keep the first instance's chunk after rendering in render_stats::saved_state.
    bool save_state = false;
    // Called after every block with the fraction done.
    void (*progress)(double fraction, void* context) = nullptr;
    void* progress_context = nullptr;
};

// Long enough for every glide (5 ms and 50 ms time constants) to come to rest: the float
// steps stop short of their targets, at the same value in every host, and four seconds
// give the same bits as two (tests/host).
constexpr double preset_settle_seconds = 2.0;

struct render_stats {
    int64_t frames = 0;
    int channels = 0;
    double sample_rate = 0.0;
    float peak_in = 0.0f, rms_in = 0.0f, peak_out = 0.0f, rms_out = 0.0f;
    // Wall time spent inside process calls only.
    double process_seconds = 0.0;
    double ns_per_sample = 0.0;
    int64_t nonfinite_out = 0;
    int64_t denormal_out = 0;
    std::vector<uint8_t> saved_state;
};

// Where a render's samples come from and where they go, one block at a time, so that
// nothing but a block is held however long the signal is. `read` fills up to `count`
// frames into one buffer per channel and returns how many it filled (fewer only at the
// end of the signal, -1 on failure); `write` takes `count` processed frames per channel.
// Both set *error when they fail.
struct render_io {
    int channels = 0;
    double sample_rate = 0.0;
    // The length as announced in advance: ramps to the end and the progress follow it.
    int64_t frames = 0;
    void* source = nullptr;
    int64_t (*read)(void* source, float* const* channels, int32_t count, std::string* error) = nullptr;
    void* sink = nullptr;
    bool (*write)(void* sink, const float* const* channels, int32_t count, std::string* error) = nullptr;
};

// Samples held in memory as a source, read from the start.
struct memory_source {
    const audio_data* audio;
    int64_t position;
};
int64_t memory_source_read(void* source, float* const* channels, int32_t count, std::string* error);

bool render_stream(const plugin_module& m, const render_settings& settings, const render_io& io,
                   render_stats* stats, std::string* error);

// The same for a signal held in memory.
bool render_audio(const plugin_module& m, const render_settings& settings, const audio_data& in, audio_data* out,
                  render_stats* stats, std::string* error);
