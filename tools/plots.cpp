// Draws the README's pictures of what the plug-in does to sound. Every signal goes
// through the built bundle the way vgs-host renders it (the host's own loading and
// rendering code), never through the DSP code directly.
//
// usage: vgs-plots BUNDLE OUTPUT_DIR
//   writes OUTPUT_DIR/demo_waveforms.png, transfer_curve.png and harmonic_spectrum.png
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "demo_signal.h"
#include "plot_analysis.h"
#include "plot_chart.h"
#include "render.h"

namespace {

const double rate = 48000;
// The three settings of the transfer curve and the spectra.
const double drive_settings[3] = {0, 50, 100};

struct plotter {
    plugin_module module;
    std::string out_dir;
    std::string error;

    // The plug-in's output for a mono signal with the given plain values, all others at
    // their defaults.
    bool render(const std::vector<float>& in, const std::vector<param_set>& sets, std::vector<float>* out)
    {
        audio_data input, output;
        input.sample_rate = rate;
        input.channels.push_back(in);
        render_settings settings;
        settings.sets = sets;
        render_stats stats;
        if (!render_audio(module, settings, input, &output, &stats, &error))
            return false;
        *out = output.channels.at(0);
        return true;
    }

    bool demo_waveforms()
    {
        const double drive = 70;
        std::vector<float> in = demo_signal(rate), out;
        if (!render(in, {{"Drive", drive}}, &out))
            return false;
        cairo_t* cr;
        cairo_surface_t* image =
            chart_image(1200, 860, "Demo phrase through the plug-in (Drive 70, other controls at their defaults)", &cr);
        // The plucked phrase, before the sine sweep that follows it in the demo signal.
        const double phrase_end = 6.0;
        plot_chart top{cr, 90, 80, 1080, 200, 0, phrase_end, -1.0, 1.0};
        chart_frame(&top, "Input", "time (s)", "sample value", 0.5, 0.5);
        chart_waveform(&top, in, rate, color_input);
        double peak = 1.0;
        for (float v : out)
            peak = std::max(peak, (double)std::fabs(v));
        const double y = std::ceil(peak * 2) / 2;
        plot_chart middle{cr, 90, 340, 1080, 200, 0, phrase_end, -y, y};
        chart_frame(&middle, "Output", "time (s)", "sample value", 0.5, 0.5);
        chart_waveform(&middle, out, rate, color_output);

        // A close look at the ringing chord: the shape of single cycles.
        const double zoom_start = 4.0, zoom_ms = 40;
        std::vector<double> t, vin, vout;
        for (size_t i = (size_t)(zoom_start * rate); i < (size_t)((zoom_start + zoom_ms / 1000) * rate); i++) {
            t.push_back(((double)i / rate - zoom_start) * 1000.0);
            vin.push_back(in[i]);
            vout.push_back(out[i]);
        }
        plot_chart zoom{cr, 90, 600, 1080, 200, 0, zoom_ms, -y / 2, y / 2};
        chart_frame(&zoom, "Close-up: 40 ms of the ringing chord, from 4 s", "time (ms)", "sample value", 5, 0.25);
        chart_line(&zoom, t, vin, color_input, 1.5);
        chart_line(&zoom, t, vout, color_output, 1.5);
        chart_legend(&zoom, {"input", "output"}, {color_input, color_output}, true);
        return save(image, cr, "demo_waveforms.png");
    }

    bool transfer_curve()
    {
        // A 1 kHz sine rising slowly from -80 to 0 dBFS: slow enough that every 20 ms
        // window sees a steady level, so the curve is the static one.
        const double seconds = 8.0;
        const size_t window = (size_t)(0.02 * rate);
        std::vector<float> in = level_ramp_signal(1000, -80, 0, seconds, rate);
        std::vector<double> in_db = window_levels_db(in, window);

        cairo_t* cr;
        cairo_surface_t* image = chart_image(1000, 760, "Static transfer curve: output level against input level", &cr);
        plot_chart c{cr, 90, 80, 870, 600, -80, 0, -60, 0};
        chart_frame(&c, "1 kHz sine rising slowly from -80 to 0 dBFS; levels are RMS over 20 ms, 0 dB = full-scale sine",
                    "input level (dBFS)", "output level (dBFS)", 10, 6);
        chart_line(&c, {-80, 0}, {-80, 0}, color_input, 1.2, true);
        std::vector<std::string> names;
        std::vector<plot_color> colors;
        for (int i = 0; i < 3; i++) {
            std::vector<float> out;
            if (!render(in, {{"Drive", drive_settings[i]}}, &out))
                return false;
            std::vector<double> out_db = window_levels_db(out, window);
            // The first windows hold the coupling filters' settling, not the curve.
            std::vector<double> xs(in_db.begin() + 5, in_db.end()), ys(out_db.begin() + 5, out_db.end());
            chart_line(&c, xs, ys, color_series[i], 2.2);
            names.push_back("Drive " + std::to_string((int)drive_settings[i]));
            colors.push_back(color_series[i]);
        }
        names.push_back("unity (output = input)");
        colors.push_back(color_input);
        chart_legend(&c, names, colors);
        return save(image, cr, "transfer_curve.png");
    }

    bool harmonic_spectrum()
    {
        // At -50 dBFS the drive control decides how hard the diodes conduct; louder tones
        // clip about equally at every setting (see the transfer curve). Half a second of
        // settling, then a 32768-point spectrum of the steady tone.
        std::vector<float> in = sine_signal(1000, std::pow(10.0, -50.0 / 20.0), 1.5, rate);
        const size_t start = (size_t)(0.5 * rate), size = 32768;
        cairo_t* cr;
        cairo_surface_t* image =
            chart_image(1200, 980, "Harmonic spectrum of a 1 kHz sine at -50 dBFS, three Drive settings", &cr);
        for (int i = 0; i < 3; i++) {
            std::vector<float> out;
            if (!render(in, {{"Drive", drive_settings[i]}}, &out))
                return false;
            spectrum s = spectrum_of(out, start, size, rate);
            const double fundamental = component_amplitude(s, 1000, 8);
            char title[128];
            snprintf(title, sizeof title, "Drive %d: fundamental %.1f dBFS, THD (2nd to 10th) %.2f %%",
                     (int)drive_settings[i], 20 * std::log10(fundamental), thd_percent(s, 1000, 8));
            plot_chart c{cr, 90, 80 + 300.0 * i, 1080, 220, 0, 20000, -160, 0};
            chart_frame(&c, title, "frequency (Hz)", "level (dBFS)", 1000, 20);
            chart_line(&c, s.frequency, s.level_db, color_series[i], 1.2);
        }
        return save(image, cr, "harmonic_spectrum.png");
    }

    bool save(cairo_surface_t* image, cairo_t* cr, const std::string& name)
    {
        const std::string path = out_dir + "/" + name;
        if (!chart_save(image, cr, path)) {
            error = "cannot write " + path;
            return false;
        }
        printf("%s\n", path.c_str());
        return true;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s BUNDLE OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    plotter p;
    p.out_dir = argv[2];
    if (!plugin_module_open(&p.module, argv[1], &p.error)) {
        fprintf(stderr, "vgs-plots: %s\n", p.error.c_str());
        return 1;
    }
    const bool ok = p.demo_waveforms() && p.transfer_curve() && p.harmonic_spectrum();
    plugin_module_close(&p.module);
    // cairo's font caches and fontconfig's configuration are given back, so that a leak
    // checker sees only what is the program's own.
    cairo_debug_reset_static_data();
    FcFini();
    if (!ok) {
        fprintf(stderr, "vgs-plots: %s\n", p.error.c_str());
        return 1;
    }
    return 0;
}
