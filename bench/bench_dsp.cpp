// dsp_process_sample over one second of a guitar-like signal: a decaying sawtooth
// chord with pick noise, at several host rates with steady parameters, and at 44100 Hz
// with all six parameters moving every 64 samples so that no glide ever rests.
// Reported as time per input sample ("per_sample"); the _plain variants run the
// path that recomputes every stage coefficient, for comparison.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>
#include <xmmintrin.h>

#include "dsp/overdrive_dsp.h"

namespace {

constexpr float defaults[6] = {50.0f, 50.0f, 50.0f, 100.0f, 100.0f, 0.0f};

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
    unsigned saved = _mm_getcsr();
    process_mode() { _mm_setcsr(saved | 0x8040u); }
    ~process_mode() { _mm_setcsr(saved); }
};

// A freshly activated overdrive with every parameter at its default.
void start_at_defaults(overdrive_dsp* dsp, int rate)
{
    dsp_init(dsp);
    for (int i = 0; i < 6; i++)
        dsp_set_param(dsp, i, defaults[i]);
    dsp_activate(dsp, static_cast<float>(rate));
}

// Time per input sample, printed with its SI prefix (e.g. "212.3ns").
void set_counter(benchmark::State& state, int rate)
{
    state.counters["per_sample"] = benchmark::Counter(
        static_cast<double>(rate),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rate);
}

template <float (*process)(overdrive_dsp*, float)>
void bm_steady(benchmark::State& state)
{
    const int rate = static_cast<int>(state.range(0));
    const std::vector<float> in = make_signal(rate);
    overdrive_dsp dsp;
    start_at_defaults(&dsp, rate);
    process_mode mode;
    float sink = 0.0f;
    for (auto _ : state) {
        for (float x : in)
            sink += process(&dsp, x);
        benchmark::DoNotOptimize(sink);
    }
    set_counter(state, rate);
}

template <float (*process)(overdrive_dsp*, float)>
void bm_moving(benchmark::State& state)
{
    const int rate = static_cast<int>(state.range(0));
    const std::vector<float> in = make_signal(rate);
    overdrive_dsp dsp;
    start_at_defaults(&dsp, rate);
    process_mode mode;
    float sink = 0.0f;
    uint32_t step = 0;
    for (auto _ : state) {
        for (size_t n = 0; n < in.size(); n++) {
            if (n % 64 == 0) {
                // Each parameter walks its range on its own stride.
                step++;
                const float a = static_cast<float>(step % 97) * (100.0f / 96.0f);
                const float b = static_cast<float>((step * 7) % 101);
                dsp_set_param(&dsp, 0, a);
                dsp_set_param(&dsp, 1, 100.0f - a);
                dsp_set_param(&dsp, 2, b);
                dsp_set_param(&dsp, 3, 100.0f - b);
                dsp_set_param(&dsp, 4, 40.0f + a);
                dsp_set_param(&dsp, 5, static_cast<float>(step & 1));
            }
            sink += process(&dsp, in[n]);
        }
        benchmark::DoNotOptimize(sink);
    }
    set_counter(state, rate);
}

} // namespace

BENCHMARK(bm_steady<dsp_process_sample>)
    ->Name("bm_steady")->Arg(44100)->Arg(48000)->Arg(96000)->Arg(192000)->Arg(11025)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(bm_moving<dsp_process_sample>)->Name("bm_moving")->Arg(44100)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(bm_steady<dsp_process_sample_plain>)
    ->Name("bm_steady_plain")->Arg(44100)->Arg(192000)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_moving<dsp_process_sample_plain>)->Name("bm_moving_plain")->Arg(44100)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
