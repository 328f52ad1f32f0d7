// setState and getState against a running audio thread. Also built with
// ThreadSanitizer, which checks that the lock hand-over orders every shared access.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>
#include <vector>

#include "plugin_instance.h"
#include "state/state_archive.h"

namespace {

using namespace state_test;
using namespace vst3;
using namespace std::chrono_literals;

// An active component with both buses on, so that blocks run the whole signal path.
struct running_plugin : ::testing::Test, plugin_instance {
    float in[64], out[64];
    float* in_ptr = in;
    float* out_ptr = out;
    AudioBusBuffers in_bus = {}, out_bus = {};
    ProcessData data = {};

    void SetUp() override {
        ProcessSetup setup = {.processMode = kRealtime, .symbolicSampleSize = kSample32, .maxSamplesPerBlock = 64, .sampleRate = 48000};
        ASSERT_EQ(ip->vtbl->setupProcessing(ip, &setup), kResultOk);
        ASSERT_EQ(ic->vtbl->activateBus(ic, kAudio, kInput, 0, 1), kResultOk);
        ASSERT_EQ(ic->vtbl->activateBus(ic, kAudio, kOutput, 0, 1), kResultOk);
        ASSERT_EQ(ic->vtbl->setActive(ic, 1), kResultOk);
        for (int i = 0; i < 64; i++) in[i] = 0.5f * std::sin(0.1f * static_cast<float>(i));
        in_bus.numChannels = 1;
        in_bus.channelBuffers32 = &in_ptr;
        out_bus.numChannels = 1;
        out_bus.channelBuffers32 = &out_ptr;
        data.numSamples = 64;
        data.numInputs = 1;
        data.numOutputs = 1;
        data.inputs = &in_bus;
        data.outputs = &out_bus;
    }
    // The audio thread's call; only that thread uses `data` and the buffers.
    tresult block() { return ip->vtbl->process(ip, &data); }
};

// Six values that all derive from k, so a torn hand-over shows as a mixed set.
std::vector<float> value_set(int k) {
    return {static_cast<float>(k % 101), static_cast<float>((k * 7) % 101), static_cast<float>((k * 13) % 101),
            static_cast<float>((k * 29) % 101), static_cast<float>((k * 3) % 201), static_cast<float>(k % 2)};
}

bytes chunk_for(const std::vector<float>& v) {
    chunk_spec s;
    s.param("drive", f32(v[0])).param("tone", f32(v[1])).param("heat", f32(v[2])).param("mix", f32(v[3])).param(
        "volume", f32(v[4])).param("bypass", f32(v[5]));
    return build_chunk(s);
}

// The six values stored in a saved chunk, as the loader delivers them.
std::vector<float> saved_values(const bytes& chunk) {
    std::vector<float> v(6, NAN);
    state_sink sink = {.context = &v,
                       .lock = [](void*) {},
                       .unlock = [](void*) {},
                       .set_value = [](void* c, int i, float x) { (*static_cast<std::vector<float>*>(c))[i] = x; }};
    EXPECT_EQ(load_state(&sink, chunk.data(), chunk.size()), 0);
    return v;
}

std::vector<float> dsp_values(const component* c) { return std::vector<float>(c->dsp.dsp_values, c->dsp.dsp_values + 6); }

TEST_F(running_plugin, set_state_races_a_running_process) {
    const int sets = 40;
    std::vector<bytes> chunks;
    for (int k = 0; k < sets; k++) chunks.push_back(chunk_for(value_set(k)));
    const std::vector<float> defaults = {50, 50, 50, 100, 100, 0};

    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::atomic<bool> process_ok{true};
    std::thread audio([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (block() != kResultOk) process_ok = false;
            blocks.fetch_add(1, std::memory_order_relaxed);
        }
    });

    while (blocks.load() == 0) std::this_thread::yield();
    // Loads go on until both sides have done plenty of work side by side.
    int torn = 0, stale = 0;
    int round = 0;
    for (; round < 400 || (blocks.load() < 2000 && round < 1000000); round++) {
        int k = round % sets;
        ASSERT_EQ(load(chunks[k]), kResultOk);
        if (round % 4 == 3) {
            // A save sees one whole set: the one just loaded, whether the audio thread
            // has taken it over yet or not.
            std::vector<float> saved = saved_values(save());
            bool whole = saved == defaults;
            for (int j = 0; j < sets && !whole; j++) whole = saved == value_set(j);
            torn += !whole;
            stale += whole && saved != value_set(k);
        }
    }
    stop = true;
    audio.join();
    EXPECT_TRUE(process_ok);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(stale, 0);
    EXPECT_GE(blocks.load(), 2000);

    // Whatever the audio thread took over meanwhile, the next locked pass leaves the
    // last loaded set in the DSP.
    ASSERT_EQ(block(), kResultOk);
    EXPECT_EQ(dsp_values(c), value_set((round - 1) % sets));
    EXPECT_EQ(saved_values(save()), value_set((round - 1) % sets));
}

TEST_F(running_plugin, audio_thread_skips_the_hand_over_while_the_lock_is_held) {
    const std::vector<float> want = value_set(17);
    ASSERT_EQ(load(chunk_for(want)), kResultOk);
    ASSERT_TRUE(param_lock_try(c));  // the user-interface side holds the lock
    // The audio thread makes one attempt per pass and goes on: these blocks return even
    // though the lock stays held (a wait here would never end).
    auto busy = std::async(std::launch::async, [&] {
        for (int i = 0; i < 50; i++)
            if (block() != kResultOk) return false;
        return true;
    });
    ASSERT_EQ(busy.wait_for(60s), std::future_status::ready) << "process waited for param_lock";
    EXPECT_TRUE(busy.get());
    param_lock_release(c);
    EXPECT_NE(dsp_values(c), want);
    EXPECT_EQ(c->state_loaded, 1);
    ASSERT_EQ(block(), kResultOk);
    EXPECT_EQ(dsp_values(c), want);
    EXPECT_EQ(c->state_loaded, 0);
}

TEST_F(running_plugin, set_and_get_state_wait_for_a_locked_pass_to_end) {
    const std::vector<float> before = dsp_values(c);
    const std::vector<float> want = value_set(5);
    bytes chunk = chunk_for(want);
    ASSERT_TRUE(param_lock_try(c));  // stands in for the audio thread inside a locked pass
    std::atomic<bool> loaded{false}, saved{false};
    bytes saved_chunk;
    std::thread loader([&] {
        tresult r = load(chunk);
        loaded = r == kResultOk;
    });
    std::thread saver([&] {
        memory_stream s;
        if (component_get_state(c, s.stream()) == kResultOk) saved_chunk = s.data;
        saved = true;
    });
    // Both spin, then yield, for as long as the pass lasts; neither may get through.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(loaded.load());
    EXPECT_FALSE(saved.load());
    param_lock_release(c);
    loader.join();
    saver.join();
    EXPECT_TRUE(loaded.load());
    ASSERT_TRUE(saved.load());
    // Loaded values are staged only; the save holds one whole set, the values in force
    // when it came first, the loaded ones (those the next pass takes) when it came after.
    const std::vector<float> saved_set = saved_values(saved_chunk);
    EXPECT_TRUE(saved_set == before || saved_set == want);
    EXPECT_EQ(c->state_loaded, 1);
    ASSERT_EQ(block(), kResultOk);
    EXPECT_EQ(dsp_values(c), want);
}

}  // namespace
