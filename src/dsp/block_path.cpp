// The block path: a whole block in one call, with the same bits and the same record
// afterwards as dsp_process_sample over the block followed by dsp_recover. Only the
// arrangement of the work differs; every value is computed by the same operations.
//
// - The drive → trim → tone recursion is the one serial chain: each oversampled sample
//   waits for the previous one. Everything else is independent of it and sits in the
//   same loop, where the processor overlaps it with that chain: the input high-passes
//   and the upsampler for a sample eight steps ahead, the downsampler and the output
//   end for a sample seven steps behind.
// - Each resampler cascade runs as a wavefront: section i sits in SIMD lane i and works
//   on the sample that entered section 0 i steps earlier, so one step of all eight
//   sections is a handful of vector operations.
// - Parameters change only between blocks, so the control glides, and every
//   coefficient that follows from them, depend on nothing inside the block. While a
//   stage's controls move, the glides run ahead over a segment of oversampled samples
//   and the coefficients of the whole segment are computed side by side in SIMD lanes;
//   the recursion then reads them back sample by sample. A stage updates exactly where
//   the per-sample path updates it: while its controls move and one sample more.
#include <bit>
#include <cstdint>

#include "dsp/fast_math.h"
#include "dsp/lanes.h"
#include "dsp/overdrive_dsp.h"
#include "dsp/resampler.h"
#include "dsp/signal_path.h"
#include "dsp/stages.h"

namespace {

// Input samples per pass, so that the count of oversampled samples stays far from the
// range of int32_t.
constexpr int32_t pass_samples = 8192;

constexpr int32_t never = INT32_MAX;

// A set of coefficients for W samples (a record of vectors) is stored field by field,
// one vector store each (a copy of the whole record would go through the stack).
template <class F, class Set>
DSP_INLINE void store_group(float* groups, int32_t g, const Set& set)
{
    constexpr int fields = sizeof set / sizeof(F);
    constexpr int width = sizeof(F) / sizeof(float);
    float* const group = groups + g * fields * width;
    const F* const v = reinterpret_cast<const F*>(&set);
    for (int f = 0; f < fields; f++)
        store_lanes(group + f * width, v[f]);
}

// The coefficients of sample j out of the stored groups, read in place.
template <template <class> class Set, int W>
DSP_INLINE const Set<lane_in_place<W>>* lane_view(const float* groups, int32_t j)
{
    using view = const Set<lane_in_place<W>>;
    static_assert(sizeof(Set<lane_in_place<W>>) == sizeof(Set<typename lane_vectors<W>::f>));
    constexpr int fields = sizeof(Set<float>) / sizeof(float);
    return reinterpret_cast<view*>(groups + (j / W) * (fields * W) + j % W);
}

// The coefficients of sample j out of the stored groups, as a plain record.
template <class Set, int W>
DSP_INLINE Set sample_of(const float* groups, int32_t j)
{
    constexpr int fields = sizeof(Set) / sizeof(float);
    const float* p = groups + (j / W) * (fields * W) + j % W;
    float v[fields];
    for (int f = 0; f < fields; f++)
        v[f] = p[f * W];
    return std::bit_cast<Set>(v);
}

// A resampler cascade as a wavefront, section i in lane i.
template <int W>
struct wavefront {
    using F = typename lane_vectors<W>::f;
    static constexpr int V = resampler_sections / W;
    F b0[V], b1[V], fb1[V], fb2[V], z1[V], z2[V];
    // Each section's latest output, which the next section takes at the next step.
    F e[V];

    DSP_INLINE void load(const resampler_coeffs* c, const resampler_state* s)
    {
        for (int v = 0; v < V; v++) {
            b0[v] = load_lanes<F>(c->b0 + v * W);
            b1[v] = load_lanes<F>(c->b1 + v * W);
            fb1[v] = load_lanes<F>(c->fb1 + v * W);
            fb2[v] = load_lanes<F>(c->fb2 + v * W);
            z1[v] = load_lanes<F>(s->z1 + v * W);
            z2[v] = load_lanes<F>(s->z2 + v * W);
            e[v] = splat<F>(0.0f);
        }
    }

    DSP_INLINE void save(resampler_state* s) const
    {
        for (int v = 0; v < V; v++) {
            store_lanes(s->z1 + v * W, z1[v]);
            store_lanes(s->z2 + v * W, z2[v]);
        }
    }

    // One step with x entering section 0. At a block's edges only the sections first …
    // last have a sample to work on; the others keep their state. Returns section 7's
    // output.
    template <bool edge>
    DSP_INLINE float step(float x, int32_t first, int32_t last)
    {
        F f[V];
        f[0] = shift_in(e[0], x);
        for (int v = 1; v < V; v++)
            f[v] = shift_in(e[v], e[v - 1][W - 1]);
        for (int v = 0; v < V; v++) {
            e[v] = z1[v] + b0[v] * f[v];
            F z1_next = f[v] * b1[v] + fb1[v] * e[v] + z2[v];
            F z2_next = fb2[v] * e[v] + b0[v] * f[v];
            if constexpr (edge) {
                const lane_i<F> section = lane_index<F>() + v * W;
                const lane_i<F> on = (section >= first) & (section <= last);
                z1_next = select(on, z1_next, z1[v]);
                z2_next = select(on, z2_next, z2[v]);
            }
            z1[v] = z1_next;
            z2[v] = z2_next;
        }
        return e[V - 1][W - 1];
    }
};

// Where a stage's coefficient updates stand within the pass.
struct stage_plan {
    // Whether the controls moved at the pass's first sample (and so until they stop).
    bool moved;
    // Whether they still move at the front of the glides.
    bool moving;
    // The pass's samples below this one update the coefficients.
    int32_t updates_end;
};

inline stage_plan plan_stage(bool moves, int32_t settled)
{
    return {moves, moves, moves ? never : 2 - (settled < 2 ? settled : 2)};
}

// The settled count once a stage's updates in the pass are over: updates ran for
// samples 0 … min(updates_end, total) − 1.
inline int32_t settled_after(const stage_plan& p, int32_t settled, int32_t total)
{
    if (p.moved)
        return p.moving ? 1 : 2;
    const int32_t s = settled + total;
    return s < 2 ? s : 2;
}

template <int W>
class block_pass {
public:
    using F = typename lane_vectors<W>::f;

    block_pass(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
        : dsp_(dsp), cs_(&dsp->clip_stage), ts_(&dsp->tone_stage), scratch_(&dsp->scratch),
          in_(in), out_(out), n_(dsp->oversampling), total_(count * (dsp->oversampling < 2 ? 1 : dsp->oversampling)),
          heat_(dsp->heat_gain)
    {
        for (int i = 0; i < 4; i++) {
            clip_state_[i] = dsp->clip_state[i];
            tone_state_[i] = dsp->tone_state[i];
        }
        drive_ = cs_->drive;
        cap1_ = cs_->cap1_scale;
        cap2_ = cs_->cap2_scale;
        tone_ = ts_->tone;
        cap_ = ts_->cap_scale;
        // A NaN compares unequal, so it keeps the update running, as in the per-sample path.
        drive_moves_ = drive_ != cs_->target_drive;
        cap1_moves_ = cap1_ != cs_->target_cap1_scale;
        cap2_moves_ = cap2_ != cs_->target_cap2_scale;
        tone_moves_ = tone_ != ts_->target_tone;
        cap_moves_ = cap_ != ts_->target_cap_scale;
        clip_ = plan_stage(drive_moves_ || cap1_moves_ || cap2_moves_, dsp->clip_settled);
        tone_plan_ = plan_stage(tone_moves_ || cap_moves_, dsp->tone_settled);
        prev_c1_ = cs_->prev_c1;
        prev_c2_ = cs_->prev_c2;
        prev_c_ = ts_->prev_c;
    }

    DSP_INLINE void run()
    {
        if (n_ >= 2) {
            up_.load(&dsp_->upsampler, &dsp_->upsampler_state);
            down_.load(&dsp_->downsampler, &dsp_->downsampler_state);
            gain_ = static_cast<float>(dsp_->upsampler.ratio);
            // The upsampler starts eight steps ahead of the recursion.
            for (int32_t s = 0; s < 8; s++)
                next_ = up_step<true>(s);
        }
        for (int32_t t0 = 0; t0 < total_; t0 += dsp_segment) {
            const int32_t t1 = t0 + dsp_segment < total_ ? t0 + dsp_segment : total_;
            const bool clip_arrays = t0 < clip_.updates_end;
            const bool tone_arrays = t0 < tone_plan_.updates_end;
            if (clip_arrays || tone_arrays)
                glide(t0, t1);
            if (clip_arrays)
                clip_coefficients(t0, t1);
            if (tone_arrays)
                tone_coefficients(t0, t1);
            if (clip_arrays)
                segment<true>(t0, t1, tone_arrays);
            else
                segment<false>(t0, t1, tone_arrays);
            // Where a stage's updates end, the record takes its last update: the
            // following segments and blocks read it from there.
            if (clip_arrays && (clip_.updates_end <= t1 || t1 == total_))
                keep_clip(t0, t1);
            if (tone_arrays && (tone_plan_.updates_end <= t1 || t1 == total_))
                keep_tone(t0, t1);
        }
        if (n_ >= 2) {
            // The downsampler finishes seven steps behind.
            for (int32_t s = total_; s < total_ + 7; s++)
                down_step<true>(s, 0.0f);
            up_.save(&dsp_->upsampler_state);
            down_.save(&dsp_->downsampler_state);
        }
        finish();
    }

private:
    overdrive_dsp* dsp_;
    clip_stage* cs_;
    tone_stage* ts_;
    dsp_block_scratch* scratch_;
    const float* in_;
    float* out_;
    int32_t n_, total_;
    smoother heat_;
    float clip_state_[4], tone_state_[4];

    // Oversampled section.
    wavefront<W> up_{}, down_{};
    float gain_ = 0.0f;
    // The upsampled sample that the recursion takes next.
    float next_ = 0.0f;
    int32_t up_phase_ = 0, up_input_ = 0, down_phase_ = 0, down_output_ = 0, work_phase_ = 0;

    // Controls at the front of the glides, and how the stages update.
    float drive_, cap1_, cap2_, tone_, cap_;
    bool drive_moves_, cap1_moves_, cap2_moves_, tone_moves_, cap_moves_;
    stage_plan clip_, tone_plan_;
    // Capacitances of the sample before the next one whose coefficients are worked out.
    float prev_c1_, prev_c2_, prev_c_;

    // Step s of the upsampler: section 0 takes oversampled sample s, section 7 turns out
    // sample s − 7.
    template <bool edge>
    DSP_INLINE float up_step(int32_t s)
    {
        float x = 0.0f;
        if (up_phase_ == 0 && (!edge || s < total_))
            x = gain_ * path_input(dsp_, finite_or_zero(in_[up_input_++]));
        up_phase_ = up_phase_ + 1 == n_ ? 0 : up_phase_ + 1;
        return up_.template step<edge>(x, s - total_ + 1, s);
    }

    // Step s of the downsampler, y entering section 0: section 7 turns out sample s − 7,
    // which is the one kept when it starts an input sample.
    template <bool edge>
    DSP_INLINE void down_step(int32_t s, float y)
    {
        const float w = down_.template step<edge>(y, s - total_ + 1, s);
        if (edge && s < 7)
            return;
        if (down_phase_ == 0) {
            const float x = finite_or_zero(in_[down_output_]);
            out_[down_output_] = path_output(dsp_, x, w);
            down_output_++;
        }
        down_phase_ = down_phase_ + 1 == n_ ? 0 : down_phase_ + 1;
    }

    // The recursion on one sample, i within its segment, with the stage coefficients
    // from the segment's groups or, for a stage at rest, from the record.
    template <bool clip_arrays, bool tone_arrays>
    DSP_INLINE float stage(int32_t i, float s)
    {
        if constexpr (clip_arrays) {
            return tone_side<tone_arrays>(lane_view<clip_coeffs, W>(scratch_->clip, i), i, s);
        } else {
            return tone_side<tone_arrays>(cs_, i, s);
        }
    }

    template <bool tone_arrays, class C>
    DSP_INLINE float tone_side(const C* c, int32_t i, float s)
    {
        if constexpr (tone_arrays) {
            return oversampled_step(c, clip_state_, &heat_, lane_view<tone_coeffs, W>(scratch_->tone, i),
                                    tone_state_, s);
        } else {
            return oversampled_step(c, clip_state_, &heat_, ts_, tone_state_, s);
        }
    }

    // Oversampled sample t (i within its segment) with the work around it.
    template <bool edge, bool clip_arrays, bool tone_arrays>
    DSP_INLINE void oversampled(int32_t t, int32_t i)
    {
        const float upsampled = up_step<edge>(t + 8);
        const float y = stage<clip_arrays, tone_arrays>(i, next_);
        next_ = upsampled;
        dsp_->work[work_phase_] = y;
        work_phase_ = work_phase_ + 1 == n_ ? 0 : work_phase_ + 1;
        down_step<edge>(t, y);
    }

    // Input sample t (i within its segment) when the section runs at the host's rate.
    template <bool clip_arrays, bool tone_arrays>
    DSP_INLINE void host_rate(int32_t t, int32_t i)
    {
        const float x = finite_or_zero(in_[t]);
        const float y = stage<clip_arrays, tone_arrays>(i, path_input(dsp_, x));
        out_[t] = path_output(dsp_, x, y);
    }

    template <bool clip_arrays>
    DSP_INLINE void segment(int32_t t0, int32_t t1, bool tone_arrays)
    {
        if (tone_arrays)
            segment<clip_arrays, true>(t0, t1);
        else
            segment<clip_arrays, false>(t0, t1);
    }

    // Samples t0 … t1 − 1; only the first eight and the last eight of the pass take the
    // edge steps of the wavefronts.
    template <bool clip_arrays, bool tone_arrays>
    DSP_INLINE void segment(int32_t t0, int32_t t1)
    {
        int32_t t = t0;
        if (n_ < 2) {
            for (; t < t1; t++)
                host_rate<clip_arrays, tone_arrays>(t, t - t0);
            return;
        }
        for (; t < t1 && (t < 8 || t >= total_ - 8); t++)
            oversampled<true, clip_arrays, tone_arrays>(t, t - t0);
        for (; t < t1 && t < total_ - 8; t++)
            oversampled<false, clip_arrays, tone_arrays>(t, t - t0);
        for (; t < t1; t++)
            oversampled<true, clip_arrays, tone_arrays>(t, t - t0);
    }

    // The glides of samples t0 … t1 − 1, stepped exactly as the per-sample path steps
    // them; each stage's controls are kept per sample.
    DSP_INLINE void glide(int32_t t0, int32_t t1)
    {
        float* const drive = scratch_->controls[0];
        float* const cap1 = scratch_->controls[1];
        float* const cap2 = scratch_->controls[2];
        float* const tone = scratch_->controls[3];
        float* const cap = scratch_->controls[4];
        const int32_t length = t1 - t0;
        for (int32_t j = 0; j < length; j++) {
            if (clip_.moving) {
                const bool d = drive_ != cs_->target_drive;
                const bool c1 = cap1_ != cs_->target_cap1_scale;
                const bool c2 = cap2_ != cs_->target_cap2_scale;
                if (d)
                    drive_ = step_snap_absolute(drive_, cs_->target_drive, cs_->coeff, cs_->threshold_sq);
                if (c1)
                    cap1_ = step_snap_relative(cap1_, cs_->target_cap1_scale, cs_->coeff, cs_->threshold_sq);
                if (c2)
                    cap2_ = step_snap_relative(cap2_, cs_->target_cap2_scale, cs_->coeff, cs_->threshold_sq);
                if (!d && !c1 && !c2) {
                    // The first sample at rest still updates; that update repeats from then on.
                    clip_.moving = false;
                    clip_.updates_end = t0 + j + 1;
                }
            }
            if (tone_plan_.moving) {
                const bool t = tone_ != ts_->target_tone;
                const bool c = cap_ != ts_->target_cap_scale;
                if (t)
                    tone_ = step_snap_absolute(tone_, ts_->target_tone, ts_->coeff, ts_->threshold_sq);
                if (c)
                    cap_ = step_snap_relative(cap_, ts_->target_cap_scale, ts_->coeff, ts_->threshold_sq);
                if (!t && !c) {
                    tone_plan_.moving = false;
                    tone_plan_.updates_end = t0 + j + 1;
                }
            }
            drive[j] = drive_;
            cap1[j] = cap1_;
            cap2[j] = cap2_;
            tone[j] = tone_;
            cap[j] = cap_;
        }
        // A last, partial group of lanes sees the last sample again.
        for (int32_t j = length; j % W != 0; j++) {
            drive[j] = drive_;
            cap1[j] = cap1_;
            cap2[j] = cap2_;
            tone[j] = tone_;
            cap[j] = cap_;
        }
    }

    // The drive stage's coefficients of samples t0 … t1 − 1. A circuit value whose
    // control did not move in this pass is the record's: the per-sample path leaves it
    // alone.
    DSP_INLINE void clip_coefficients(int32_t t0, int32_t t1)
    {
        const F max_freq = splat<F>(cs_->max_freq);
        const F inv_rate = splat<F>(cs_->inv_rate);
        const F rate = splat<F>(cs_->rate);
        const int32_t length = t1 - t0;
        for (int32_t g = 0; g * W < length; g++) {
            const F drive = load_lanes<F>(scratch_->controls[0] + g * W);
            const F cap1 = load_lanes<F>(scratch_->controls[1] + g * W);
            const F cap2 = load_lanes<F>(scratch_->controls[2] + g * W);
            const F r_drive = drive_moves_ ? clip_r_drive(drive) : splat<F>(cs_->r_drive);
            const F c1 = cap1_moves_ ? clip_c1(cap1) : splat<F>(cs_->c1);
            const F c2 = cap2_moves_ ? clip_c2(cap2) : splat<F>(cs_->c2);
            const F k = clip_.moved ? clip_k(c1, r_drive, c2, max_freq, inv_rate) : splat<F>(cs_->k);
            store_group<F>(scratch_->clip, g,
                        clip_coeffs_of(k, c1, c2, r_drive, shift_in(c1, prev_c1_), shift_in(c2, prev_c2_), rate));
            // The padding of a partial group repeats the segment's last sample.
            prev_c1_ = c1[W - 1];
            prev_c2_ = c2[W - 1];
        }
    }

    DSP_INLINE void tone_coefficients(int32_t t0, int32_t t1)
    {
        const F max_freq = splat<F>(ts_->max_freq);
        const F inv_rate = splat<F>(ts_->inv_rate);
        const F rate = splat<F>(ts_->rate);
        const tone_controls<F> resting = {splat<F>(ts_->ga), splat<F>(ts_->gab), splat<F>(ts_->out_a),
                                          splat<F>(ts_->out_b), splat<F>(ts_->gin), splat<F>(ts_->prewarp_base)};
        const int32_t length = t1 - t0;
        for (int32_t g = 0; g * W < length; g++) {
            const F tone = load_lanes<F>(scratch_->controls[3] + g * W);
            const F cap = load_lanes<F>(scratch_->controls[4] + g * W);
            const tone_controls<F> tc = tone_moves_ ? tone_controls_of(tone) : resting;
            const F c = cap_moves_ ? tone_c(cap) : splat<F>(ts_->c);
            const F k = tone_plan_.moved ? tone_k(c, tc.prewarp_base, max_freq, inv_rate) : splat<F>(ts_->k);
            store_group<F>(scratch_->tone, g,
                        tone_coeffs_of(k, c, shift_in(c, prev_c_), rate, tc.ga, tc.gab, tc.gin, tc.out_a, tc.out_b));
            prev_c_ = c[W - 1];
        }
    }

    // The record as the per-sample path leaves it after the last update of a stage
    // within samples t0 … t1 − 1: the controls where the glides stand, the circuit
    // values that follow them, that update's coefficients.
    DSP_INLINE void keep_clip(int32_t t0, int32_t t1)
    {
        cs_->drive = drive_;
        cs_->cap1_scale = cap1_;
        cs_->cap2_scale = cap2_;
        if (drive_moves_)
            cs_->r_drive = clip_r_drive(drive_);
        const int32_t last = (clip_.updates_end < t1 ? clip_.updates_end : t1) - 1;
        clip_keep_coeffs(cs_, sample_of<clip_coeffs<float>, W>(scratch_->clip, last - t0));
        dsp_->clip_settled = settled_after(clip_, dsp_->clip_settled, total_);
    }

    DSP_INLINE void keep_tone(int32_t t0, int32_t t1)
    {
        ts_->tone = tone_;
        ts_->cap_scale = cap_;
        if (tone_moves_)
            tone_keep_controls(ts_, tone_controls_of(tone_));
        if (cap_moves_)
            ts_->c = tone_c(cap_);
        const int32_t last = (tone_plan_.updates_end < t1 ? tone_plan_.updates_end : t1) - 1;
        tone_keep_coeffs(ts_, sample_of<tone_coeffs<float>, W>(scratch_->tone, last - t0), ts_->c);
        dsp_->tone_settled = settled_after(tone_plan_, dsp_->tone_settled, total_);
    }

    DSP_INLINE void finish()
    {
        for (int i = 0; i < 4; i++) {
            dsp_->clip_state[i] = clip_state_[i];
            dsp_->tone_state[i] = tone_state_[i];
        }
        dsp_->heat_gain.value = heat_.value;
    }
};

template <int W>
DSP_INLINE void process_passes(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
{
    for (int32_t done = 0; done < count; done += pass_samples) {
        const int32_t n = count - done < pass_samples ? count - done : pass_samples;
        block_pass<W> pass(dsp, in + done, out + done, n);
        pass.run();
    }
}

void process_with_four_lanes(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
{
    process_passes<4>(dsp, in, out, count);
}

__attribute__((target("avx2"))) void process_with_eight_lanes(overdrive_dsp* dsp, const float* in,
                                                             float* out, int32_t count)
{
    process_passes<8>(dsp, in, out, count);
}

} // namespace

void dsp_process_block(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
{
    if (dsp->block_lanes == 8)
        process_with_eight_lanes(dsp, in, out, count);
    else
        process_with_four_lanes(dsp, in, out, count);
    dsp_recover(dsp, out, count);
}
