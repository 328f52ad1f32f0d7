// The two chains of the automated case as straight-line code, for bench/chain_depth.py
// to count in dependent operations from the compiler's own SSA form (GIMPLE):
// - chain_coefficients: one group's stage coefficients (both stages) from the glided
//   controls, in four lanes, as the block path works them out;
// - chain_recursion: one oversampled sample of the drive → heat gain → tone recursion,
//   the serial chain from one sample's filter states to the next one's.
// Never linked into anything: only compiled, with the plug-in's flags.
#include "dsp/fast_math.h"
#include "dsp/lanes.h"
#include "dsp/overdrive_dsp.h"
#include "dsp/signal_path.h"
#include "dsp/stages.h"

using F = f32x4;

extern "C" void chain_coefficients(const clip_stage* cs, const tone_stage* ts, const float* controls,
                                   float prev_c1, float prev_c2, float prev_c, float* out)
{
    const F drive = load_lanes<F>(controls), cap1 = load_lanes<F>(controls + 4);
    const F cap2 = load_lanes<F>(controls + 8), tone = load_lanes<F>(controls + 12);
    const F cap = load_lanes<F>(controls + 16);
    const F r = clip_r_drive(drive), c1 = clip_c1(cap1), c2 = clip_c2(cap2);
    const F k = clip_k(c1, r, c2, splat<F>(cs->max_freq), splat<F>(cs->inv_rate));
    const clip_coeffs<F> clip =
        clip_coeffs_of(k, c1, c2, r, shift_in(c1, prev_c1), shift_in(c2, prev_c2), splat<F>(cs->rate));
    const tone_controls<F> tc = tone_controls_of(tone);
    const F c = tone_c(cap);
    const F tk = tone_k(c, tc.prewarp_base, splat<F>(ts->max_freq), splat<F>(ts->inv_rate));
    const tone_coeffs<F> t =
        tone_coeffs_of(tk, c, shift_in(c, prev_c), splat<F>(ts->rate), tc.ga, tc.gab, tc.gin, tc.out_a, tc.out_b);
    __builtin_memcpy(out, &clip, sizeof clip);
    __builtin_memcpy(out + sizeof clip / sizeof(float), &t, sizeof t);
}

extern "C" float chain_recursion(const clip_stage* cs, float* clip_state, smoother* heat, const tone_stage* ts,
                                 float* tone_state, float s)
{
    return oversampled_step(cs, clip_state, heat, ts, tone_state, s);
}
