// The pieces of the signal path that the per-sample path and the block path both run,
// so that the two do the same operations in the same order.
#pragma once

#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"
#include "dsp/stages.h"

DSP_INLINE float run_highpass(const highpass_coeffs* hp, float* s, float x)
{
    const float y = hp->b0 * x + *s;
    *s = hp->b1 * x - hp->a1 * y;
    return y;
}

// Gain of 4 and the input coupling high-passes; x is already finite.
DSP_INLINE float path_input(overdrive_dsp* dsp, float x)
{
    const float x4 = x * 4.0f;
    const float y1 = run_highpass(&dsp->in_hp1, &dsp->in_hp1_s, x4);
    return run_highpass(&dsp->in_hp2, &dsp->in_hp2_s, y1);
}

// One oversampled sample through drive, trim and tone, with the stage coefficients `cs`
// and `ts` as they stand.
template <class C, class T>
DSP_INLINE float oversampled_step(const C* cs, float* clip_state, smoother* heat_gain,
                                  const T* ts, float* tone_state, float s)
{
    const float v = clip_run(cs, clip_state, s);
    smoother_run(heat_gain);
    const float g = heat_gain->value * v;
    return tone_run(ts, tone_state, g);
}

// The loudness compensation of the last mix value, while that value stays the same to
// the bit (as it does once the mix glide has come to rest).
struct compensation_cache {
    bool valid;
    uint32_t mix_bits;
    float comp;
};

// Output high-passes on the oversampled section's result w, mix with loudness
// compensation, volume and bypass; x is the finite input sample.
DSP_INLINE float path_output(overdrive_dsp* dsp, float x, float w, compensation_cache* cache)
{
    const float x4 = x * 4.0f;
    const float y3 = run_highpass(&dsp->out_hp1, &dsp->out_hp1_s, w);
    const float y4 = run_highpass(&dsp->out_hp2, &dsp->out_hp2_s, y3);

    smoother_run(&dsp->mix);
    const float m = dsp->mix.value;
    // Loudness compensation, about 3.5505533·e^(−2.703428·m) + 0.7621998.
    if (!cache->valid || cache->mix_bits != bits_of(m)) {
        const float comp = fast_pow2(m * -2.70342803f * 1.44269502f) * 3.55055332f + 0.762199819f;
        *cache = {true, bits_of(m), comp};
    }
    const float comp = cache->comp;
    // The dry part is the gained input, not the high-passed one.
    const float mixed = (y4 - x4) * m + x4;
    smoother_run(&dsp->volume);
    smoother_run(&dsp->bypass);
    return (dsp->volume.value * (comp * mixed) - x) * dsp->bypass.value + x;
}
