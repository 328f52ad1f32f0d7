// Test signals and measurements for the demo plots: sines, a slow level ramp, window
// levels and an FFTW spectrum.
#pragma once

#include <cstddef>
#include <vector>

// A sine of `amplitude` (1 = full scale).
std::vector<float> sine_signal(double frequency, double amplitude, double seconds, double rate);

// A sine whose level rises evenly in decibels from `from_db` to `to_db` dBFS (peak).
std::vector<float> level_ramp_signal(double frequency, double from_db, double to_db, double seconds, double rate);

// RMS level in dBFS of a full-scale sine's reference (a full-scale sine reads 0 dB) for
// consecutive windows of `window` samples.
std::vector<double> window_levels_db(const std::vector<float>& samples, size_t window);

struct spectrum {
    std::vector<double> frequency;  // Hz, one per bin
    std::vector<double> level_db;   // dB relative to a full-scale sine
};

// Magnitude spectrum of `size` samples (a power of two) from `start`, Blackman-Harris window.
spectrum spectrum_of(const std::vector<float>& samples, size_t start, size_t size, double rate);

// Amplitude of the component near `frequency` (energy of the bins within `half_width` Hz),
// relative to a full-scale sine.
double component_amplitude(const spectrum& s, double frequency, double half_width);

// Total harmonic distortion in percent: the second to the tenth harmonic of `frequency`
// against the fundamental.
double thd_percent(const spectrum& s, double frequency, double half_width);
