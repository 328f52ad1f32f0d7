#include "render.h"

#include <algorithm>
#include <chrono>
#include <cmath>

using namespace vst3;

namespace {

struct resolved_ramp {
    ParamID id;
    double from, to;  // normalized
    int64_t start, end;  // samples, end inclusive
};

struct point {
    ParamID id;
    int32_t offset;
    double normalized;
};

struct instance_set {
    host_application host;
    std::vector<plugin_instance> instances;
    ~instance_set() {
        for (plugin_instance& inst : instances) plugin_instance_destroy(&inst);
    }
};

bool fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

double ramp_value(const resolved_ramp& r, int64_t sample) {
    if (sample <= r.start) return r.from;
    if (sample >= r.end) return r.to;
    return r.from + (r.to - r.from) * (double)(sample - r.start) / (double)(r.end - r.start);
}

// Peak and RMS over every sample of every channel, fed one block at a time.
struct level_meter {
    double peak = 0.0, sum = 0.0;
    int64_t count = 0;

    void add(const float* x, int32_t n) {
        for (int32_t i = 0; i < n; ++i) {
            peak = std::max(peak, (double)std::fabs(x[i]));
            sum += (double)x[i] * x[i];
        }
        count += n;
    }
    void result(float* peak_out, float* rms_out) const {
        *peak_out = (float)peak;
        *rms_out = count ? (float)std::sqrt(sum / (double)count) : 0.0f;
    }
};

// The sink of an in-memory render: an audio_data filled at its end.
bool memory_sink_write(void* sink, const float* const* channels, int32_t count, std::string*) {
    audio_data* out = static_cast<audio_data*>(sink);
    for (size_t ch = 0; ch < out->channels.size(); ++ch)
        out->channels[ch].insert(out->channels[ch].end(), channels[ch], channels[ch] + count);
    return true;
}

}  // namespace

bool render_stream(const plugin_module& m, const render_settings& settings, const render_io& io,
                   render_stats* stats, std::string* error) {
    *stats = render_stats{};
    const int channels = io.channels;
    const int64_t frames = io.frames;
    const int32_t block = settings.block_size;
    const double rate = io.sample_rate;
    if (channels <= 0) return fail(error, "the input has no channels");
    if (block < 1 || block > 65536) return fail(error, "the block size must be 1 … 65536");
    if (!(rate > 0.0)) return fail(error, "the sample rate must be positive");

    instance_set set;
    host_application_init(&set.host);
    set.instances.resize((size_t)channels);
    for (plugin_instance& inst : set.instances) {
        if (!plugin_instance_create(m, &set.host, &inst, error)) return false;
        if (!settings.load_state.empty() && !plugin_instance_load_state(&inst, settings.load_state, error))
            return false;
        if (!plugin_instance_activate(&inst, rate, block, error)) return false;
    }
    plugin_instance* first = &set.instances[0];

    // A preset reaches the running instances as the DAW's choice does: its values glide
    // from where they were, here during silence, so the input meets them at rest and the
    // render equals the DAW's of the same preset.
    if (!settings.preset_state.empty()) {
        const int64_t settle = std::llround(preset_settle_seconds * rate);
        std::vector<float> silence((size_t)block, 0.0f);
        for (plugin_instance& inst : set.instances) {
            if (!plugin_instance_load_state(&inst, settings.preset_state, error)) return false;
            for (int64_t done = 0; done < settle; done += block) {
                const int32_t n = (int32_t)std::min<int64_t>(block, settle - done);
                plugin_instance_process(&inst, silence.data(), silence.data(), n, nullptr);
                std::fill(silence.begin(), silence.end(), 0.0f);
            }
        }
    }

    // Names and plain values become ids and normalized values through the controller.
    std::vector<point> initial;
    for (const param_set& s : settings.sets) {
        point p{0, 0, 0.0};
        if (!param_resolve(first, s.name, s.plain, &p.id, &p.normalized, error)) return false;
        // A later setting of the same parameter replaces an earlier one.
        std::erase_if(initial, [&](const point& q) { return q.id == p.id; });
        initial.push_back(p);
    }
    std::vector<resolved_ramp> ramps;
    for (const param_ramp& r : settings.ramps) {
        resolved_ramp rr{};
        if (!param_resolve(first, r.name, r.from, &rr.id, &rr.from, error) ||
            !param_resolve(first, r.name, r.to, &rr.id, &rr.to, error))
            return false;
        rr.start = std::max<int64_t>(0, std::llround(r.start * rate));
        rr.end = r.end < 0.0 ? frames - 1 : std::llround(r.end * rate);
        if (rr.end < rr.start) return fail(error, "ramp of " + r.name + " ends before it starts");
        ramps.push_back(rr);
        // Before its start the ramp holds its first value (over a --set of the same one).
        std::erase_if(initial, [&](const point& p) { return p.id == rr.id; });
        initial.push_back({rr.id, 0, rr.from});
    }
    struct timed_point {
        int64_t sample;
        point p;
    };
    std::vector<timed_point> events;
    for (const param_event& e : settings.events) {
        timed_point tp{std::max<int64_t>(0, std::llround(e.time * rate)), {0, 0, 0.0}};
        if (!param_resolve(first, e.name, e.plain, &tp.p.id, &tp.p.normalized, error)) return false;
        events.push_back(tp);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const timed_point& a, const timed_point& b) { return a.sample < b.sample; });

    param_changes changes;
    param_changes_init(&changes);

    // Starting values go in before the first sample: one empty block hands them to the
    // component, and a new activation lets the signal start at them without a glide.
    if (!initial.empty() || !settings.load_state.empty()) {
        for (const point& p : initial) param_changes_add(&changes, p.id, 0, p.normalized);
        for (plugin_instance& inst : set.instances) {
            for (const point& p : initial) inst.controller->vtbl->setParamNormalized(inst.controller, p.id, p.normalized);
            plugin_instance_process(&inst, nullptr, nullptr, 0, &changes.iface);
            inst.component->vtbl->setActive(inst.component, 0);
            if (inst.component->vtbl->setActive(inst.component, 1) != kResultOk) return fail(error, "setActive failed");
        }
    }

    // One block of input and output per channel is all the audio held at any time.
    std::vector<std::vector<float>> input((size_t)channels, std::vector<float>((size_t)block));
    std::vector<std::vector<float>> output((size_t)channels, std::vector<float>((size_t)block));
    std::vector<float*> input_at((size_t)channels);
    std::vector<const float*> output_at((size_t)channels);
    for (int ch = 0; ch < channels; ++ch) {
        input_at[(size_t)ch] = input[(size_t)ch].data();
        output_at[(size_t)ch] = output[(size_t)ch].data();
    }
    level_meter level_in, level_out;

    std::vector<point> block_points;
    block_points.reserve(64);
    size_t next_event = 0;
    double process_ns = 0.0;
    int64_t start = 0;
    while (start < frames) {
        const int32_t want = (int32_t)std::min<int64_t>(block, frames - start);
        const int64_t got = io.read(io.source, input_at.data(), want, error);
        if (got < 0) return false;
        if (got == 0) break;  // the signal ended before its announced length
        const int32_t n = (int32_t)got;
        block_points.clear();
        for (const resolved_ramp& r : ramps) {
            const int64_t last = start + n - 1;
            if (last < r.start || start > r.end) continue;
            // Points where the ramp enters and leaves this block.
            const int64_t a = std::max(start, r.start), b = std::min(last, r.end);
            block_points.push_back({r.id, (int32_t)(a - start), ramp_value(r, a)});
            if (b != a) block_points.push_back({r.id, (int32_t)(b - start), ramp_value(r, b)});
        }
        while (next_event < events.size() && events[next_event].sample < start + n) {
            point p = events[next_event].p;
            p.offset = (int32_t)(events[next_event].sample - start);
            block_points.push_back(p);
            ++next_event;
        }
        std::stable_sort(block_points.begin(), block_points.end(), [](const point& a, const point& b) {
            return a.id != b.id ? a.id < b.id : a.offset < b.offset;
        });
        param_changes_clear(&changes);
        for (const point& p : block_points) param_changes_add(&changes, p.id, p.offset, p.normalized);

        for (int ch = 0; ch < channels; ++ch) {
            plugin_instance* inst = &set.instances[(size_t)ch];
            float* src = input[(size_t)ch].data();
            float* dst = output[(size_t)ch].data();
            auto t0 = std::chrono::steady_clock::now();
            plugin_instance_process(inst, src, dst, n, &changes.iface);
            auto t1 = std::chrono::steady_clock::now();
            process_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
            // The controller follows the automation, as it does in a DAW.
            for (int32 q = 0; q < changes.queue_count; ++q) {
                const param_queue& pq = changes.queues[q];
                inst->controller->vtbl->setParamNormalized(inst->controller, pq.id, pq.values[pq.point_count - 1]);
            }
        }
        for (int ch = 0; ch < channels; ++ch) {
            const float* x = output[(size_t)ch].data();
            level_in.add(input[(size_t)ch].data(), n);
            level_out.add(x, n);
            for (int32_t i = 0; i < n; ++i) {
                if (!std::isfinite(x[i])) ++stats->nonfinite_out;
                else if (std::fpclassify(x[i]) == FP_SUBNORMAL) ++stats->denormal_out;
            }
        }
        if (!io.write(io.sink, output_at.data(), n, error)) return false;
        start += n;
        if (settings.progress != nullptr) settings.progress((double)start / (double)frames, settings.progress_context);
        if (n < want) break;  // the signal ended early
    }

    if (settings.save_state && !plugin_instance_save_state(first, &stats->saved_state))
        return fail(error, "getState failed");

    stats->frames = start;
    stats->channels = channels;
    stats->sample_rate = rate;
    level_in.result(&stats->peak_in, &stats->rms_in);
    level_out.result(&stats->peak_out, &stats->rms_out);
    stats->process_seconds = process_ns * 1e-9;
    stats->ns_per_sample = stats->frames ? process_ns / ((double)stats->frames * channels) : 0.0;
    return true;
}

int64_t memory_source_read(void* source, float* const* channels, int32_t count, std::string*) {
    memory_source* m = static_cast<memory_source*>(source);
    const int64_t left = (int64_t)m->audio->channels[0].size() - m->position;
    const int32_t n = (int32_t)std::min<int64_t>(count, left);
    for (size_t ch = 0; ch < m->audio->channels.size(); ++ch)
        std::copy_n(m->audio->channels[ch].data() + m->position, n, channels[ch]);
    m->position += n;
    return n;
}

bool render_audio(const plugin_module& m, const render_settings& settings, const audio_data& in, audio_data* out,
                  render_stats* stats, std::string* error) {
    memory_source source{&in, 0};
    out->sample_rate = in.sample_rate;
    out->channels.assign(in.channels.size(), {});
    for (auto& ch : out->channels) ch.reserve(in.channels[0].size());
    render_io io;
    io.channels = (int)in.channels.size();
    io.sample_rate = in.sample_rate;
    io.frames = in.channels.empty() ? 0 : (int64_t)in.channels[0].size();
    io.source = &source;
    io.read = memory_source_read;
    io.sink = out;
    io.write = memory_sink_write;
    return render_stream(m, settings, io, stats, error);
}
