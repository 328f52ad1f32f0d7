// The demo plots' measurements, checked on signals whose answers are known in closed form.
#include <gtest/gtest.h>

#include <cmath>

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

}  // namespace
