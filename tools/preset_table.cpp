// The factory bank as the README lists it, measured through the built bundle the way
// vgs-host renders (`render --preset`): each preset's loudness on the demo signal against
// the dry input, and its distortion of a steady tone.
//
// usage: vgs-preset-table BUNDLE
//   prints a Markdown table: name, category, the six values, the RMS level and the
//   integrated loudness (BS.1770) of the whole demo (44.1 kHz) against the dry demo's, the
//   THD (2nd to 10th harmonic) of a 1 kHz sine at -12 and at -40 dBFS peak (48 kHz, the
//   steady second of 1.5 s), and the spectral centroid of the demo's output (how bright
//   the preset sounds).
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "demo_signal.h"
#include "host_presets.h"
#include "loudness.h"
#include "plot_analysis.h"
#include "render.h"

namespace {

bool render(const plugin_module& m, const vst_preset& p, const std::vector<float>& in, double rate,
            std::vector<float>* out, std::string* error)
{
    uint8_t* chunk = nullptr;
    size_t size = 0;
    if (vst_preset_component_chunk(&p, &chunk, &size) != 0) {
        *error = "no chunk for the preset";
        return false;
    }
    render_settings settings;
    settings.preset_state.assign(chunk, chunk + size);
    free(chunk);
    audio_data input, output;
    input.sample_rate = rate;
    input.channels.push_back(in);
    render_stats stats;
    if (!render_audio(m, settings, input, &output, &stats, error))
        return false;
    *out = output.channels.at(0);
    return true;
}

// One decimal, without a "-0.0" for a level that rounds to nothing.
double one_decimal(double x)
{
    const double v = std::round(x * 10) / 10;
    return v == 0 ? 0.0 : v;
}

double rms_db(const std::vector<float>& x)
{
    double sum = 0;
    for (float v : x)
        sum += (double)v * v;
    return 10 * std::log10(sum / (double)x.size());
}

// The spectrum's centre of mass over 20 Hz to 20 kHz, from power in 32768-point frames.
double centroid_hz(const std::vector<float>& x, double rate)
{
    double weighted = 0, total = 0;
    for (size_t start = 0; start + 32768 <= x.size(); start += 32768) {
        const spectrum s = spectrum_of(x, start, 32768, rate);
        for (size_t k = 0; k < s.frequency.size(); k++) {
            if (s.frequency[k] < 20 || s.frequency[k] > 20000)
                continue;
            const double power = std::pow(10.0, s.level_db[k] / 10.0);
            weighted += power * s.frequency[k];
            total += power;
        }
    }
    return weighted / total;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: vgs-preset-table BUNDLE\n", stderr);
        return 2;
    }
    const std::string bundle = argv[1];
    plugin_module m;
    std::string error;
    if (!plugin_module_open(&m, bundle, &error)) {
        std::fprintf(stderr, "vgs-preset-table: %s\n", error.c_str());
        return 1;
    }
    const double demo_rate = 44100, tone_rate = 48000;
    const std::vector<float> demo = demo_signal(demo_rate);
    const double tone_levels[2] = {-12, -40};
    const double dry_db = rms_db(demo), dry_lufs = integrated_loudness(demo, demo_rate);
    std::printf("dry demo: %.1f LUFS, RMS %.1f dBFS, spectral centroid %.0f Hz\n\n", dry_lufs, dry_db,
                centroid_hz(demo, demo_rate));
    std::printf("| preset | category | Drive | Tone | Heat | Mix | Volume | RMS vs dry | loudness vs dry "
                "| THD at -12 dBFS | THD at -40 dBFS | centroid |\n|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    int status = 0;
    for (const found_preset& f : list_presets(bundle)) {
        if (!f.factory)
            continue;
        if (f.error != 0) {
            std::fprintf(stderr, "vgs-preset-table: %s: %s\n", f.path.c_str(), preset_error_text(f.error).c_str());
            status = 1;
            continue;
        }
        const vst_preset& p = f.preset;
        std::vector<float> demo_out;
        double thd[2];
        bool ok = render(m, p, demo, demo_rate, &demo_out, &error);
        for (int k = 0; ok && k < 2; k++) {
            std::vector<float> tone_out;
            const std::vector<float> tone = sine_signal(1000, std::pow(10.0, tone_levels[k] / 20.0), 1.5, tone_rate);
            ok = render(m, p, tone, tone_rate, &tone_out, &error);
            if (ok)
                thd[k] = thd_percent(spectrum_of(tone_out, (size_t)(0.5 * tone_rate), 32768, tone_rate), 1000, 8);
        }
        if (!ok) {
            std::fprintf(stderr, "vgs-preset-table: %s: %s\n", p.name, error.c_str());
            status = 1;
            continue;
        }
        std::printf("| %s | %s | %g | %g | %g | %g | %g | %+.1f dB | %+.1f LU | %.1f %% | %.1f %% | %.0f Hz |\n", p.name,
                    p.category, (double)p.values[0], (double)p.values[1], (double)p.values[2], (double)p.values[3],
                    (double)p.values[4], one_decimal(rms_db(demo_out) - dry_db),
                    one_decimal(integrated_loudness(demo_out, demo_rate) - dry_lufs),
                    thd[0], thd[1], centroid_hz(demo_out, demo_rate));
    }
    plugin_module_close(&m);
    return status;
}
