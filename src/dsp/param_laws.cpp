// The parameter laws: plain values in their own units become the targets that the
// smoothers and stage controls glide toward. Nothing here touches a smoothed value.
#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"

namespace {

// The Tone curve at steps of 5 %; the last two entries are equal so that the entry
// after the index stays inside the table at 100.
constexpr float tone_taper[22] = {
    0.0f,         0.0742930993f, 0.116186999f, 0.142770007f, 0.180259004f, 0.239613995f,
    0.369825006f, 0.595395029f,  0.757983029f, 0.844385982f, 0.893213987f, 0.91928798f,
    0.94441098f,  0.953083992f,  0.957435012f, 0.962373018f, 0.967974007f, 0.974328995f,
    0.981539011f, 0.989718974f,  1.0f,         1.0f,
};

void set_drive(overdrive_dsp* dsp, float value)
{
    const float x = value * 0.0331855714f - 3.16617894f;
    const float p = fast_pow2(x);
    dsp->clip_stage.target_drive = min_f(max_f(p - 0.032142859f, 0.0f), 1.0f);
}

void set_tone(overdrive_dsp* dsp, float value)
{
    const float t = value * 0.199999988f;
    int32_t i = trunc_to_i32(t);
    // Never outside the curve, whatever the value.
    if (i < 0)
        i = 0;
    else if (i > 20)
        i = 20;
    const float f = t - static_cast<float>(i);
    const float v = tone_taper[i] + (tone_taper[i + 1] - tone_taper[i]) * f;
    dsp->tone_stage.target_tone = min_f(max_f(v, 0.001f), 0.999f);
}

// About 10^(0.6 − 0.012·Heat) on both capacitors, with a level trim that keeps the
// loudness roughly even.
void set_heat(overdrive_dsp* dsp, float value)
{
    const float h = fast_pow2(-0.0398631357f * value + 1.99315691f);
    dsp->clip_stage.target_cap1_scale = 720.484131f * h;
    dsp->clip_stage.target_cap2_scale = 5663.67529f * h;
    dsp->heat_gain.target = (4.771561e-05f * value - 0.0102612609f) * value + 1.39377403f;
}

// (49^(Mix/100) − 1) / 48.
void set_mix(overdrive_dsp* dsp, float value)
{
    const float x = value * 0.0561470985f - 5.58496237f;
    dsp->mix.target = fast_pow2(x) - 0.020833334f;
}

// −24·e dB after the input gain of 4, silence below 0.1.
void set_volume(overdrive_dsp* dsp, float value)
{
    const float v = value * 0.00999999978f;
    if (v < 0.001f) {
        dsp->volume.target = 0.0f;
        return;
    }
    const float e = v < 0.1f ? fast_rcp(v) * 0.00999999978f + 0.800000012f : 1.0f - v;
    const float x = e * -1.20000005f * 3.32192802f;
    dsp->volume.target = fast_pow2(x) * 0.25f;
}

void set_bypass(overdrive_dsp* dsp, float value)
{
    dsp->bypass.target = value >= 0.5f ? 0.0f : 1.0f;
}

} // namespace

void dsp_set_param(overdrive_dsp* dsp, int32_t index, float value)
{
    if (index < 0 || index >= dsp_param_count)
        return;
    if (index != 5) {
        // A NaN or an out-of-range value would drive a law to infinity and poison its
        // smoother for good (value − target stays NaN). A NaN keeps the last target;
        // anything else is held to the plain range, which leaves in-range values as
        // they are.
        if (value != value)
            return;
        value = min_f(max_f(value, 0.0f), index == 4 ? 200.0f : 100.0f);
    } else {
        // Bypass is a toggle; a NaN counts as off (the processed sound).
        value = value >= 0.5f ? 1.0f : 0.0f;
    }
    dsp->dsp_values[index] = value;
    switch (index) {
    case 0: set_drive(dsp, value); break;
    case 1: set_tone(dsp, value); break;
    case 2: set_heat(dsp, value); break;
    case 3: set_mix(dsp, value); break;
    case 4: set_volume(dsp, value); break;
    case 5: set_bypass(dsp, value); break;
    }
}
