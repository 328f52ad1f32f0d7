#include "demo_signal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// A plucked string: a delay line of one period filled with noise, fed back through a
// two-point average (the string's losses). Deterministic noise keeps renders repeatable.
struct plucked_string {
    std::vector<double> line;
    size_t pos = 0;
    double loss = 0.996;
};

double next_noise(uint32_t* seed) {
    *seed = *seed * 1664525u + 1013904223u;
    return (double)(*seed >> 8) / (double)(1u << 24) * 2.0 - 1.0;
}

// Adds one plucked note of `freqs` (a chord) into `out` from `start` for `length` samples.
void pluck(std::vector<double>& out, double rate, size_t start, size_t length, const std::vector<double>& freqs,
           double level, double loss, uint32_t* seed) {
    for (double f : freqs) {
        plucked_string s;
        s.loss = loss;
        s.line.resize(std::max<size_t>(2, (size_t)std::lround(rate / f)));
        // Brightness of the pick: the noise burst is smoothed once.
        double prev = 0.0;
        for (double& v : s.line) {
            double n = next_noise(seed);
            v = 0.5 * (n + prev);
            prev = n;
        }
        const double fade = 0.005 * rate;
        for (size_t n = 0; n < length && start + n < out.size(); ++n) {
            size_t next = (s.pos + 1) % s.line.size();
            double y = s.line[s.pos];
            s.line[s.pos] = s.loss * 0.5 * (y + s.line[next]);
            s.pos = next;
            // A short fade at the end stands for the string being damped.
            double gain = n + fade > length ? (double)(length - n) / fade : 1.0;
            out[start + n] += level * gain * y;
        }
    }
}

}  // namespace

std::vector<float> demo_signal(double rate) {
    const double beat = 0.25;  // seconds per eighth note
    struct note {
        double beats;
        std::vector<double> freqs;
        bool muted;
    };
    // E minor riff on power chords (root and fifth), then a ringing E5 with octave.
    const double e2 = 82.41, g2 = 98.0, a2 = 110.0, d3 = 146.83;
    auto power = [](double root) { return std::vector<double>{root, root * 1.4983}; };
    const std::vector<note> riff = {
        {1, power(e2), true},  {1, power(e2), true}, {2, power(g2), false}, {1, power(e2), true},
        {1, power(e2), true},  {2, power(a2), false}, {1, power(e2), true}, {1, power(e2), true},
        {1, power(g2), false}, {1, power(a2), false}, {2, power(d3), false},
        {8, {e2, e2 * 1.4983, e2 * 2.0}, false},
    };
    double phrase_seconds = 0.0;
    for (const note& n : riff) phrase_seconds += n.beats * beat;

    const double gap_seconds = 0.5;
    const double sweep_seconds = 4.0;
    const size_t total = (size_t)((phrase_seconds + gap_seconds + sweep_seconds) * rate);
    std::vector<double> mix(total, 0.0);

    uint32_t seed = 0x5eed1234u;
    double t = 0.0;
    for (const note& n : riff) {
        size_t start = (size_t)(t * rate);
        size_t length = (size_t)(n.beats * beat * rate);
        // A palm-muted note loses its energy quickly.
        pluck(mix, rate, start, length, n.freqs, 0.35, n.muted ? 0.95 : 0.997, &seed);
        t += n.beats * beat;
    }

    // Exponential sweep from 20 Hz to 20 kHz (or just below Nyquist), 10 ms fades.
    const size_t sweep_start = (size_t)((phrase_seconds + gap_seconds) * rate);
    const size_t sweep_len = total - sweep_start;
    const double f0 = 20.0, f1 = std::min(20000.0, 0.45 * rate);
    const double k = std::log(f1 / f0);
    const double fade = 0.01 * rate;
    for (size_t n = 0; n < sweep_len; ++n) {
        double ts = (double)n / rate;
        double phase = 2.0 * M_PI * f0 * sweep_seconds / k * (std::exp(ts / sweep_seconds * k) - 1.0);
        double gain = std::min({1.0, (double)n / fade, (double)(sweep_len - n) / fade});
        mix[sweep_start + n] = 0.5 * gain * std::sin(phase);
    }

    // The phrase is scaled to a peak of 0.5 like the sweep.
    double peak = 0.0;
    for (size_t n = 0; n < sweep_start; ++n) peak = std::max(peak, std::fabs(mix[n]));
    const double scale = peak > 0.0 ? 0.5 / peak : 1.0;
    std::vector<float> out(total);
    for (size_t n = 0; n < total; ++n) out[n] = (float)(n < sweep_start ? mix[n] * scale : mix[n]);
    return out;
}
