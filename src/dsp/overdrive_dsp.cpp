// Construction defaults and activation: every rate-dependent coefficient, the
// oversampling factor, and the reset of all filter states.
#include "dsp/overdrive_dsp.h"

#include <cstring>
#include <initializer_list>

#include "dsp/arch.h"
#include "dsp/fast_math.h"
#include "dsp/stages.h"

namespace {

// Time constants: 5 ms for the stage controls, 50 ms for the level smoothers.
constexpr float stage_cutoff = 31.8309746f;
constexpr float stage_threshold = 0.001f;
constexpr float level_cutoff = 3.18309712f;

// The rate used when the host gives none or a meaningless one (0 before
// setupProcessing, negative, NaN, infinite): every coefficient stays finite and the
// instance plays. Other rates are held between 1 Hz and 100 MHz.
constexpr float fallback_rate = 44100.0f;
// Far beyond any audio rate, yet well inside the range where the stages' reciprocals
// and bilinear constants stay finite (they break down near 1e11).
constexpr float highest_rate = 1.0e8f;
constexpr float lowest_rate = 1.0f;

float sanitised_rate(float fs)
{
    if (!(fs > 0.0f) || fs > 3.40282347e38f)
        return fallback_rate;
    return min_f(max_f(fs, lowest_rate), highest_rate);
}

void design_highpass(highpass_coeffs* hp, float corner, float fmax, float inv_fs)
{
    const float fc = min_f(corner, fmax);
    // The constant corner, not the clamped one, scales the prewarped tangent.
    const float h = corner * fast_tan_half(fc, inv_fs);
    const float d = fast_rcp(fc + h);
    hp->b0 = d * fc;
    hp->b1 = -hp->b0;
    hp->a1 = (h - fc) * d;
}

// ceil(176400 / fs) capped at 16, formed in float so that no huge quotient reaches an
// integer conversion.
int32_t oversampling_factor(float fs)
{
    const float q = 176400.0f / fs;
    if (!(q < 16.0f))
        return dsp_max_oversampling;
    int32_t n = trunc_to_i32(q);
    if (static_cast<float>(n) < q)
        n += 1;
    return n;
}

// The clip and tone stages run at the oversampled rate: their control glide and the
// rate terms of their networks.
template <typename Stage>
void set_stage_rate(Stage* st, float os_rate)
{
    st->rate_over_2pi = os_rate * 0.159154937f;
    st->coeff = smoother_coeff(st->cutoff, st->rate_over_2pi);
    st->threshold_sq = st->threshold * st->threshold;
    st->rate = os_rate;
    st->inv_rate = 1.0f / os_rate;
    st->max_freq = 0.499f * os_rate;
}

void start_smoother(smoother* s)
{
    s->coeff = smoother_coeff(s->cutoff, s->rate_over_2pi);
    s->threshold_sq = s->threshold * s->threshold;
    s->value = s->target;
}

} // namespace

void dsp_init(overdrive_dsp* dsp)
{
    std::memset(dsp, 0, sizeof *dsp);
    dsp->clip_stage.cutoff = stage_cutoff;
    dsp->clip_stage.threshold = stage_threshold;
    dsp->tone_stage.cutoff = stage_cutoff;
    dsp->tone_stage.threshold = stage_threshold;
    for (smoother* s : {&dsp->heat_gain, &dsp->mix, &dsp->volume, &dsp->bypass}) {
        s->cutoff = level_cutoff;
        s->threshold = 0.0f;
        s->target = 1.0f;
    }
    dsp->tone_stage.target_tone = 0.5f;
    dsp->tone_stage.target_cap_scale = 1.0f;
    dsp->activation_rate = 0.0f;
    // The eight-lane code of the block path needs AVX2 on x86-64; aarch64 always has it.
    dsp->block_lanes = arch_has_eight_lanes() ? 8 : 4;
    dsp->block_evex = arch_has_eight_lane_evex();
}

void dsp_activate(overdrive_dsp* dsp, float sample_rate)
{
    const float fs = sanitised_rate(sample_rate);
    const float fmax = 0.499f * fs;
    const float inv_fs = fast_rcp(fs);

    design_highpass(&dsp->in_hp1, 7.09f, fmax, inv_fs);
    design_highpass(&dsp->in_hp2, 15.52f, fmax, inv_fs);

    const int32_t n = oversampling_factor(fs);
    dsp->oversampling = n;
    const float nf = static_cast<float>(n);
    if (n >= 2) {
        const float g = fast_rcp(nf - 0.486470938f) * (1.24563992f * nf - 0.83545053f);
        resampler_design(&dsp->upsampler, n, g);
        resampler_design(&dsp->downsampler, -n, g);
    }

    const float os_rate = nf * fs;
    clip_stage* cs = &dsp->clip_stage;
    set_stage_rate(cs, os_rate);

    dsp->heat_gain.rate_over_2pi = os_rate * 0.159154937f;

    tone_stage* ts = &dsp->tone_stage;
    set_stage_rate(ts, os_rate);

    design_highpass(&dsp->out_hp1, 3.12f, fmax, inv_fs);
    design_highpass(&dsp->out_hp2, 1.59f, fmax, inv_fs);

    for (smoother* s : {&dsp->mix, &dsp->volume, &dsp->bypass})
        s->rate_over_2pi = fs * 0.159154937f;

    dsp->activation_rate = fs;

    dsp->in_hp1_s = 0.0f;
    dsp->in_hp2_s = 0.0f;
    if (n >= 2) {
        std::memset(&dsp->upsampler_state, 0, sizeof dsp->upsampler_state);
        std::memset(&dsp->downsampler_state, 0, sizeof dsp->downsampler_state);
    }

    cs->drive = cs->target_drive;
    cs->cap1_scale = cs->target_cap1_scale;
    cs->cap2_scale = cs->target_cap2_scale;
    clip_update_controls(cs, true);
    cs->prev_c1 = cs->c1;
    cs->prev_c2 = cs->c2;
    clip_update_coeffs(cs);
    std::memset(dsp->clip_state, 0, sizeof dsp->clip_state);

    start_smoother(&dsp->heat_gain);

    ts->tone = ts->target_tone;
    ts->cap_scale = ts->target_cap_scale;
    tone_update_controls(ts, true);
    ts->prev_c = ts->c;
    tone_update_coeffs(ts);
    std::memset(dsp->tone_state, 0, sizeof dsp->tone_state);

    dsp->out_hp1_s = 0.0f;
    dsp->out_hp2_s = 0.0f;

    for (smoother* s : {&dsp->mix, &dsp->volume, &dsp->bypass})
        start_smoother(s);

    // Both stages' last coefficient updates ran with the capacitances at rest.
    dsp->clip_settled = 2;
    dsp->tone_settled = 2;
}
