// The block path: a whole block in one call, with the same bits and the same record
// afterwards as dsp_process_sample over the block followed by dsp_recover. Only the
// arrangement of the work differs; every value is computed by the same operations.
//
// The drive → trim → tone recursion is the one serial chain: each oversampled sample
// waits for the previous one. Everything else is independent of it and sits in the
// recursion's own loop, where the processor can work on it during that wait, each piece
// at its own distance from the sample being worked on:
// - the input high-passes and the upsampler, eight samples ahead; the downsampler and
//   the output end, seven behind. Each resampler cascade runs as a wavefront: section i
//   sits in SIMD lane i and works on the sample that entered section 0 i steps earlier,
//   so a step of all eight sections is a handful of vector operations;
// - while a stage's controls move: their glides, sixteen samples ahead, and the
//   coefficients that follow from them, worked out for eight samples at a time in SIMD
//   lanes (four-lane vectors two at a time as one value, dsp/lane_groups.h), in eight
//   stages spread over the eight samples before those are needed.
// The eight-lane code is built twice on x86-64: for AVX2, and in AVX-512's encoding for
// the processors that have it (dsp/arch.h).
//   Parameters change only between blocks, so none of this depends on the audio.
// A stage updates exactly where the per-sample path updates it: while its controls
// move and one sample more; then the record takes that last update and the loop reads
// the stage's coefficients from there.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "dsp/fast_math.h"
#include "dsp/lane_groups.h"
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
// The stages that work out a group's coefficients, one per sample of the group.
constexpr int32_t stages = 8;

// The coefficient sets of a group's eight samples are one record in a ring, field by
// field, each field eight floats (one vector of eight lanes or two of four): the stage
// that works a field out stores it there from its register, and sample j reads its
// lane in place.
// Where sample j's set of `fields` coefficients starts in the ring: its group, then its
// lane.
template <int fields>
DSP_INLINE uint32_t ring_offset(int32_t j)
{
    const uint32_t i = static_cast<uint32_t>(j) & (dsp_ring - 1);
    return (i & ~(stages - 1u)) * fields + (i & (stages - 1u));
}

// Field f of a group's set of `fields` coefficients (a group of vectors M), for the group
// starting at sample j.
template <int fields, class M>
DSP_INLINE void store_field(float* ring, int32_t j, int f, const M& x)
{
    static_assert(sizeof(M) == stages * sizeof(float));
    store_lanes(ring + ring_offset<fields>(j) + f * stages, x);
}

// Fields first … end − 1 of a group's set (a record of groups of vectors M). Each is
// stored on its own, never gathered into one copy of the record.
template <class M, int first, int end, class Set>
DSP_INLINE void store_fields(float* ring, int32_t j, const Set& set)
{
    constexpr int fields = sizeof set / sizeof(M);
    static_assert(0 <= first && first <= end && end <= fields);
    const M* const m = reinterpret_cast<const M*>(&set);
#pragma GCC unroll 32
    for (int f = first; f < end; f++)
        store_field<fields>(ring, j, f, m[f]);
}

// The drive stage's fields, and those that the diode solver's constants fill.
constexpr int clip_fields = sizeof(clip_coeffs<float>) / sizeof(float);
constexpr int clip_e8 = offsetof(clip_coeffs<float>, e8) / sizeof(float);
constexpr int clip_e17 = offsetof(clip_coeffs<float>, e17) / sizeof(float);

// The coefficients of sample j in the ring, read in place.
template <template <class> class Set>
DSP_INLINE const Set<lane_in_place<stages>>* lane_view(const float* ring, int32_t j)
{
    constexpr int fields = sizeof(Set<float>) / sizeof(float);
    return reinterpret_cast<const Set<lane_in_place<stages>>*>(ring + ring_offset<fields>(j));
}

// The coefficients of sample j in the ring, as a plain record.
template <class Set>
DSP_INLINE Set sample_of(const float* ring, int32_t j)
{
    constexpr int fields = sizeof(Set) / sizeof(float);
    const float* p = ring + ring_offset<fields>(j);
    float v[fields];
    for (int f = 0; f < fields; f++)
        v[f] = p[f * stages];
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
    // Whether the record has taken the last update.
    bool kept;
};

inline stage_plan plan_stage(bool moves, int32_t settled)
{
    return {moves, moves, moves ? never : 2 - (settled < 2 ? settled : 2), false};
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

// W lanes per vector, N vectors per group.
template <int W, int N>
class block_pass {
public:
    using F = typename lane_vectors<W>::f;
    // Samples whose coefficients are worked out together, and the group's value type.
    static constexpr int32_t group = W * N;
    using M = std::conditional_t<N == 1, F, lane_group<F, N>>;
    // How far ahead of the recursion the glides run: the first stage of a group reads
    // the controls of all its samples one group before the recursion reaches it.
    static constexpr int32_t glide_lead = 2 * group;
    static_assert(glide_lead + group <= dsp_ring && dsp_ring % group == 0 && group == stages);

    DSP_INLINE block_pass(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
        : dsp_(dsp), cs_(&dsp->clip_stage), ts_(&dsp->tone_stage), scratch_(&dsp->scratch),
          in_(in), out_(out), n_(dsp->oversampling),
          total_(count * (dsp->oversampling < 2 ? 1 : dsp->oversampling)), heat_(dsp->heat_gain)
    {
        for (int i = 0; i < 4; i++) {
            clip_state_[i] = dsp->clip_state[i];
            tone_state_[i] = dsp->tone_state[i];
        }
        const float drive = cs_->drive, cap1 = cs_->cap1_scale, cap2 = cs_->cap2_scale;
        const float tone = ts_->tone, cap = ts_->cap_scale;
        // A NaN compares unequal, so it keeps the update running, as in the per-sample path.
        drive_moves_ = drive != cs_->target_drive;
        cap1_moves_ = cap1 != cs_->target_cap1_scale;
        cap2_moves_ = cap2 != cs_->target_cap2_scale;
        tone_moves_ = tone != ts_->target_tone;
        cap_moves_ = cap != ts_->target_cap_scale;
        clip_ = plan_stage(drive_moves_ || cap1_moves_ || cap2_moves_, dsp->clip_settled);
        tone_plan_ = plan_stage(tone_moves_ || cap_moves_, dsp->tone_settled);
        prev_c1_ = cs_->prev_c1;
        prev_c2_ = cs_->prev_c2;
        prev_c_ = ts_->prev_c;
        // The relative snap of the capacitance scales compares with threshold²·target².
        const float value[8] = {drive, cap1, cap2, tone, cap, 0.0f, 0.0f, 0.0f};
        const float target[8] = {cs_->target_drive, cs_->target_cap1_scale, cs_->target_cap2_scale,
                                 ts_->target_tone,  ts_->target_cap_scale,  0.0f, 0.0f, 0.0f};
        const float coeff[8] = {cs_->coeff, cs_->coeff, cs_->coeff, ts_->coeff,
                                ts_->coeff, 0.0f,       0.0f,       0.0f};
        const float bound[8] = {cs_->threshold_sq,
                                cs_->threshold_sq * target[1] * target[1],
                                cs_->threshold_sq * target[2] * target[2],
                                ts_->threshold_sq,
                                ts_->threshold_sq * target[4] * target[4],
                                0.0f, 0.0f, 0.0f};
        for (int g = 0; g < G; g++) {
            glide_value_[g] = load_lanes<F>(value + g * W);
            glide_target_[g] = load_lanes<F>(target + g * W);
            glide_coeff_[g] = load_lanes<F>(coeff + g * W);
            glide_bound_[g] = load_lanes<F>(bound + g * W);
        }
        resting_ = {splat<M>(ts_->ga),    splat<M>(ts_->gab), splat<M>(ts_->out_a),
                    splat<M>(ts_->out_b), splat<M>(ts_->gin), splat<M>(ts_->prewarp_base)};
        update_end();
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
        int32_t t = 0;
        const bool clip_on = clip_.updates_end > 0, tone_on = tone_plan_.updates_end > 0;
        if (clip_on && tone_on)
            updating<true, true>(&t);
        else if (clip_on)
            updating<true, false>(&t);
        else if (tone_on)
            updating<false, true>(&t);
        each_sample<false, false, false>(&t);
        if (n_ >= 2) {
            // The downsampler finishes seven steps behind.
            for (int32_t s = total_; s < total_ + 7; s++)
                down_step<true>(s, 0.0f);
            up_.save(&dsp_->upsampler_state);
            down_.save(&dsp_->downsampler_state);
        }
        for (int i = 0; i < 4; i++) {
            dsp_->clip_state[i] = clip_state_[i];
            dsp_->tone_state[i] = tone_state_[i];
        }
        dsp_->heat_gain.value = heat_.value;
    }

private:
    // One group's coefficients as its stages work them out.
    struct group_work {
        M r_drive, c1, c2, f0, k;
        tone_controls<M> tone;
        M c, tone_f0, tone_k;
        // What the second half of the drive stage's coefficients follows from.
        M e2, b;
        // What the diode solver's two constants follow from.
        M e7, e16;
    };

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
    compensation_cache compensation_{};

    // The controls at the front of the glides side by side in eight lanes (drive, cap1_scale, cap2_scale,
    // tone, cap_scale, then three at 0), with their targets, glide coefficients and snap
    // bounds: they glide in one step. A control at rest sits on its target, where the
    // step leaves it unchanged, so stepping it with the others changes nothing.
    static constexpr int G = 8 / W;
    F glide_value_[G], glide_target_[G], glide_coeff_[G], glide_bound_[G];
    bool drive_moves_, cap1_moves_, cap2_moves_, tone_moves_, cap_moves_;
    stage_plan clip_, tone_plan_;
    // Samples below this one read coefficients from the ring.
    int32_t updates_end_ = 0;
    // Capacitances of the sample before the next group.
    float prev_c1_, prev_c2_, prev_c_;
    tone_controls<M> resting_;
    group_work group_{};

    DSP_INLINE void update_end()
    {
        const int32_t clip_end = clip_.updates_end, tone_end = tone_plan_.updates_end;
        const int32_t end = clip_end > tone_end ? clip_end : tone_end;
        updates_end_ = end < total_ ? end : total_;
    }

    // Samples from *t on: while coefficients come from the ring (updating), up to where
    // the stages' updates end, read again for every sample; otherwise to the end of the
    // pass. The first eight and the last eight samples of the pass take the wavefronts'
    // edge steps.
    template <bool updating, bool clip_on, bool tone_on>
    DSP_INLINE void each_sample(int32_t* t)
    {
        const int32_t& end = updating ? updates_end_ : total_;
        if (n_ < 2) {
            for (; *t < end; ++*t)
                step<false, updating, clip_on, tone_on>(*t);
            return;
        }
        for (; *t < end && (*t < 8 || *t >= total_ - 8); ++*t)
            step<true, updating, clip_on, tone_on>(*t);
        for (; *t < end && *t < total_ - 8; ++*t)
            step<false, updating, clip_on, tone_on>(*t);
        for (; *t < end; ++*t)
            step<true, updating, clip_on, tone_on>(*t);
    }

    // The samples whose coefficients come from the ring, with the glides and the
    // coefficient stages running ahead; then the record takes each stage's last update.
    template <bool clip_on, bool tone_on>
    DSP_INLINE void updating(int32_t* t)
    {
        for (int32_t s = 0; s < glide_lead; s++)
            glide(s);
        for (int32_t stage = 0; stage < stages; stage++)
            coefficient_stage<clip_on, tone_on>(stage, 0);
        each_sample<true, clip_on, tone_on>(t);
        if (clip_on && !clip_.kept)
            keep_clip((clip_.updates_end < total_ ? clip_.updates_end : total_) - 1);
        if (tone_on && !tone_plan_.kept)
            keep_tone((tone_plan_.updates_end < total_ ? tone_plan_.updates_end : total_) - 1);
    }

    // The recursion comes first in each step: the processor then starts the serial
    // chain as early as it can and fills the wait with the independent work behind it.
    template <bool edge, bool updating, bool clip_on, bool tone_on>
    DSP_INLINE void step(int32_t t)
    {
        if (n_ < 2) {
            const float x = finite_or_zero(in_[t]);
            const float y = stage<updating && clip_on, updating && tone_on>(t, path_input(dsp_, x));
            out_[t] = path_output(dsp_, x, y, &compensation_);
        } else {
            const float y = stage<updating && clip_on, updating && tone_on>(t, next_);
            dsp_->work[work_phase_] = y;
            work_phase_ = work_phase_ + 1 == n_ ? 0 : work_phase_ + 1;
            ahead_and_behind<edge>(t, y);
        }
        if constexpr (updating) {
            if (clip_on && t == clip_.updates_end)
                keep_clip(t - 1);
            if (tone_on && t == tone_plan_.updates_end)
                keep_tone(t - 1);
            const int32_t next_group = (t & ~(group - 1)) + group;
            if (next_group < updates_end_)
                coefficient_stage<clip_on, tone_on>(t & (group - 1), next_group);
            glide(t + glide_lead);
        }
    }

    // Around oversampled sample t: the upsampler makes sample t + 1, the downsampler
    // takes sample t's result y.
    template <bool edge>
    DSP_INLINE void ahead_and_behind(int32_t t, float y)
    {
        next_ = up_step<edge>(t + 8);
        down_step<edge>(t, y);
    }

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
            out_[down_output_] = path_output(dsp_, x, w, &compensation_);
            down_output_++;
        }
        down_phase_ = down_phase_ + 1 == n_ ? 0 : down_phase_ + 1;
    }

    // The recursion on sample t, with the stage coefficients from the ring or, for a
    // stage at rest, from the record.
    template <bool clip_arrays, bool tone_arrays>
    DSP_INLINE float stage(int32_t t, float s)
    {
        if constexpr (clip_arrays)
            return tone_side<tone_arrays>(lane_view<clip_coeffs>(scratch_->clip, t), t, s);
        else
            return tone_side<tone_arrays>(cs_, t, s);
    }

    template <bool tone_arrays, class C>
    DSP_INLINE float tone_side(const C* c, int32_t t, float s)
    {
        if constexpr (tone_arrays)
            return oversampled_step(c, clip_state_, &heat_, lane_view<tone_coeffs>(scratch_->tone, t),
                                    tone_state_, s);
        else
            return oversampled_step(c, clip_state_, &heat_, ts_, tone_state_, s);
    }

    // The glides' step for sample s, as the per-sample path steps them; the controls go
    // into the ring (beyond the pass, as they stand).
    DSP_INLINE void glide(int32_t s)
    {
        // The controls and targets are read from the lanes, which stay in registers, so
        // that the stores into the ring do not force them to be read again.
        F value[G];
        for (int g = 0; g < G; g++)
            value[g] = glide_value_[g];
        if (s < total_) {
            const F* const target = glide_target_;
            // Bit k: control k is not on its target. A NaN compares unequal, so it keeps
            // the glide running.
            uint32_t off_target = 0;
            for (int g = 0; g < G; g++)
                off_target |= lane_bits(value[g] != target[g]) << (g * W);
            if (clip_.moving && (off_target & 0x7u) == 0) {
                // The first sample at rest still updates; that update repeats from then on.
                clip_.moving = false;
                clip_.updates_end = s + 1;
                update_end();
            }
            if (tone_plan_.moving && (off_target & 0x18u) == 0) {
                tone_plan_.moving = false;
                tone_plan_.updates_end = s + 1;
                update_end();
            }
            if (clip_.moving || tone_plan_.moving) {
                for (int g = 0; g < G; g++) {
                    const F y = smoother_step(value[g], target[g], glide_coeff_[g]);
                    const F d = y - target[g];
                    value[g] = select(d * d <= glide_bound_[g], target[g], y);
                    glide_value_[g] = value[g];
                }
            }
        }
        const int32_t at = s & (dsp_ring - 1);
        for (int k = 0; k < 5; k++)
            scratch_->controls[k][at] = value[k / W][k % W];
    }

    // A control at the front of the glides: 0 drive, 1 cap1_scale, 2 cap2_scale, 3 tone,
    // 4 cap_scale.
    DSP_INLINE float control(int k) const { return glide_value_[k / W][k % W]; }

    // One of the eight stages of the group starting at sample j. The work is shared out
    // so that the stages cost about the same: the independent work beside the recursion
    // costs least spread evenly over its samples, and most in bursts (bench_dsp's
    // floor_beside_work). A circuit value whose control did not move in this pass is the
    // record's: the per-sample path leaves it alone.
    template <bool clip_on, bool tone_on>
    DSP_INLINE void coefficient_stage(int32_t stage, int32_t j)
    {
        group_work& g = group_;
        const int32_t at = j & (dsp_ring - 1);
        switch (stage) {
        case 0:
            if (tone_on) {
                const M tone = load_lanes<M>(scratch_->controls[3] + at);
                const M cap = load_lanes<M>(scratch_->controls[4] + at);
                g.tone = tone_moves_ ? tone_controls_of(tone) : resting_;
                g.c = cap_moves_ ? tone_c(cap) : splat<M>(ts_->c);
                if (tone_plan_.moved)
                    g.tone_f0 = tone_f0(g.c, g.tone.prewarp_base);
            }
            break;
        case 1:
            if (clip_on) {
                const M drive = load_lanes<M>(scratch_->controls[0] + at);
                const M cap1 = load_lanes<M>(scratch_->controls[1] + at);
                const M cap2 = load_lanes<M>(scratch_->controls[2] + at);
                g.r_drive = drive_moves_ ? clip_r_drive(drive) : splat<M>(cs_->r_drive);
                g.c1 = cap1_moves_ ? clip_c1(cap1) : splat<M>(cs_->c1);
                g.c2 = cap2_moves_ ? clip_c2(cap2) : splat<M>(cs_->c2);
                if (clip_.moved)
                    g.f0 = clip_f0(g.c1, g.r_drive, g.c2);
            }
            break;
        case 2:
            if (clip_on)
                g.k = clip_.moved ? stage_bilinear_k(g.f0, splat<M>(cs_->max_freq), splat<M>(cs_->inv_rate))
                                  : splat<M>(cs_->k);
            break;
        case 3:
            if (clip_on) {
                clip_coeffs<M> o;
                g.b = clip_coeffs_first_half(&o, g.k, g.c1, g.c2, g.r_drive, shift_in(g.c1, prev_c1_),
                                             shift_in(g.c2, prev_c2_), splat<M>(cs_->rate));
                store_fields<M, 0, clip_e8>(scratch_->clip, j, o);
                g.e2 = o.e2;
                g.e7 = o.e7;
                prev_c1_ = last_lane(g.c1);
                prev_c2_ = last_lane(g.c2);
            }
            break;
        case 4:
            if (clip_on) {
                clip_coeffs<M> o;
                clip_coeffs_second_half(&o, g.e2, g.b, g.c2, g.r_drive);
                store_fields<M, clip_e8 + 1, clip_e17>(scratch_->clip, j, o);
                g.e16 = o.e16;
            }
            break;
        case 5:
            if (tone_on)
                g.tone_k = tone_plan_.moved
                               ? stage_bilinear_k(g.tone_f0, splat<M>(ts_->max_freq), splat<M>(ts_->inv_rate))
                               : splat<M>(ts_->k);
            break;
        case 6:
            if (tone_on) {
                const tone_controls<M>& tc = g.tone;
                constexpr int fields = sizeof(tone_coeffs<float>) / sizeof(float);
                store_fields<M, 0, fields>(scratch_->tone, j,
                                           tone_coeffs_of(g.tone_k, g.c, shift_in(g.c, prev_c_), splat<M>(ts_->rate),
                                                          tc.ga, tc.gab, tc.gin, tc.out_a, tc.out_b));
                prev_c_ = last_lane(g.c);
            }
            break;
        default:
            // The diode solver's two constants, side by side.
            if (clip_on) {
                store_field<clip_fields>(scratch_->clip, j, clip_e8, omega_or_self(g.e7));
                store_field<clip_fields>(scratch_->clip, j, clip_e17, omega_or_self(g.e16));
            }
            break;
        }
    }

    // The record as the per-sample path leaves it after a stage's last update, at
    // sample `last`: the controls where the glides stand, the circuit values that follow
    // them, that update's coefficients.
    DSP_INLINE void keep_clip(int32_t last)
    {
        const float drive = control(0);
        cs_->drive = drive;
        cs_->cap1_scale = control(1);
        cs_->cap2_scale = control(2);
        if (drive_moves_)
            cs_->r_drive = clip_r_drive(drive);
        clip_keep_coeffs(cs_, sample_of<clip_coeffs<float>>(scratch_->clip, last));
        dsp_->clip_settled = settled_after(clip_, dsp_->clip_settled, total_);
        clip_.kept = true;
    }

    DSP_INLINE void keep_tone(int32_t last)
    {
        const float tone = control(3), cap = control(4);
        ts_->tone = tone;
        ts_->cap_scale = cap;
        if (tone_moves_)
            tone_keep_controls(ts_, tone_controls_of(tone));
        if (cap_moves_)
            ts_->c = tone_c(cap);
        tone_keep_coeffs(ts_, sample_of<tone_coeffs<float>>(scratch_->tone, last), ts_->c);
        dsp_->tone_settled = settled_after(tone_plan_, dsp_->tone_settled, total_);
        tone_plan_.kept = true;
    }
};

template <int W, int N>
DSP_INLINE void process_passes(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
{
    for (int32_t done = 0; done < count; done += pass_samples) {
        const int32_t n = count - done < pass_samples ? count - done : pass_samples;
        block_pass<W, N> pass(dsp, in + done, out + done, n);
        pass.run();
    }
}

void process_with_four_lanes(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
{
    process_passes<4, group_vectors_of_four_lanes>(dsp, in, out, count);
}

ARCH_EIGHT_LANE_TARGET void process_with_eight_lanes(overdrive_dsp* dsp, const float* in, float* out,
                                                     int32_t count)
{
    process_passes<8, group_vectors_of_eight_lanes>(dsp, in, out, count);
}

#if defined(__x86_64__)
ARCH_EIGHT_LANE_EVEX_TARGET void process_with_eight_lanes_in_avx512(overdrive_dsp* dsp, const float* in,
                                                                   float* out, int32_t count)
{
    process_passes<8, group_vectors_of_eight_lanes>(dsp, in, out, count);
}
#endif

} // namespace

void dsp_process_block(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
{
    if (dsp->block_lanes != 8)
        process_with_four_lanes(dsp, in, out, count);
#if defined(__x86_64__)
    else if (dsp->block_evex)
        process_with_eight_lanes_in_avx512(dsp, in, out, count);
#endif
    else
        process_with_eight_lanes(dsp, in, out, count);
    dsp_recover(dsp, out, count);
}
