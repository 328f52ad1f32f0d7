// `render BUNDLE [options]`: audio in, through the plug-in, audio out.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio_file.h"
#include "commands.h"
#include "demo_signal.h"
#include "host_presets.h"
#include "param_args.h"
#include "render.h"
#include "replace_file.h"

static const char render_usage[] =
    "usage: vgs-host render BUNDLE [options]\n"
    "  -i, --input FILE         audio to process, any format libsndfile reads;\n"
    "                           without it the built-in demo signal (plucked phrase, sine sweep)\n"
    "  -o, --output FILE        result: .wav (32-bit float), .flac (24-bit), .aiff, .ogg;\n"
    "                           without it nothing is written, only the summary printed\n"
    "  -r, --rate HZ            sample rate of the demo signal (default 44100);\n"
    "                           an input file plays at its own rate\n"
    "  -b, --block N            samples per process call (default 512)\n"
    "  --set NAME=VALUE         parameter in plain units from the start, e.g. --set Drive=70\n"
    "  --ramp NAME=FROM:TO[@T0:T1]\n"
    "                           linear automation from FROM to TO between T0 and T1 seconds\n"
    "                           (default: the whole render)\n"
    "  --at SECONDS:NAME=VALUE  a change at a time, delivered at its offset in its block\n"
    "  --preset NAME|FILE       a preset: a factory or user preset by name (vgs-host info lists\n"
    "                           them) or a .vstpreset file, chosen as a DAW chooses it, on the\n"
    "                           running plug-in, which settles for 2 s of silence before the input;\n"
    "                           --set, --ramp and --at apply over it\n"
    "  --load-state FILE        load a state chunk into the component and the controller first\n"
    "  --save-state FILE        save the component's state chunk after rendering\n"
    "  -q, --quiet              no progress, no summary\n"
    "A multi-channel input goes through one instance of the plug-in per channel, all with\n"
    "the same settings and automation (dual mono); the output keeps the input's channels.\n";

static bool parse_ramp(const std::string& text, param_ramp* ramp) {
    std::string value;
    if (!parse_assignment(text, &ramp->name, &value)) return false;
    std::string times;
    size_t at = value.find('@');
    if (at != std::string::npos) {
        times = value.substr(at + 1);
        value.resize(at);
    }
    size_t colon = value.find(':');
    if (colon == std::string::npos) return false;
    if (!parse_number(value.substr(0, colon).c_str(), &ramp->from) ||
        !parse_number(value.substr(colon + 1).c_str(), &ramp->to))
        return false;
    if (!times.empty()) {
        colon = times.find(':');
        if (colon == std::string::npos) return false;
        if (!parse_number(times.substr(0, colon).c_str(), &ramp->start) ||
            !parse_number(times.substr(colon + 1).c_str(), &ramp->end) || ramp->start < 0 || ramp->end < ramp->start)
            return false;
    }
    return true;
}

static bool read_file(const char* path, std::vector<uint8_t>* bytes) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    uint8_t buf[4096];
    size_t n;
    bytes->clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

static int64_t read_input_file(void* source, float* const* channels, int32_t count, std::string* error) {
    audio_reader* r = static_cast<audio_reader*>(source);
    int64_t got = audio_reader_read(r, channels, count);
    if (got < 0) *error = "reading the input failed";
    return got;
}

static bool write_output_file(void* sink, const float* const* channels, int32_t count, std::string* error) {
    return audio_writer_write(static_cast<audio_writer*>(sink), channels, count, error);
}

static bool write_nothing(void*, const float* const*, int32_t, std::string*) { return true; }

// The files a render leaves: the audio and the state chunk, each written to a temporary
// file first and put in place only once both are complete.
struct render_outputs {
    replacement_file audio, state;
    audio_writer writer;
    bool has_audio = false, has_state = false;

    ~render_outputs() {
        std::string ignored;
        audio_writer_close(&writer, &ignored);
        if (has_audio) replacement_discard(&audio);
        if (has_state) replacement_discard(&state);
    }
};

struct progress_state {
    bool tty;
    int last_step;
};

// Tenths on a terminal line that rewrites itself; quarter steps otherwise.
static void show_progress(double fraction, void* context) {
    progress_state* p = static_cast<progress_state*>(context);
    const int steps = p->tty ? 10 : 4;
    int step = (int)(fraction * steps);
    if (step == p->last_step) return;
    p->last_step = step;
    std::fprintf(stderr, p->tty ? "\rrendering %3d%%" : "rendering %3d%%\n", step * 100 / steps);
    if (p->tty && step == steps) std::fputc('\n', stderr);
    std::fflush(stderr);
}

static double dbfs(float x) { return x > 0.0f ? 20.0 * std::log10((double)x) : -INFINITY; }

int render_command(int argc, char** argv) {
    std::string bundle, input, output, load_state_path, save_state_path, preset_arg;
    double rate = 44100.0;
    bool rate_given = false, quiet = false;
    render_settings settings;
    std::string error;

    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        auto need = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vgs-host render: %s needs %s\n", a.c_str(), what);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        if (a == "-h" || a == "--help") {
            std::fputs(render_usage, stdout);
            return 0;
        } else if (a == "-i" || a == "--input") {
            if (!(v = need("a file"))) return 2;
            input = v;
        } else if (a == "-o" || a == "--output") {
            if (!(v = need("a file"))) return 2;
            output = v;
        } else if (a == "-r" || a == "--rate") {
            if (!(v = need("a rate"))) return 2;
            if (!parse_number(v, &rate) || rate < 1000.0 || rate > 1536000.0) {
                std::fprintf(stderr, "vgs-host render: bad rate \"%s\" (1000 … 1536000)\n", v);
                return 2;
            }
            rate_given = true;
        } else if (a == "-b" || a == "--block") {
            double b = 0;
            if (!(v = need("a size"))) return 2;
            if (!parse_number(v, &b) || b < 1 || b > 65536 || b != std::floor(b)) {
                std::fprintf(stderr, "vgs-host render: bad block size \"%s\" (1 … 65536)\n", v);
                return 2;
            }
            settings.block_size = (int32_t)b;
        } else if (a == "--set") {
            if (!(v = need("NAME=VALUE"))) return 2;
            param_set s;
            std::string value;
            if (!parse_assignment(v, &s.name, &value) || !parse_number(value.c_str(), &s.plain)) {
                std::fprintf(stderr, "vgs-host render: bad --set \"%s\" (NAME=VALUE)\n", v);
                return 2;
            }
            settings.sets.push_back(s);
        } else if (a == "--ramp") {
            if (!(v = need("NAME=FROM:TO[@T0:T1]"))) return 2;
            param_ramp r;
            if (!parse_ramp(v, &r)) {
                std::fprintf(stderr, "vgs-host render: bad --ramp \"%s\" (NAME=FROM:TO[@T0:T1])\n", v);
                return 2;
            }
            settings.ramps.push_back(r);
        } else if (a == "--at") {
            if (!(v = need("SECONDS:NAME=VALUE"))) return 2;
            param_event e;
            if (!parse_event(v, &e)) {
                std::fprintf(stderr, "vgs-host render: bad --at \"%s\" (SECONDS:NAME=VALUE)\n", v);
                return 2;
            }
            settings.events.push_back(e);
        } else if (a == "--preset") {
            if (!(v = need("a name or a .vstpreset file"))) return 2;
            preset_arg = v;
        } else if (a == "--load-state") {
            if (!(v = need("a file"))) return 2;
            load_state_path = v;
        } else if (a == "--save-state") {
            if (!(v = need("a file"))) return 2;
            save_state_path = v;
        } else if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "vgs-host render: unknown option \"%s\"\n%s", a.c_str(), render_usage);
            return 2;
        } else if (bundle.empty()) {
            bundle = a;
        } else {
            std::fprintf(stderr, "vgs-host render: unexpected \"%s\"\n%s", a.c_str(), render_usage);
            return 2;
        }
    }
    if (bundle.empty()) {
        std::fputs(render_usage, stderr);
        return 2;
    }
    if (!preset_arg.empty() && !load_state_path.empty()) {
        std::fputs("vgs-host render: --preset and --load-state both set the whole state; give one\n", stderr);
        return 2;
    }
    if (rate_given && !input.empty()) {
        std::fputs("vgs-host render: --rate applies to the demo signal; an input file plays at its own rate\n",
                   stderr);
        return 2;
    }

    // A preset that does not load stops the render before anything is read or written.
    if (!preset_arg.empty()) {
        vst_preset preset;
        uint8_t* chunk = nullptr;
        size_t chunk_size = 0;
        if (!find_preset(bundle, preset_arg, &preset, &error)) {
            std::fprintf(stderr, "vgs-host render: %s\n", error.c_str());
            return 1;
        }
        if (vst_preset_component_chunk(&preset, &chunk, &chunk_size) != 0) {
            std::fprintf(stderr, "vgs-host render: preset %s: %s\n", preset_arg.c_str(), std::strerror(errno));
            return 1;
        }
        settings.preset_state.assign(chunk, chunk + chunk_size);
        free(chunk);
    }

    // The input: a file read a block at a time, or the demo signal.
    render_io io;
    audio_reader reader;
    audio_data demo;
    memory_source demo_source{&demo, 0};
    if (input.empty()) {
        demo.sample_rate = rate;
        demo.channels.push_back(demo_signal(rate));
        io.channels = 1;
        io.sample_rate = rate;
        io.frames = (int64_t)demo.channels[0].size();
        io.source = &demo_source;
        io.read = memory_source_read;
    } else if (audio_reader_open(&reader, input, &error)) {
        io.channels = reader.channels;
        io.sample_rate = reader.sample_rate;
        io.frames = reader.frames;
        io.source = &reader;
        io.read = read_input_file;
    } else {
        std::fprintf(stderr, "vgs-host render: %s\n", error.c_str());
        return 1;
    }
    struct reader_closer {
        audio_reader* r;
        ~reader_closer() { audio_reader_close(r); }
    } close_reader{&reader};
    if (!load_state_path.empty() && !read_file(load_state_path.c_str(), &settings.load_state)) {
        std::fprintf(stderr, "vgs-host render: cannot read %s: %s\n", load_state_path.c_str(), std::strerror(errno));
        return 1;
    }
    if (!load_state_path.empty() && settings.load_state.empty()) {
        std::fprintf(stderr, "vgs-host render: %s is empty\n", load_state_path.c_str());
        return 1;
    }
    settings.save_state = !save_state_path.empty();

    // Long renders show how far they are.
    progress_state progress{isatty(STDERR_FILENO) != 0, 0};
    const double seconds = (double)io.frames / io.sample_rate;
    if (!quiet && seconds * (double)io.channels > 60.0) {
        settings.progress = show_progress;
        settings.progress_context = &progress;
    }

    // Output files are opened before the render, so that one that cannot be written is
    // known before the time is spent.
    render_outputs out;
    io.write = write_nothing;
    if (!output.empty()) {
        out.has_audio = replacement_open(&out.audio, output, &error);
        if (!out.has_audio ||
            !audio_writer_open(&out.writer, out.audio.fd, output, io.channels, io.sample_rate, &error)) {
            std::fprintf(stderr, "vgs-host render: %s\n", error.c_str());
            return 1;
        }
        io.sink = &out.writer;
        io.write = write_output_file;
    }
    if (settings.save_state && !(out.has_state = replacement_open(&out.state, save_state_path, &error))) {
        std::fprintf(stderr, "vgs-host render: %s\n", error.c_str());
        return 1;
    }

    plugin_module m;
    if (!plugin_module_open(&m, bundle, &error)) {
        std::fprintf(stderr, "vgs-host render: %s\n", error.c_str());
        return 1;
    }
    render_stats stats;
    bool ok = render_stream(m, settings, io, &stats, &error);
    plugin_module_close(&m);
    // Both files complete, then both put in place; any failure leaves the targets as they were.
    ok = ok && (!out.has_audio || (audio_writer_close(&out.writer, &error) && replacement_finish(&out.audio, &error)));
    ok = ok && (!out.has_state || (replacement_write(&out.state, stats.saved_state.data(), stats.saved_state.size(),
                                                     &error) &&
                                   replacement_finish(&out.state, &error)));
    ok = ok && (!out.has_audio || replacement_commit(&out.audio, &error));
    ok = ok && (!out.has_state || replacement_commit(&out.state, &error));
    if (!ok) {
        std::fprintf(stderr, "vgs-host render: %s\n", error.c_str());
        return 1;
    }
    if (!quiet) {
        std::printf("%s: %.2f s, %d ch, %.0f Hz, block %d | in peak %.1f dBFS rms %.1f dBFS | out peak %.1f dBFS "
                    "rms %.1f dBFS | %.1f ns/sample\n",
                    output.empty() ? "rendered" : output.c_str(), seconds, stats.channels, stats.sample_rate,
                    settings.block_size, dbfs(stats.peak_in), dbfs(stats.rms_in), dbfs(stats.peak_out),
                    dbfs(stats.rms_out), stats.ns_per_sample);
        if (stats.nonfinite_out > 0 || stats.denormal_out > 0)
            std::printf("warning: %lld non-finite and %lld denormal output samples\n",
                        (long long)stats.nonfinite_out, (long long)stats.denormal_out);
    }
    return 0;
}
