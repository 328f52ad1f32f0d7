// The signal path's cost over one second of a guitar-like signal (a decaying sawtooth
// chord with pick noise), reported as time per input sample ("per_sample"), in blocks of
// 64 samples as a host hands them over:
// - steady: parameters at their defaults;
// - automated: all six parameters moving every 64 samples, so no glide ever rests;
// - floor: only the drive stage → heat gain → tone stage recursion, coefficients settled,
//   fed the oversampled signal computed beforehand: what no arrangement of the rest can
//   go below.
// Each runs on the per-sample path (dsp_process_sample, then dsp_recover per block) and
// on the block path (dsp_process_block), at every rate in both SIMD widths (second
// argument: 8, AVX2, skipped where the processor lacks it; 4, SSE2; third argument 1: the
// eight lanes in AVX-512's encoding, skipped likewise). The _plain runs recompute every
// stage coefficient for every oversampled sample, as the laws are written.
// Two more show what bounds the automated case: floor_automated, the same recursion fed
// the coefficients that automation gives each oversampled sample (worked out
// beforehand), and coefficients, the stage coefficients alone, per oversampled sample,
// with 8 or 4 lanes (first argument) and 1, 2 or 4 vectors taken as one value (second
// argument), so that as many independent chains move side by side; 0 runs one vector at
// a time with each group waiting for the one before, which measures one group's latency;
// third argument 1, AVX-512's encoding. floor_beside_work is the floor with a given
// number of independent eight-lane operations per oversampled sample beside it: what
// work of that size costs next to the recursion on this core, spread evenly (second
// argument 0) or in bursts at every eighth sample (1), which the processor's window of
// instructions in flight cannot hide.
// clock gives the time of one core cycle, to turn the others into cycles.
// bench/chain_depth.py counts both chains in dependent operations (target chain_depth).
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/arch.h"
#include "dsp/lane_groups.h"
#include "dsp/overdrive_dsp.h"
#include "dsp/resampler.h"
#include "dsp/signal_path.h"
#include "dsp/stages.h"

namespace {

constexpr float defaults[6] = {50.0f, 50.0f, 50.0f, 100.0f, 100.0f, 0.0f};
constexpr int block = 64;

std::vector<float> make_signal(int rate)
{
    std::vector<float> out(static_cast<size_t>(rate));
    const float freqs[3] = {82.41f, 123.47f, 164.81f};
    float phase[3] = {};
    uint32_t seed = 12345;
    for (int n = 0; n < rate; n++) {
        // A new strum every quarter second.
        const int since = n % (rate / 4);
        const float env = 1.0f / (1.0f + static_cast<float>(since) * (8.0f / static_cast<float>(rate)));
        float s = 0.0f;
        for (int k = 0; k < 3; k++) {
            phase[k] += freqs[k] / static_cast<float>(rate);
            if (phase[k] >= 1.0f)
                phase[k] -= 1.0f;
            s += 2.0f * phase[k] - 1.0f;
        }
        seed = seed * 1664525u + 1013904223u;
        const float noise = static_cast<float>(seed >> 8) * (1.0f / 16777216.0f) - 0.5f;
        const float pick = since < rate / 200 ? noise * 0.3f : noise * 0.002f;
        out[static_cast<size_t>(n)] = 0.15f * env * s + pick;
    }
    return out;
}

// The host's audio thread runs with flush-to-zero and denormals-are-zero.
struct process_mode {
    fp_control saved = audio_fp_control_enter();
    ~process_mode() { fp_control_write(saved); }
};

// A freshly activated overdrive with every parameter at its default.
void start_at_defaults(overdrive_dsp* dsp, int rate)
{
    dsp_init(dsp);
    for (int i = 0; i < 6; i++)
        dsp_set_param(dsp, i, defaults[i]);
    dsp_activate(dsp, static_cast<float>(rate));
}

// A run asking for eight lanes, or for their AVX-512 encoding, where the processor
// lacks them ends, saying why.
bool skipped_without(benchmark::State& state, int lanes, bool evex = false)
{
    if (lanes == 8 && !arch_has_eight_lanes()) {
        state.SkipWithError("this processor has no AVX2 for eight lanes");
        return true;
    }
    if (evex && !arch_has_eight_lane_evex()) {
        state.SkipWithError("this processor has no AVX-512 (F and VL) for the eight lanes' encoding");
        return true;
    }
    return false;
}

// Time per input sample, printed with its SI prefix (e.g. "212.3ns").
void set_counter(benchmark::State& state, int rate)
{
    state.counters["per_sample"] = benchmark::Counter(
        static_cast<double>(rate),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rate);
}

// Each parameter walks its range on its own stride.
void automate(overdrive_dsp* dsp, uint32_t step)
{
    const float a = static_cast<float>(step % 97) * (100.0f / 96.0f);
    const float b = static_cast<float>((step * 7) % 101);
    dsp_set_param(dsp, 0, a);
    dsp_set_param(dsp, 1, 100.0f - a);
    dsp_set_param(dsp, 2, b);
    dsp_set_param(dsp, 3, 100.0f - b);
    dsp_set_param(dsp, 4, 40.0f + a);
    dsp_set_param(dsp, 5, static_cast<float>(step & 1));
}

void per_sample(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
{
    for (int32_t n = 0; n < count; n++)
        out[n] = dsp_process_sample(dsp, in[n]);
    dsp_recover(dsp, out, count);
}

void per_sample_plain(overdrive_dsp* dsp, const float* in, float* out, int32_t count)
{
    for (int32_t n = 0; n < count; n++)
        out[n] = dsp_process_sample_plain(dsp, in[n]);
    dsp_recover(dsp, out, count);
}

using block_fn = void (*)(overdrive_dsp*, const float*, float*, int32_t);

template <block_fn process, bool automated>
void bm_path(benchmark::State& state)
{
    const int rate = static_cast<int>(state.range(0));
    const std::vector<float> in = make_signal(rate);
    std::vector<float> out(in.size());
    overdrive_dsp dsp;
    start_at_defaults(&dsp, rate);
    const bool evex = state.range(1) == 8 && state.range(2) != 0;
    if (skipped_without(state, static_cast<int>(state.range(1)), evex))
        return;
    if (state.range(1) != 0)
        dsp.block_lanes = static_cast<int32_t>(state.range(1));
    dsp.block_evex = evex;
    process_mode mode;
    uint32_t step = 0;
    for (auto _ : state) {
        for (size_t n = 0; n < in.size(); n += block) {
            if (automated)
                automate(&dsp, ++step);
            const int32_t count = in.size() - n < block ? static_cast<int32_t>(in.size() - n) : block;
            process(&dsp, &in[n], &out[n], count);
        }
        benchmark::DoNotOptimize(out.data());
    }
    set_counter(state, rate);
}

// The oversampled signal as the section receives it: gain, input high-passes and, from
// factor 2 up, the upsampler.
std::vector<float> oversampled_signal(overdrive_dsp* dsp, int rate)
{
    const std::vector<float> in = make_signal(rate);
    const int n = dsp->oversampling < 2 ? 1 : dsp->oversampling;
    std::vector<float> os(in.size() * static_cast<size_t>(n));
    for (size_t i = 0; i < in.size(); i++) {
        const float y2 = path_input(dsp, in[i]);
        if (n < 2)
            os[i] = y2;
        else
            resampler_process(&dsp->upsampler, &dsp->upsampler_state, &y2, &os[i * static_cast<size_t>(n)], 1);
    }
    return os;
}

void bm_floor(benchmark::State& state)
{
    const int rate = static_cast<int>(state.range(0));
    overdrive_dsp dsp;
    start_at_defaults(&dsp, rate);
    process_mode mode;
    // Every iteration takes the same signal, as the paths do. Worked in place, the floor
    // would take its own output from the second iteration on: a signal that grows with
    // every pass, on which the recursion runs a few per cent faster than on this one.
    const std::vector<float> os = oversampled_signal(&dsp, rate);
    std::vector<float> out(os.size());
    const clip_stage* cs = &dsp.clip_stage;
    const tone_stage* ts = &dsp.tone_stage;
    smoother heat = dsp.heat_gain;
    float clip_state[4] = {}, tone_state[4] = {};
    for (auto _ : state) {
        for (size_t j = 0; j < os.size(); j++)
            out[j] = oversampled_step(cs, clip_state, &heat, ts, tone_state, os[j]);
        benchmark::DoNotOptimize(out.data());
    }
    set_counter(state, rate);
}

// The floor's recursion with independent work beside it: range(0) eight-lane operations
// per oversampled sample (half products, half sums, on range(2) accumulators that never
// wait on each other or on the recursion), spread evenly (range(1) 0) or all at every
// eighth sample (1). What work of that size costs there, and what it costs in bursts.
// Each accumulator is a chain: at a given count of operations, fewer accumulators make
// each sample's share of the work a deeper chain, as a coefficient stage is.
template <int A>
ARCH_EIGHT_LANE_TARGET void recursion_beside_work(const overdrive_dsp* dsp, const float* in, float* out,
                                                  size_t count, int rounds, bool bursts, float* sink)
{
    const clip_stage* cs = &dsp->clip_stage;
    const tone_stage* ts = &dsp->tone_stage;
    smoother heat = dsp->heat_gain;
    float clip_state[4] = {}, tone_state[4] = {};
    f32x8 acc[A];
    for (int i = 0; i < A; i++)
        acc[i] = splat<f32x8>(0.5f + 0.01f * static_cast<float>(i));
    const f32x8 m = splat<f32x8>(0.999f), c = splat<f32x8>(0.0005f);
    for (size_t j = 0; j < count; j++) {
        out[j] = oversampled_step(cs, clip_state, &heat, ts, tone_state, in[j]);
        const int now = !bursts ? rounds : (j & 7) == 0 ? rounds * 8 : 0;
        // Unrolled, so that the accumulators stay in registers: a loop over them would
        // keep them in memory, each operation then a load, the operation and a store.
        for (int r = 0; r < now; r++)
#pragma GCC unroll 8
            for (int i = 0; i < A; i++)
                acc[i] = acc[i] * m + c;
    }
    f32x8 sum = acc[0];
    for (int i = 1; i < A; i++)
        sum += acc[i];
    store_lanes(sink, sum);
}

void bm_floor_beside_work(benchmark::State& state)
{
    const int rate = 44100;
    overdrive_dsp dsp;
    start_at_defaults(&dsp, rate);
    if (skipped_without(state, 8))
        return;
    process_mode mode;
    const std::vector<float> os = oversampled_signal(&dsp, rate);
    std::vector<float> out(os.size());
    float sink[8];
    // The rounds follow from the count, so a count without a build of its own would
    // run other work than its name says.
    const int accumulators = static_cast<int>(state.range(2));
    const auto run = accumulators == 2   ? recursion_beside_work<2>
                     : accumulators == 4 ? recursion_beside_work<4>
                     : accumulators == 8 ? recursion_beside_work<8>
                                         : nullptr;
    if (run == nullptr) {
        state.SkipWithError("accumulators: 2, 4 or 8");
        return;
    }
    const int rounds = static_cast<int>(state.range(0)) / (2 * accumulators);
    const bool bursts = state.range(1) != 0;
    for (auto _ : state) {
        run(&dsp, os.data(), out.data(), os.size(), rounds, bursts, sink);
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(sink);
    }
    set_counter(state, rate);
}

// The recursion with the coefficients of every oversampled sample of the automated
// run, as the per-sample path computes them.
void bm_floor_automated(benchmark::State& state)
{
    const int rate = static_cast<int>(state.range(0));
    overdrive_dsp dsp;
    start_at_defaults(&dsp, rate);
    process_mode mode;
    const std::vector<float> in = make_signal(rate);
    const int n = dsp.oversampling < 2 ? 1 : dsp.oversampling;
    struct sample {
        float s, heat;
        clip_coeffs<float> clip;
        tone_coeffs<float> tone;
    };
    std::vector<sample> os;
    uint32_t step = 0;
    for (size_t i = 0; i < in.size(); i++) {
        if (i % block == 0)
            automate(&dsp, ++step);
        float w[dsp_max_oversampling];
        const float y2 = path_input(&dsp, in[i]);
        if (n < 2)
            w[0] = y2;
        else
            resampler_process(&dsp.upsampler, &dsp.upsampler_state, &y2, w, 1);
        for (int j = 0; j < n; j++) {
            clip_stage* cs = &dsp.clip_stage;
            tone_stage* ts = &dsp.tone_stage;
            clip_update_controls(cs, false);
            clip_update_coeffs(cs);
            tone_update_controls(ts, false);
            tone_update_coeffs(ts);
            smoother_run(&dsp.heat_gain);
            // Both coefficient records follow the order of the stage records' fields.
            sample o = {w[j], dsp.heat_gain.value, {}, {}};
            std::memcpy(&o.clip, &cs->c1, sizeof o.clip);
            std::memcpy(&o.tone, &ts->k, offsetof(tone_coeffs<float>, out_a));
            o.tone.out_a = ts->out_a;
            o.tone.out_b = ts->out_b;
            os.push_back(o);
        }
    }
    float clip_state[4] = {}, tone_state[4] = {};
    std::vector<float> out(os.size());
    for (auto _ : state) {
        for (size_t j = 0; j < os.size(); j++) {
            const sample& o = os[j];
            smoother heat = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, o.heat, o.heat};
            out[j] = oversampled_step(&o.clip, clip_state, &heat, &o.tone, tone_state, o.s);
        }
        benchmark::DoNotOptimize(out.data());
    }
    set_counter(state, rate);
}

// The coefficients of both stages for sixty-four oversampled samples whose controls all
// glide, W samples at a time. Chained, each group's controls wait for the previous
// group's result (they take it times zero, which leaves them as they are), so that no
// two groups overlap: the time per group is then the latency of one group's chain.
template <class F, bool chained = false>
[[gnu::always_inline]] inline void all_coefficients(const overdrive_dsp* dsp, const float* controls, float* sink)
{
    constexpr int W = sizeof(F) / sizeof(float);
    const clip_stage* cs = &dsp->clip_stage;
    const tone_stage* ts = &dsp->tone_stage;
    F link = splat<F>(0.0f);
    const auto control = [&](int at) {
        if constexpr (chained)
            return load_lanes<F>(controls + at) + link;
        else
            return load_lanes<F>(controls + at);
    };
    for (int j = 0; j < 64; j += W) {
        const F c1 = clip_c1(control(64 + j));
        const F c2 = clip_c2(control(128 + j));
        const F r = clip_r_drive(control(j));
        const F k = clip_k(c1, r, c2, splat<F>(cs->max_freq), splat<F>(cs->inv_rate));
        const clip_coeffs<F> clip = clip_coeffs_of(k, c1, c2, r, c1, c2, splat<F>(cs->rate));
        const tone_controls<F> tc = tone_controls_of(control(192 + j));
        const F c = splat<F>(ts->c);
        const F tk = tone_k(c, tc.prewarp_base, splat<F>(ts->max_freq), splat<F>(ts->inv_rate));
        const tone_coeffs<F> tone = tone_coeffs_of(tk, c, c, splat<F>(ts->rate), tc.ga, tc.gab, tc.gin, tc.out_a, tc.out_b);
        const F result = clip.e8 + clip.e17 + tone.t7;
        store_lanes(sink + j, result);
        if constexpr (chained)
            link = result * splat<F>(0.0f);
    }
}

// The coefficients in one of their forms: N = 0, one vector at a time, chained; N = 1,
// one vector at a time; otherwise N vectors as one value.
template <class F, int N>
[[gnu::always_inline]] inline void coefficients_in_form(const overdrive_dsp* dsp, const float* controls,
                                                        float* sink)
{
    if constexpr (N == 0)
        all_coefficients<F, true>(dsp, controls, sink);
    else if constexpr (N == 1)
        all_coefficients<F>(dsp, controls, sink);
    else
        all_coefficients<lane_group<F, N>>(dsp, controls, sink);
}

template <int N>
void coefficients_in_four_lanes(const overdrive_dsp* dsp, const float* controls, float* sink)
{
    coefficients_in_form<f32x4, N>(dsp, controls, sink);
}

template <int N>
ARCH_EIGHT_LANE_TARGET void coefficients_in_eight_lanes(const overdrive_dsp* dsp, const float* controls,
                                                        float* sink)
{
    coefficients_in_form<f32x8, N>(dsp, controls, sink);
}

template <int N>
ARCH_EIGHT_LANE_EVEX_TARGET void coefficients_in_eight_lanes_evex(const overdrive_dsp* dsp, const float* controls,
                                                                  float* sink)
{
    coefficients_in_form<f32x8, N>(dsp, controls, sink);
}

using coefficients_fn = void (*)(const overdrive_dsp*, const float*, float*);

template <int N>
coefficients_fn coefficients_routine_of(int lanes, bool evex)
{
    if (evex)
        return coefficients_in_eight_lanes_evex<N>;
    return lanes == 8 ? coefficients_in_eight_lanes<N> : coefficients_in_four_lanes<N>;
}

coefficients_fn coefficients_routine(int lanes, int vectors, bool evex = false)
{
    switch (vectors) {
    case 0:
        return coefficients_routine_of<0>(lanes, evex);
    case 2:
        return coefficients_routine_of<2>(lanes, evex);
    case 4:
        return coefficients_routine_of<4>(lanes, evex);
    default:
        return coefficients_routine_of<1>(lanes, evex);
    }
}

// Time per oversampled sample.
void bm_coefficients(benchmark::State& state)
{
    overdrive_dsp dsp;
    start_at_defaults(&dsp, 44100);
    process_mode mode;
    float controls[256], sink[64];
    for (int j = 0; j < 64; j++) {
        controls[j] = 0.3f + 0.01f * static_cast<float>(j);
        controls[64 + j] = 720.0f * (1.0f + 0.01f * static_cast<float>(j));
        controls[128 + j] = 5663.0f * (1.0f + 0.01f * static_cast<float>(j));
        controls[192 + j] = 0.2f + 0.01f * static_cast<float>(j);
    }
    const bool evex = state.range(0) == 8 && state.range(2) != 0;
    if (skipped_without(state, static_cast<int>(state.range(0)), evex))
        return;
    const coefficients_fn routine = coefficients_routine(static_cast<int>(state.range(0)),
                                                         static_cast<int>(state.range(1)), evex);
    // Every form gives the bits of the plain one, the chained one included.
    float plain[64];
    coefficients_routine(static_cast<int>(state.range(0)), 1)(&dsp, controls, plain);
    routine(&dsp, controls, sink);
    if (std::memcmp(plain, sink, sizeof sink) != 0) {
        state.SkipWithError("this form's coefficients differ from one vector's");
        return;
    }
    for (auto _ : state) {
        routine(&dsp, controls, sink);
        benchmark::DoNotOptimize(sink);
    }
    state.counters["per_os_sample"] = benchmark::Counter(
        64, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The core's clock, for turning the times above into cycles: a chain of dependent
// integer additions, one cycle each on every x86-64 core, reported as time per cycle.
void bm_clock(benchmark::State& state)
{
    uint64_t x = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; i++) {
#if defined(__x86_64__)
            asm volatile("add $1, %0" : "+r"(x));
#else
            asm volatile("add %0, %0, #1" : "+r"(x));
#endif
        }
    }
    benchmark::DoNotOptimize(x);
    state.counters["per_cycle"] = benchmark::Counter(
        1000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void rates(benchmark::internal::Benchmark* b, int lanes, int evex = 0)
{
    for (int rate : {44100, 48000, 96000, 192000, 11025})
        b->Args({rate, lanes, evex});
    b->Unit(benchmark::kMillisecond);
}

// The block path at every rate in both widths, eight lanes also in AVX-512's encoding
// (third argument 1).
void block_widths(benchmark::internal::Benchmark* b)
{
    rates(b, 8, 1);
    rates(b, 8);
    rates(b, 4);
}

} // namespace

BENCHMARK(bm_floor)->Apply([](benchmark::internal::Benchmark* b) { rates(b, 0); });
BENCHMARK(bm_path<per_sample, false>)->Name("bm_steady")->Apply([](benchmark::internal::Benchmark* b) { rates(b, 0); });
BENCHMARK(bm_path<dsp_process_block, false>)->Name("bm_steady_block")->Apply(block_widths);
BENCHMARK(bm_path<per_sample, true>)->Name("bm_automated")->Apply([](benchmark::internal::Benchmark* b) { rates(b, 0); });
BENCHMARK(bm_path<dsp_process_block, true>)->Name("bm_automated_block")->Apply(block_widths);
BENCHMARK(bm_floor_beside_work)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 160, 16), {0, 1}, {8}})
    ->ArgsProduct({{32, 64, 96}, {0}, {2, 4}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(bm_floor_automated)->Args({44100, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(bm_coefficients)->ArgsProduct({{8, 4}, {0, 1, 2, 4}, {0}});
BENCHMARK(bm_coefficients)->ArgsProduct({{8}, {0, 1, 2, 4}, {1}});
BENCHMARK(bm_path<per_sample_plain, false>)->Name("bm_steady_plain")->Args({44100, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(bm_path<per_sample_plain, true>)->Name("bm_automated_plain")->Args({44100, 0})->Unit(benchmark::kMillisecond);

BENCHMARK(bm_clock);

BENCHMARK_MAIN();
