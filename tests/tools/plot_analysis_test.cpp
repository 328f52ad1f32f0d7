// The demo plots' measurements, checked on signals whose answers are known in closed form.
#include <gtest/gtest.h>

#include <cmath>

#include "loudness.h"
#include "plot_analysis.h"

namespace {

const double rate = 48000;

TEST(plot_analysis, window_levels_read_a_full_scale_sine_as_zero_decibels)
{
    // 1 kHz at 48 kHz: 48 samples per cycle, so a 960-sample window holds 20 whole cycles.
    auto full = window_levels_db(sine_signal(1000, 1.0, 0.1, rate), 960);
    auto half = window_levels_db(sine_signal(1000, 0.5, 0.1, rate), 960);
    ASSERT_EQ(full.size(), 5u);
    for (size_t i = 0; i < full.size(); i++) {
        EXPECT_NEAR(full[i], 0.0, 1e-6);
        EXPECT_NEAR(half[i], 20 * std::log10(0.5), 1e-6);  // -6.02 dB
    }
}

TEST(plot_analysis, level_ramp_rises_evenly_in_decibels)
{
    auto ramp = level_ramp_signal(1000, -60, 0, 2.0, rate);
    auto levels = window_levels_db(ramp, 960);
    ASSERT_EQ(levels.size(), 100u);
    // 60 dB over 100 windows: 0.6 dB per window, the first window centred near -59.7 dB.
    EXPECT_NEAR(levels.front(), -59.7, 0.05);
    EXPECT_NEAR(levels.back(), -0.3, 0.05);
    for (size_t i = 1; i < levels.size(); i++)
        EXPECT_NEAR(levels[i] - levels[i - 1], 0.6, 0.01);
}

TEST(plot_analysis, spectrum_reads_amplitudes_of_sines_off_the_bin_grid)
{
    // 1 kHz and 3 kHz fall between bins of a 32768-point transform at 48 kHz (1.46 Hz per
    // bin): the energy sum over the window's spread must still give the amplitudes.
    std::vector<float> mix = sine_signal(1000, 0.5, 1.0, rate);
    std::vector<float> third = sine_signal(3000, 0.01, 1.0, rate);
    for (size_t i = 0; i < mix.size(); i++)
        mix[i] += third[i];
    spectrum s = spectrum_of(mix, 4000, 32768, rate);
    ASSERT_EQ(s.frequency.size(), 16385u);
    EXPECT_DOUBLE_EQ(s.frequency[1], rate / 32768);
    EXPECT_NEAR(component_amplitude(s, 1000, 8), 0.5, 0.5 * 0.005);
    EXPECT_NEAR(component_amplitude(s, 3000, 8), 0.01, 0.01 * 0.005);
    // Far from both tones the window's sidelobes leave nothing above -120 dB.
    EXPECT_LT(component_amplitude(s, 7000, 8), 1e-6);
    // The peak bin of the louder tone reads its level within the window's scalloping loss.
    double peak = -300;
    for (size_t k = 0; k < s.frequency.size(); k++)
        if (std::fabs(s.frequency[k] - 1000) < 5)
            peak = std::max(peak, s.level_db[k]);
    EXPECT_NEAR(peak, 20 * std::log10(0.5), 1.0);
}

TEST(loudness, reads_the_standards_calibration_tone_at_any_rate_and_gates_silence_and_quiet_parts)
{
    // BS.1770's calibration: a 0 dBFS 997 Hz sine in one channel reads -3.01 LKFS.
    for (double r : {44100.0, 48000.0, 96000.0}) {
        const std::vector<float> tone = sine_signal(997, 1.0, 3.0, r);
        EXPECT_NEAR(integrated_loudness(tone, r), -3.01, 0.02) << r;
        // A tenth of the amplitude, 20 dB less.
        EXPECT_NEAR(integrated_loudness(sine_signal(997, 0.1, 3.0, r), r), -23.01, 0.02) << r;
    }
    // Silence after the tone is gated out (below -70 LUFS); a part 30 dB quieter falls
    // under the relative gate, 10 LU below the loud part, and does not count either.
    std::vector<float> tone = sine_signal(997, 0.5, 3.0, rate), with_silence = tone, with_quiet = tone;
    with_silence.resize(tone.size() * 2, 0.0f);
    for (float v : sine_signal(997, 0.5 / 31.6, 3.0, rate))
        with_quiet.push_back(v);
    // What still counts are the three 400 ms blocks across the end of the tone, holding
    // 3/4, 1/2 and 1/4 of it, beside its own 27: (27 + 1.5) / 30 of its power, -0.22 dB.
    const double alone = integrated_loudness(tone, rate), with_edge = alone + 10 * std::log10(28.5 / 30);
    EXPECT_NEAR(integrated_loudness(with_silence, rate), with_edge, 0.01);
    EXPECT_NEAR(integrated_loudness(with_quiet, rate), with_edge, 0.01);
    // The K-weighting: 20 Hz counts far less than 1 kHz; 8 kHz sits near the shelf's
    // +4 dB, 997 Hz at the +0.69 dB that the -0.691 of the formula takes off: 3.3 dB apart.
    EXPECT_LT(integrated_loudness(sine_signal(20, 0.5, 3.0, rate), rate), alone - 10);
    EXPECT_NEAR(integrated_loudness(sine_signal(8000, 0.5, 3.0, rate), rate) - alone, 3.3, 0.15);
    EXPECT_EQ(integrated_loudness(std::vector<float>(48000, 0.0f), rate), -INFINITY);
}

}  // namespace
