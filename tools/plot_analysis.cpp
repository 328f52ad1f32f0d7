#include "plot_analysis.h"

#include <fftw3.h>

#include <cmath>

static const double two_pi = 6.283185307179586;

std::vector<float> sine_signal(double frequency, double amplitude, double seconds, double rate)
{
    std::vector<float> out((size_t)(seconds * rate));
    for (size_t i = 0; i < out.size(); i++)
        out[i] = (float)(amplitude * std::sin(two_pi * frequency * (double)i / rate));
    return out;
}

std::vector<float> level_ramp_signal(double frequency, double from_db, double to_db, double seconds, double rate)
{
    std::vector<float> out((size_t)(seconds * rate));
    for (size_t i = 0; i < out.size(); i++) {
        const double t = (double)i / rate;
        const double db = from_db + (to_db - from_db) * t / seconds;
        out[i] = (float)(std::pow(10.0, db / 20.0) * std::sin(two_pi * frequency * t));
    }
    return out;
}

std::vector<double> window_levels_db(const std::vector<float>& samples, size_t window)
{
    std::vector<double> levels;
    for (size_t start = 0; start + window <= samples.size(); start += window) {
        double sum = 0;
        for (size_t i = start; i < start + window; i++)
            sum += (double)samples[i] * samples[i];
        // A full-scale sine has an RMS of 1/sqrt(2): it reads 0 dB.
        const double rms = std::sqrt(sum / (double)window) * std::sqrt(2.0);
        levels.push_back(rms > 0 ? 20.0 * std::log10(rms) : -300.0);
    }
    return levels;
}

spectrum spectrum_of(const std::vector<float>& samples, size_t start, size_t size, double rate)
{
    double* in = fftw_alloc_real(size);
    fftw_complex* out = fftw_alloc_complex(size / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d((int)size, in, out, FFTW_ESTIMATE);
    // 4-term Blackman-Harris: sidelobes below -92 dB, so harmonics far down stay visible.
    double window_sum = 0;
    for (size_t i = 0; i < size; i++) {
        const double x = two_pi * (double)i / (double)size;
        const double w = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
        window_sum += w;
        in[i] = (start + i < samples.size() ? samples[start + i] : 0.0) * w;
    }
    fftw_execute(plan);
    spectrum s;
    for (size_t k = 0; k <= size / 2; k++) {
        // A sine of amplitude A peaks at A * window_sum / 2 in its bin.
        const double magnitude = std::hypot(out[k][0], out[k][1]) * 2.0 / window_sum;
        s.frequency.push_back((double)k * rate / (double)size);
        s.level_db.push_back(magnitude > 1e-15 ? 20.0 * std::log10(magnitude) : -300.0);
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    return s;
}

double component_amplitude(const spectrum& s, double frequency, double half_width)
{
    // The window spreads one sine over a few bins; their energies add up to the sine's,
    // scaled by the window's noise bandwidth (2.0044 bins for Blackman-Harris).
    double energy = 0;
    for (size_t k = 0; k < s.frequency.size(); k++) {
        if (std::fabs(s.frequency[k] - frequency) <= half_width) {
            const double a = std::pow(10.0, s.level_db[k] / 20.0);
            energy += a * a;
        }
    }
    return std::sqrt(energy / 2.0044);
}

double thd_percent(const spectrum& s, double frequency, double half_width)
{
    double harmonics = 0;
    for (int k = 2; k <= 10; k++) {
        const double a = component_amplitude(s, frequency * k, half_width);
        harmonics += a * a;
    }
    return 100 * std::sqrt(harmonics) / component_amplitude(s, frequency, half_width);
}
