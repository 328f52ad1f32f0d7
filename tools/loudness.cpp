#include "loudness.h"

#include <cmath>

namespace {

struct biquad {
    double b0, b1, b2, a1, a2;
    double z1 = 0, z2 = 0;

    double run(double x)
    {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

// The two K-weighting stages at any rate, from the analog prototypes whose bilinear
// transforms at 48 kHz are the standard's published coefficients.
biquad shelf_stage(double rate)
{
    const double f0 = 1681.974450955533, gain_db = 3.999843853973347, q = 0.7071752369554196;
    const double k = std::tan(M_PI * f0 / rate);
    const double vh = std::pow(10.0, gain_db / 20.0), vb = std::pow(vh, 0.4996667741545416);
    const double a0 = 1.0 + k / q + k * k;
    return {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
            2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
}

biquad highpass_stage(double rate)
{
    const double f0 = 38.13547087602444, q = 0.5003270373238773;
    const double k = std::tan(M_PI * f0 / rate);
    const double a0 = 1.0 + k / q + k * k;
    return {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
}

double lufs(double mean_square) { return -0.691 + 10.0 * std::log10(mean_square); }

} // namespace

double integrated_loudness(const std::vector<float>& samples, double rate)
{
    biquad shelf = shelf_stage(rate), highpass = highpass_stage(rate);
    std::vector<double> squares(samples.size());
    for (size_t i = 0; i < samples.size(); i++) {
        const double y = highpass.run(shelf.run(samples[i]));
        squares[i] = y * y;
    }
    const size_t block = (size_t)std::llround(0.4 * rate), step = (size_t)std::llround(0.1 * rate);
    std::vector<double> blocks;
    for (size_t start = 0; start + block <= squares.size(); start += step) {
        double sum = 0;
        for (size_t i = start; i < start + block; i++)
            sum += squares[i];
        blocks.push_back(sum / (double)block);
    }
    const auto gated_mean = [&](double gate) {
        double sum = 0;
        size_t count = 0;
        for (double z : blocks)
            if (lufs(z) > gate) {
                sum += z;
                count++;
            }
        return count ? sum / (double)count : 0.0;
    };
    const double ungated = gated_mean(-70.0);
    if (ungated <= 0.0)
        return -INFINITY;
    const double loudness = gated_mean(lufs(ungated) - 10.0);
    return loudness > 0.0 ? lufs(loudness) : -INFINITY;
}
