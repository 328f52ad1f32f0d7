// The processing driver through the ABI: when queue points take effect, how values are
// mapped, and what process does with unusual buffers.
#include <cmath>

#include "bundle_fixture.h"
#include "dsp/arch.h"

using namespace vst3;
using namespace host_test;

namespace {

constexpr int32 block = 512;

class processing : public bundle_test {
protected:
    // Runs `blocks` blocks of noise through a fresh instance; `changes_for(b)` fills the
    // queues of block b. Returns the output; `drive_after` gets the saved Drive value
    // after each block.
    template <typename F>
    std::vector<float> run(int blocks, F changes_for, std::vector<float>* drive_after = nullptr) {
        plugin_instance inst;
        make(&inst);
        std::vector<float> in = noise((size_t)blocks * block), out(in.size());
        param_changes changes;
        param_changes_init(&changes);
        for (int b = 0; b < blocks; ++b) {
            param_changes_clear(&changes);
            changes_for(b, &changes);
            EXPECT_EQ(plugin_instance_process(&inst, in.data() + b * block, out.data() + b * block, block,
                                              &changes.iface),
                      kResultOk);
            if (drive_after) drive_after->push_back(saved_value(&inst, "drive"));
        }
        plugin_instance_destroy(&inst);
        return out;
    }
    static std::vector<float> part(const std::vector<float>& v, int b) {
        return std::vector<float>(v.begin() + b * block, v.begin() + (b + 1) * block);
    }
};

TEST_F(processing, first_point_at_zero_applies_before_the_block_and_the_last_after_it) {
    std::vector<float> drive_three;
    auto three_points = run(
        2,
        [](int b, param_changes* pc) {
            if (b != 0) return;
            param_changes_add(pc, drive_id, 0, 0.2);
            param_changes_add(pc, drive_id, 100, 0.9);
            param_changes_add(pc, drive_id, 300, 0.6);
        },
        &drive_three);
    // The middle point is never seen: dropping it changes no sample.
    auto outer_points = run(2, [](int b, param_changes* pc) {
        if (b != 0) return;
        param_changes_add(pc, drive_id, 0, 0.2);
        param_changes_add(pc, drive_id, 300, 0.6);
    });
    // During the first block only the first point is in force...
    auto first_only = run(2, [](int b, param_changes* pc) {
        if (b == 0) param_changes_add(pc, drive_id, 0, 0.2);
    });
    auto untouched = run(2, [](int, param_changes*) {});

    EXPECT_TRUE(same_bits(three_points, outer_points));
    EXPECT_TRUE(same_bits(part(three_points, 0), part(first_only, 0)));
    EXPECT_FALSE(same_bits(part(three_points, 0), part(untouched, 0)));
    // ...and the last one is in force from the next block on.
    EXPECT_FALSE(same_bits(part(three_points, 1), part(first_only, 1)));
    ASSERT_EQ(drive_three.size(), 2u);
    EXPECT_EQ(drive_three[0], 60.0f);
}

TEST_F(processing, a_lone_later_point_applies_after_the_block) {
    std::vector<float> drive;
    auto lone = run(
        2, [](int b, param_changes* pc) { if (b == 0) param_changes_add(pc, drive_id, 200, 0.8); }, &drive);
    auto untouched = run(2, [](int, param_changes*) {});
    auto at_next_start = run(2, [](int b, param_changes* pc) { if (b == 1) param_changes_add(pc, drive_id, 0, 0.8); });
    EXPECT_TRUE(same_bits(part(lone, 0), part(untouched, 0)));
    EXPECT_EQ(drive[0], 80.0f);
    // Applied after block 0 is the same as applied before block 1.
    EXPECT_TRUE(same_bits(lone, at_next_start));
}

TEST_F(processing, normalized_values_are_rounded_clamped_and_nan_is_dropped) {
    plugin_instance inst;
    make(&inst);
    param_changes changes;
    param_changes_init(&changes);
    auto deliver = [&](ParamID id, double normalized) {
        param_changes_clear(&changes);
        param_changes_add(&changes, id, 0, normalized);
        EXPECT_EQ(plugin_instance_process(&inst, nullptr, nullptr, 0, &changes.iface), kResultOk);
    };
    deliver(bypass_id, 0.5);
    EXPECT_EQ(saved_value(&inst, "bypass"), 1.0f);
    deliver(bypass_id, 0.49);
    EXPECT_EQ(saved_value(&inst, "bypass"), 0.0f);
    deliver(volume_id, 1.3);
    EXPECT_EQ(saved_value(&inst, "volume"), 200.0f);
    deliver(volume_id, -0.3);
    EXPECT_EQ(saved_value(&inst, "volume"), 0.0f);
    deliver(tone_id, 0.25);
    EXPECT_EQ(saved_value(&inst, "tone"), 25.0f);
    // A NaN would index the tone taper with an undefined integer: it never arrives.
    deliver(tone_id, std::nan(""));
    EXPECT_EQ(saved_value(&inst, "tone"), 25.0f);
    deliver(drive_id, std::nan(""));
    EXPECT_EQ(saved_value(&inst, "drive"), 50.0f);
    // Toggle rounding would turn a NaN into "off".
    deliver(bypass_id, 1.0);
    deliver(bypass_id, std::nan(""));
    EXPECT_EQ(saved_value(&inst, "bypass"), 1.0f);
    // An unknown id and an empty queue are ignored.
    param_changes_clear(&changes);
    param_changes_add(&changes, 0x12345678, 0, 0.9);
    ParamID mix = mix_id;
    changes.iface.vtbl->addParameterData(&changes.iface, &mix, nullptr);
    EXPECT_EQ(plugin_instance_process(&inst, nullptr, nullptr, 0, &changes.iface), kResultOk);
    EXPECT_EQ(saved_value(&inst, "mix"), 100.0f);

    std::vector<float> in = noise(block), out(block);
    ASSERT_EQ(plugin_instance_process(&inst, in.data(), out.data(), block, nullptr), kResultOk);
    for (float y : out) ASSERT_TRUE(std::isfinite(y));
    plugin_instance_destroy(&inst);
}

TEST_F(processing, an_inactive_bus_gives_silence_while_parameters_still_move) {
    plugin_instance inst;
    make(&inst, false);
    IComponent* c = inst.component;
    std::string error;
    ASSERT_TRUE(plugin_instance_activate(&inst, 44100.0, block, &error)) << error;
    c->vtbl->setActive(c, 0);
    c->vtbl->activateBus(c, kAudio, kInput, 0, 0);
    ASSERT_EQ(c->vtbl->setActive(c, 1), kResultOk);

    param_changes changes;
    param_changes_init(&changes);
    param_changes_add(&changes, volume_id, 0, 1.0);
    std::vector<float> in = noise(block);
    for (int b = 0; b < 4; ++b) {
        std::vector<float> out(block, 0.75f);
        ASSERT_EQ(plugin_instance_process(&inst, in.data(), out.data(), block, b == 0 ? &changes.iface : nullptr),
                  kResultOk);
        EXPECT_EQ(out, std::vector<float>(block, 0.0f)) << "block " << b;
    }
    EXPECT_EQ(saved_value(&inst, "volume"), 200.0f);
    plugin_instance_destroy(&inst);
}

TEST_F(processing, in_place_buffers_give_the_same_samples_as_separate_ones) {
    plugin_instance a, b;
    make(&a);
    make(&b);
    param_changes changes;
    param_changes_init(&changes);
    std::vector<float> in = noise(8 * block, 7), separate(in.size()), in_place = in;
    for (int k = 0; k < 8; ++k) {
        param_changes_clear(&changes);
        param_changes_add(&changes, drive_id, 0, k * 0.125);
        param_changes_add(&changes, bypass_id, 0, k == 5 ? 1.0 : 0.0);
        ASSERT_EQ(plugin_instance_process(&a, in.data() + k * block, separate.data() + k * block, block,
                                          &changes.iface), kResultOk);
        float* buf = in_place.data() + k * block;
        ASSERT_EQ(plugin_instance_process(&b, buf, buf, block, &changes.iface), kResultOk);
    }
    EXPECT_TRUE(same_bits(separate, in_place));
    EXPECT_FALSE(same_bits(separate, in));
    plugin_instance_destroy(&a);
    plugin_instance_destroy(&b);
}

// Buffers with guard zones on both sides, to see that process writes only the samples
// of the channels it was given for this block.
struct guarded {
    static constexpr size_t guard = 64;
    static constexpr float canary = 12345.0f;
    std::vector<float> store;
    explicit guarded(size_t n, float fill) : store(n + 2 * guard, canary) {
        std::fill(store.begin() + guard, store.end() - guard, fill);
    }
    float* data() { return store.data() + guard; }
    std::vector<float> body() const { return {store.begin() + guard, store.end() - guard}; }
    bool guards_intact() const {
        for (size_t i = 0; i < guard; ++i)
            if (store[i] != canary || store[store.size() - 1 - i] != canary) return false;
        return true;
    }
};

TEST_F(processing, extra_channels_and_missing_buffers_stay_within_this_blocks_memory) {
    plugin_instance host_like, ref, silent_ref;
    make(&host_like);
    make(&ref);
    make(&silent_ref);
    const int32 n = 256;
    std::vector<float> in0 = noise(n, 3), in1 = noise(n, 4), ref_out(n), zeros(n, 0.0f), silent_out(n);

    // Several channels in and out: channel 0 is processed, the other output channels are
    // cleared, a null one is skipped.
    guarded out0(n, 0.5f), out1(n, 0.5f);
    float* ins[2] = {in0.data(), in1.data()};
    float* outs[3] = {out0.data(), nullptr, out1.data()};
    AudioBusBuffers in_bus{}, out_bus{};
    in_bus.numChannels = 2;
    in_bus.channelBuffers32 = ins;
    out_bus.numChannels = 3;
    out_bus.channelBuffers32 = outs;
    ProcessData data{};
    data.symbolicSampleSize = kSample32;
    data.numSamples = n;
    data.numInputs = 1;
    data.numOutputs = 1;
    data.inputs = &in_bus;
    data.outputs = &out_bus;
    IAudioProcessor* p = host_like.processor;
    ASSERT_EQ(p->vtbl->process(p, &data), kResultOk);
    ASSERT_EQ(plugin_instance_process(&ref, in0.data(), ref_out.data(), n, nullptr), kResultOk);
    EXPECT_TRUE(same_bits(out0.body(), ref_out));
    EXPECT_EQ(out1.body(), zeros);
    EXPECT_TRUE(out0.guards_intact() && out1.guards_intact());

    // Samples but no output channel: last block's buffers must not be written again.
    std::fill(out0.data(), out0.data() + n, 0.25f);
    out_bus.numChannels = 0;
    ASSERT_EQ(p->vtbl->process(p, &data), kResultOk);
    EXPECT_EQ(out0.body(), std::vector<float>(n, 0.25f));
    data.numOutputs = 0;
    data.outputs = nullptr;
    ASSERT_EQ(p->vtbl->process(p, &data), kResultOk);
    EXPECT_EQ(out0.body(), std::vector<float>(n, 0.25f));

    // Samples but no input channel: the signal path runs on silence.
    plugin_instance fresh;
    make(&fresh);
    guarded out(n, 0.5f);
    float* one_out[1] = {out.data()};
    float* null_in[1] = {nullptr};
    in_bus.numChannels = 1;
    in_bus.channelBuffers32 = null_in;
    out_bus.numChannels = 1;
    out_bus.channelBuffers32 = one_out;
    data.numOutputs = 1;
    data.outputs = &out_bus;
    ASSERT_EQ(fresh.processor->vtbl->process(fresh.processor, &data), kResultOk);
    ASSERT_EQ(plugin_instance_process(&silent_ref, zeros.data(), silent_out.data(), n, nullptr), kResultOk);
    EXPECT_TRUE(same_bits(out.body(), silent_out));
    EXPECT_TRUE(out.guards_intact());

    for (plugin_instance* i : {&host_like, &ref, &silent_ref, &fresh}) plugin_instance_destroy(i);
}

TEST_F(processing, an_inactive_component_clears_only_the_channels_it_has) {
    plugin_instance inst;
    make(&inst, false);  // never activated: nothing to process
    const int32 n = 128;
    guarded a(n, 0.5f), b(n, 0.5f);
    float* outs[3] = {a.data(), nullptr, b.data()};
    AudioBusBuffers buses[2]{};
    buses[0].numChannels = 3;
    buses[0].channelBuffers32 = outs;
    buses[1].numChannels = 2;
    buses[1].channelBuffers32 = nullptr;
    ProcessData data{};
    data.numSamples = n;
    data.numOutputs = 2;
    data.outputs = buses;
    ASSERT_EQ(inst.processor->vtbl->process(inst.processor, &data), kResultOk);
    EXPECT_EQ(a.body(), std::vector<float>(n, 0.0f));
    EXPECT_EQ(b.body(), std::vector<float>(n, 0.0f));
    EXPECT_TRUE(a.guards_intact() && b.guards_intact());
    plugin_instance_destroy(&inst);
}

TEST_F(processing, an_empty_block_only_hands_over_parameters) {
    plugin_instance inst;
    make(&inst);
    param_changes changes;
    param_changes_init(&changes);
    param_changes_add(&changes, drive_id, 0, 0.3);
    param_changes_add(&changes, volume_id, 0, 0.25);
    std::vector<float> out(16, 0.5f);
    ASSERT_EQ(plugin_instance_process(&inst, out.data(), out.data(), 0, &changes.iface), kResultOk);
    EXPECT_EQ(out, std::vector<float>(16, 0.5f));
    EXPECT_EQ(saved_value(&inst, "drive"), 30.0f);
    EXPECT_EQ(saved_value(&inst, "volume"), 50.0f);
    plugin_instance_destroy(&inst);
}

#if defined(__x86_64__)
// MXCSR: flush-to-zero 0x8000 and denormals-are-zero 0x40 are the driver's; 0x6000 rounds
// toward zero; the low six bits are sticky flags, not compared.
constexpr fp_control driver_bits = 0x8040u, toward_zero = 0x6000u, compared_bits = 0xFFC0u;
constexpr fp_control entry_modes[] = {0u, 0x8040u, 0x8000u, 0x40u};
#elif defined(__aarch64__)
// FPCR: FZ (bit 24), AH (bit 1) and FIZ (bit 0) are the driver's; bits 22-23 = 3 round
// toward zero. A processor without FEAT_AFP reads AH and FIZ as zero.
constexpr fp_control driver_bits = (1u << 24) | 3u, toward_zero = 3u << 22, compared_bits = ~0ull;
constexpr fp_control entry_modes[] = {0u, 1u << 24, 1u << 1, 1u, (1u << 24) | 3u};
#endif

TEST_F(processing, the_flush_to_zero_bits_are_the_hosts_again_after_each_block) {
    plugin_instance inst;
    make(&inst);
    std::vector<float> in = noise(block), out(block);
    const fp_control saved = fp_control_read();
    for (fp_control entry_bits : entry_modes) {
        // Round-toward-zero as well: bits the driver does not own stay as they were.
        fp_control_write((saved & ~(driver_bits | toward_zero)) | entry_bits | toward_zero);
        const fp_control before = fp_control_read();
        plugin_instance_process(&inst, in.data(), out.data(), block, nullptr);
        const fp_control after = fp_control_read();
        fp_control_write(saved);
        EXPECT_EQ(after & compared_bits, before & compared_bits) << std::hex << entry_bits;
    }
    plugin_instance_destroy(&inst);
}

}  // namespace
