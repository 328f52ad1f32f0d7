// Processing set-up and activation: setupProcessing keeps whatever rate the host gives,
// setActive(true) refuses a rate it cannot design the filters for, and a refusal
// leaves the component exactly as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "component/component.h"

using namespace vst3;

namespace {

struct component_box {
    IComponent* ic = nullptr;
    IAudioProcessor* ip = nullptr;
    component* c = nullptr;
    FUnknown context{nullptr};

    component_box() {
        EXPECT_EQ(component_create(IComponent_iid, reinterpret_cast<void**>(&ic)), kResultOk);
        if (ic == nullptr) abort();
        EXPECT_EQ(ic->vtbl->initialize(ic, &context), kResultOk);
        EXPECT_EQ(ic->vtbl->queryInterface(ic, IAudioProcessor_iid, reinterpret_cast<void**>(&ip)), kResultOk);
        c = component_from_iface(ic);
        ic->vtbl->activateBus(ic, kAudio, kInput, 0, 1);
        ic->vtbl->activateBus(ic, kAudio, kOutput, 0, 1);
    }
    ~component_box() {
        ip->vtbl->release(ip);
        ic->vtbl->release(ic);
    }

    tresult setup(double rate) {
        ProcessSetup s{kRealtime, kSample32, 512, rate};
        return ip->vtbl->setupProcessing(ip, &s);
    }

    // One mono block of a 1 kHz tone at 48 kHz starting at sample `start`.
    std::vector<float> block(int start) {
        std::vector<float> in(256), out(256, 7.0f);
        for (int n = 0; n < 256; ++n) in[n] = 0.5f * std::sin(2.0f * 3.14159265f * 1000.0f * (start + n) / 48000.0f);
        float* in_ch = in.data();
        float* out_ch = out.data();
        AudioBusBuffers in_bus{}, out_bus{};
        in_bus.numChannels = 1;
        in_bus.channelBuffers32 = &in_ch;
        out_bus.numChannels = 1;
        out_bus.channelBuffers32 = &out_ch;
        ProcessData data{};
        data.numSamples = 256;
        data.numInputs = 1;
        data.numOutputs = 1;
        data.inputs = &in_bus;
        data.outputs = &out_bus;
        EXPECT_EQ(ip->vtbl->process(ip, &data), kResultOk);
        return out;
    }
};

bool all_zero(const std::vector<float>& v) {
    for (float x : v)
        if (x != 0.0f) return false;
    return true;
}

TEST(setup_and_activation, any_rate_is_stored_and_activation_refuses_the_unusable_ones) {
    struct {
        double given;
        float stored;
    } const cases[] = {
        {0.0, 0.0f}, {-44100.0, -44100.0f}, {NAN, NAN}, {INFINITY, INFINITY},
        // beyond the float range: an infinity of the same sign
        {1e300, INFINITY}, {-1e300, -INFINITY},
    };
    for (const auto& k : cases) {
        component_box box;
        EXPECT_EQ(box.setup(k.given), kResultOk) << k.given;
        if (std::isnan(k.stored))
            EXPECT_TRUE(std::isnan(box.c->sample_rate));
        else
            EXPECT_EQ(box.c->sample_rate, k.stored) << k.given;
        EXPECT_EQ(box.ic->vtbl->setActive(box.ic, 1), kResultFalse) << k.given;
        EXPECT_EQ(box.c->dsp.activation_rate, 0.0f) << k.given;
        EXPECT_TRUE(all_zero(box.block(0))) << "never activated, so silent: " << k.given;
    }
    // A usable rate after a refused one activates normally.
    component_box box;
    ASSERT_EQ(box.setup(0.0), kResultOk);
    ASSERT_EQ(box.ic->vtbl->setActive(box.ic, 1), kResultFalse);
    ASSERT_EQ(box.setup(48000.0), kResultOk);
    ASSERT_EQ(box.ic->vtbl->setActive(box.ic, 1), kResultOk);
    EXPECT_EQ(box.c->dsp.activation_rate, 48000.0f);
    EXPECT_FALSE(all_zero(box.block(0)));
}

TEST(setup_and_activation, a_refused_activation_leaves_the_earlier_one_in_force) {
    // Two components fed alike; only the first meets an unusable rate in between.
    component_box refused, plain;
    for (component_box* b : {&refused, &plain}) {
        ASSERT_EQ(b->setup(48000.0), kResultOk);
        ASSERT_EQ(b->ic->vtbl->setActive(b->ic, 1), kResultOk);
    }
    ASSERT_EQ(refused.block(0), plain.block(0));
    overdrive_dsp before;
    std::memcpy(&before, &refused.c->dsp, sizeof before);
    ASSERT_EQ(refused.setup(NAN), kResultOk);
    EXPECT_EQ(refused.ic->vtbl->setActive(refused.ic, 1), kResultFalse);
    EXPECT_EQ(std::memcmp(&before, &refused.c->dsp, sizeof before), 0) << "the DSP record was touched";
    EXPECT_EQ(refused.c->processing_enabled, 1);

    // The next block sounds exactly like the undisturbed twin's, not silent.
    const std::vector<float> out = refused.block(256);
    EXPECT_FALSE(all_zero(out));
    EXPECT_EQ(out, plain.block(256));
}

TEST(setup_and_activation, arrangements_without_arrays_are_refused_not_read) {
    component_box box;
    SpeakerArrangement mono = kSpeakerM;
    EXPECT_EQ(box.ip->vtbl->setBusArrangements(box.ip, nullptr, 1, &mono, 1), kResultFalse);
    EXPECT_EQ(box.ip->vtbl->setBusArrangements(box.ip, &mono, 1, nullptr, 1), kResultFalse);
    // A negative count is checked before anything else.
    EXPECT_EQ(box.ip->vtbl->setBusArrangements(box.ip, nullptr, -1, nullptr, 1), kInvalidArgument);
    EXPECT_EQ(box.ip->vtbl->setBusArrangements(box.ip, &mono, 1, &mono, 1), kResultOk);
}

}  // namespace
