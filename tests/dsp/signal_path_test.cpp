// The signal path end to end, and the drive stage's rails on their own.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "dsp/overdrive_dsp.h"
#include "dsp/stages.h"
#include "dsp_test_support.h"

namespace {

// Peak output over the second half of one second of a sine.
double sine_peak(overdrive_dsp* dsp, float rate, float freq, float amplitude)
{
    process_fp_mode mode;
    double peak = 0;
    const int length = static_cast<int>(rate);
    for (int n = 0; n < length; n++) {
        const float x = amplitude * static_cast<float>(std::sin(2 * M_PI * freq * n / rate));
        const float y = dsp_process_sample(dsp, x);
        if (n > length / 2)
            peak = std::fmax(peak, std::fabs(y));
    }
    return peak;
}

} // namespace

TEST(signal_path, silence_gives_exactly_zero)
{
    const float settings[][6] = {
        {50.0f, 50.0f, 50.0f, 100.0f, 100.0f, 0.0f},
        {100.0f, 0.0f, 100.0f, 100.0f, 200.0f, 0.0f},
        {0.0f, 100.0f, 0.0f, 30.0f, 10.0f, 0.0f},
    };
    for (float rate : {44100.0f, 96000.0f, 192000.0f, 11025.0f}) {
        for (const auto& p : settings) {
            overdrive_dsp dsp;
            make_dsp(&dsp, rate, p);
            process_fp_mode mode;
            for (int n = 0; n < 2000; n++) {
                // Glides running while silent must not produce an offset either.
                if (n == 500)
                    dsp_set_param(&dsp, 0, 100.0f - p[0]);
                ASSERT_EQ(dsp_process_sample(&dsp, 0.0f), 0.0f) << rate << " " << n;
            }
        }
    }
}

TEST(signal_path, dry_mix_is_the_gained_input_with_its_loudness_compensation)
{
    // Mix 0, Volume 100: x·4 times comp(0) 4.3128 times 0.25 is 4.3128·x; the Mix
    // target of about −1.25e-5 lets a trace of the wet path through (at most about
    // 1.25e-5 · 4 · 4.3 · 0.25 · the wet level).
    const float params[6] = {50.0f, 50.0f, 50.0f, 0.0f, 100.0f, 0.0f};
    overdrive_dsp dsp;
    make_dsp(&dsp, 44100.0f, params);
    process_fp_mode mode;
    for (int n = 0; n < 4000; n++) {
        const float x = test_signal(n, 44100.0f);
        const float y = dsp_process_sample(&dsp, x);
        ASSERT_NEAR(y, 4.3128f * x, 1e-3f * std::fabs(x) + 5e-5f) << n;
    }
}

TEST(signal_path, bypass_converges_to_exactly_the_input)
{
    overdrive_dsp dsp;
    make_dsp(&dsp, 44100.0f);
    process_fp_mode mode;
    for (int n = 0; n < 2205; n++)
        dsp_process_sample(&dsp, test_signal(n, 44100.0f));
    dsp_set_param(&dsp, 5, 1.0f);
    // A crossfade, not a switch: 1 ms later the processed sound is still mostly there.
    for (int n = 2205; n < 2250; n++)
        dsp_process_sample(&dsp, test_signal(n, 44100.0f));
    EXPECT_GT(dsp.bypass.value, 0.9f);
    // Measured: the last sample that differs comes 1.2 s after the switch. The factor
    // itself decays by e every 50 ms and is flushed to zero after about 4.4 s.
    for (int n = 2250; n < 44100 * 2; n++)
        dsp_process_sample(&dsp, test_signal(n, 44100.0f));
    for (int n = 44100 * 2; n < 44100 * 6; n++) {
        const float x = test_signal(n, 44100.0f);
        ASSERT_EQ(float_bits(dsp_process_sample(&dsp, x)), float_bits(x)) << n;
    }
    EXPECT_EQ(dsp.bypass.value, 0.0f);
}

TEST(signal_path, small_signal_gain_is_the_same_at_every_rate)
{
    // Each rate has its own factor N, corner frequencies and bilinear constants, yet
    // the circuit is the same: at 1 kHz the gain agrees within 0.2 dB (measured 0.01,
    // 0.12 at 11025 Hz where 1 kHz is close to the input's Nyquist band edge).
    for (float drive : {0.0f, 100.0f}) {
        const float params[6] = {drive, 50.0f, 50.0f, 100.0f, 100.0f, 0.0f};
        overdrive_dsp ref;
        make_dsp(&ref, 44100.0f, params);
        const double ref_db = 20 * std::log10(sine_peak(&ref, 44100.0f, 1000.0f, 1e-4f) / 1e-4);
        for (float rate : {48000.0f, 88200.0f, 96000.0f, 176400.0f, 192000.0f, 22050.0f, 11025.0f}) {
            overdrive_dsp dsp;
            make_dsp(&dsp, rate, params);
            const double db = 20 * std::log10(sine_peak(&dsp, rate, 1000.0f, 1e-4f) / 1e-4);
            EXPECT_NEAR(db, ref_db, 0.2) << rate << " drive " << drive;
        }
    }
}

TEST(signal_path, drive_stage_stops_at_asymmetric_rails)
{
    overdrive_dsp dsp;
    make_dsp(&dsp, 44100.0f);
    clip_stage* cs = &dsp.clip_stage;
    float state[4] = {};
    process_fp_mode mode;
    // A large input holds the stage's output exactly on a rail, 3.92 up, −3.12 down.
    float top = 0.0f, bottom = 0.0f;
    for (int n = 0; n < 400; n++) {
        const float s = n < 200 ? 50.0f : -50.0f;
        clip_update_controls(cs, false);
        clip_update_coeffs(cs);
        const float v = clip_run(cs, state, s);
        if (n == 199)
            top = v;
        if (n == 399)
            bottom = v;
    }
    EXPECT_EQ(top, 3.92f);
    EXPECT_EQ(bottom, -3.12f);
    // A small input stays between the rails and comes out amplified.
    float quiet[4] = {};
    float v = 0.0f;
    for (int n = 0; n < 50; n++)
        v = clip_run(cs, quiet, 0.01f);
    EXPECT_GT(std::fabs(v), 0.01f);
    EXPECT_LT(std::fabs(v), 3.12f);
}

TEST(signal_path, drive_stage_small_signal_gain_matches_its_circuit)
{
    // Independent reference: the non-inverting op-amp stage with R_drive ∥ C2 in the
    // feedback and 4.7 kΩ in series with C1 to ground,
    // H(s) = 1 + s·R·C1 / ((1 + s·R·C2)(1 + s·4700·C1)). Below the diodes' knee the
    // stage follows it; the diodes' conductance and the bilinear mapping cost up to
    // 0.3 dB (measured).
    for (float drive : {0.0f, 100.0f}) {
        for (float heat : {0.0f, 50.0f, 100.0f}) {
            const float params[6] = {drive, 50.0f, heat, 100.0f, 100.0f, 0.0f};
            overdrive_dsp dsp;
            make_dsp(&dsp, 44100.0f, params);
            const clip_stage* cs = &dsp.clip_stage;
            for (double f : {50.0, 1000.0, 10000.0}) {
                float state[4] = {};
                process_fp_mode mode;
                const int length = static_cast<int>(cs->rate / f * 30) + 20000;
                double peak = 0;
                for (int n = 0; n < length; n++) {
                    const float x = 1e-4f * static_cast<float>(std::sin(2 * M_PI * f * n / cs->rate));
                    const float v = clip_run(cs, state, x);
                    if (n > length / 2)
                        peak = std::fmax(peak, std::fabs(v));
                }
                const std::complex<double> s(0, 2 * M_PI * f);
                const double r = cs->r_drive, c1 = cs->c1, c2 = cs->c2;
                const double analog = std::abs(1.0 + s * r * c1 / ((1.0 + s * r * c2) * (1.0 + s * 4700.0 * c1)));
                EXPECT_NEAR(20 * std::log10(peak / 1e-4), 20 * std::log10(analog), 0.4)
                    << "drive " << drive << " heat " << heat << " f " << f;
            }
        }
    }
}

TEST(signal_path, parameter_changes_glide)
{
    overdrive_dsp dsp;
    make_dsp(&dsp, 44100.0f);
    process_fp_mode mode;
    // Drive glides with 5 ms and snaps onto its target; after that the control update
    // stops and the drive resistance holds still.
    dsp_set_param(&dsp, 0, 100.0f);
    dsp_process_sample(&dsp, 0.1f);
    EXPECT_LT(dsp.clip_stage.drive, 0.5f);
    int snapped_at = -1;
    for (int n = 1; n < 44100 && snapped_at < 0; n++) {
        dsp_process_sample(&dsp, 0.1f);
        if (dsp.clip_stage.drive == 1.0f)
            snapped_at = n;
    }
    // From 0.32 to within 0.001 of 1: ln(680) ≈ 6.5 time constants of 5 ms.
    ASSERT_GT(snapped_at, 0);
    EXPECT_NEAR(snapped_at / 44100.0, 6.5 * 0.005, 0.005);
    const float r_drive = dsp.clip_stage.r_drive;
    EXPECT_EQ(r_drive, 551000.0f);
    for (int n = 0; n < 100; n++)
        dsp_process_sample(&dsp, 0.1f);
    EXPECT_EQ(dsp.clip_stage.r_drive, r_drive);

    // Volume glides with 50 ms: after 50 ms 1 − 1/e of the step is done.
    const float from = dsp.volume.value;
    dsp_set_param(&dsp, 4, 50.0f);
    const float to = dsp.volume.target;
    for (int n = 0; n < 2205; n++)
        dsp_process_sample(&dsp, 0.1f);
    EXPECT_NEAR((dsp.volume.value - from) / (to - from), 1 - std::exp(-1.0), 0.01);
}
