// Recovery from non-finite values at the end of a block. Only the filter states can
// take one up: the controls and coefficients follow the parameter targets, which the
// setter keeps finite, so a NaN that got into the signal would otherwise circulate in
// the filters' feedback for good.
#include "dsp/fast_math.h"
#include "dsp/overdrive_dsp.h"

namespace {

bool all_finite(const float* s, int n)
{
    for (int i = 0; i < n; i++)
        if (finite_or_zero(s[i]) != s[i])
            return false;
    return true;
}

// A filter's state values belong together: one of them non-finite leaves the others
// meaningless, so the whole filter restarts.
void restart_if_not_finite(float* s, int n)
{
    if (all_finite(s, n))
        return;
    for (int i = 0; i < n; i++)
        s[i] = 0.0f;
}

void restart_resampler_if_not_finite(resampler_state* st)
{
    if (all_finite(st->z1, resampler_sections) && all_finite(st->z2, resampler_sections))
        return;
    for (int i = 0; i < resampler_sections; i++) {
        st->z1[i] = 0.0f;
        st->z2[i] = 0.0f;
    }
}

} // namespace

void dsp_recover(overdrive_dsp* dsp, float* out, int32_t count)
{
    restart_if_not_finite(&dsp->in_hp1_s, 1);
    restart_if_not_finite(&dsp->in_hp2_s, 1);
    restart_resampler_if_not_finite(&dsp->upsampler_state);
    restart_if_not_finite(dsp->clip_state, 4);
    restart_if_not_finite(dsp->tone_state, 4);
    restart_resampler_if_not_finite(&dsp->downsampler_state);
    restart_if_not_finite(&dsp->out_hp1_s, 1);
    restart_if_not_finite(&dsp->out_hp2_s, 1);
    // The work area holds no state, but no NaN is left anywhere in the record.
    for (float& w : dsp->work)
        w = finite_or_zero(w);
    for (int32_t n = 0; n < count; n++)
        out[n] = finite_or_zero(out[n]);
}
