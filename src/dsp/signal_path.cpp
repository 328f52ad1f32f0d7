// The per-sample signal path: input gain and coupling high-passes, the oversampled
// drive, trim and tone section, output high-passes, mix with loudness compensation,
// volume and the bypass crossfade.
#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"
#include "dsp/resampler.h"
#include "dsp/stages.h"

namespace {

inline float run_highpass(const highpass_coeffs* hp, float* s, float x)
{
    const float y = hp->b0 * x + *s;
    *s = hp->b1 * x - hp->a1 * y;
    return y;
}

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
    const float v = clip_run(cs, dsp->clip_state, s);
    smoother_run(&dsp->heat_gain);
    const float g = dsp->heat_gain.value * v;
    tone_stage* ts = &dsp->tone_stage;
    if (tone_update_controls(ts, false))
        dsp->tone_settled = 0;
    if (!skip_settled || dsp->tone_settled < 2) {
        tone_update_coeffs(ts);
        dsp->tone_settled += dsp->tone_settled < 2;
    }
    return tone_run(ts, dsp->tone_state, g);
}

template <bool skip_settled>
inline float process_sample(overdrive_dsp* dsp, float x)
{
    x = finite_or_zero(x);
    const float x4 = x * 4.0f;
    const float y1 = run_highpass(&dsp->in_hp1, &dsp->in_hp1_s, x4);
    const float y2 = run_highpass(&dsp->in_hp2, &dsp->in_hp2_s, y1);

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

    const float y3 = run_highpass(&dsp->out_hp1, &dsp->out_hp1_s, w);
    const float y4 = run_highpass(&dsp->out_hp2, &dsp->out_hp2_s, y3);

    smoother_run(&dsp->mix);
    const float m = dsp->mix.value;
    // Loudness compensation, about 3.5505533·e^(−2.703428·m) + 0.7621998.
    const float comp = fast_pow2(m * -2.70342803f * 1.44269502f) * 3.55055332f + 0.762199819f;
    // The dry part is the gained input, not the high-passed one.
    const float mixed = (y4 - x4) * m + x4;
    smoother_run(&dsp->volume);
    smoother_run(&dsp->bypass);
    return (dsp->volume.value * (comp * mixed) - x) * dsp->bypass.value + x;
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
