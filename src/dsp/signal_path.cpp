// The per-sample signal path: input gain and coupling high-passes, the oversampled
// drive, trim and tone section, output high-passes, mix with loudness compensation,
// volume and the bypass crossfade.
#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"
#include "dsp/resampler.h"
#include "dsp/signal_path.h"
#include "dsp/stages.h"

namespace {

// One oversampled sample through drive, trim and tone. With skip_settled, a stage
// whose controls have rested for two updates keeps its coefficients: recomputing them
// from the same inputs would give the same bits.
template <bool skip_settled>
inline float run_stage(overdrive_dsp* dsp, float s)
{
    clip_stage* cs = &dsp->clip_stage;
    if (clip_update_controls(cs, false))
        dsp->clip_settled = 0;
    if (!skip_settled || dsp->clip_settled < 2) {
        clip_update_coeffs(cs);
        dsp->clip_settled += dsp->clip_settled < 2;
    }
    tone_stage* ts = &dsp->tone_stage;
    if (tone_update_controls(ts, false))
        dsp->tone_settled = 0;
    if (!skip_settled || dsp->tone_settled < 2) {
        tone_update_coeffs(ts);
        dsp->tone_settled += dsp->tone_settled < 2;
    }
    return oversampled_step(cs, dsp->clip_state, &dsp->heat_gain, ts, dsp->tone_state, s);
}

template <bool skip_settled>
inline float process_sample(overdrive_dsp* dsp, float x)
{
    x = finite_or_zero(x);
    const float y2 = path_input(dsp, x);

    float w;
    const int32_t n = dsp->oversampling;
    if (n < 2) {
        w = run_stage<skip_settled>(dsp, y2);
    } else {
        resampler_process(&dsp->upsampler, &dsp->upsampler_state, &y2, dsp->work, 1);
        for (int32_t j = 0; j < n; j++)
            dsp->work[j] = run_stage<skip_settled>(dsp, dsp->work[j]);
        w = 0.0f;
        resampler_process(&dsp->downsampler, &dsp->downsampler_state, dsp->work, &w, n);
    }
    compensation_cache cache{};
    return path_output(dsp, x, w, &cache);
}

} // namespace

float dsp_process_sample(overdrive_dsp* dsp, float x)
{
    return process_sample<true>(dsp, x);
}

float dsp_process_sample_plain(overdrive_dsp* dsp, float x)
{
    return process_sample<false>(dsp, x);
}
