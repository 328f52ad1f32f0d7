// The hand-over between the other thread's param_lock holders and the audio thread:
// what a block does when the lock is busy, and how staged state values are taken over.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "component/component.h"
#include "controller/param_table.h"

using namespace vst3;

namespace {

struct test_queue {
    IParamValueQueue iface;
    ParamID id;
    int32 offset;
    double value;
};

struct test_changes {
    IParameterChanges iface;
    test_queue queue;
    int32 count;
};

// A one-queue, one-point IParameterChanges.
const IParamValueQueueVtbl queue_vtbl = {
    [](IParamValueQueue*, const TUID, void**) -> tresult { return kNoInterface; },
    [](IParamValueQueue*) -> uint32 { return 1; },
    [](IParamValueQueue*) -> uint32 { return 1; },
    [](IParamValueQueue* q) -> ParamID { return reinterpret_cast<test_queue*>(q)->id; },
    [](IParamValueQueue*) -> int32 { return 1; },
    [](IParamValueQueue* q, int32 index, int32* offset, ParamValue* value) -> tresult {
        if (index != 0) return kInvalidArgument;
        *offset = reinterpret_cast<test_queue*>(q)->offset;
        *value = reinterpret_cast<test_queue*>(q)->value;
        return kResultOk;
    },
    [](IParamValueQueue*, int32, ParamValue, int32*) -> tresult { return kResultFalse; },
};
const IParameterChangesVtbl changes_vtbl = {
    [](IParameterChanges*, const TUID, void**) -> tresult { return kNoInterface; },
    [](IParameterChanges*) -> uint32 { return 1; },
    [](IParameterChanges*) -> uint32 { return 1; },
    [](IParameterChanges* c) -> int32 { return reinterpret_cast<test_changes*>(c)->count; },
    [](IParameterChanges* c, int32 i) -> IParamValueQueue* {
        return i == 0 ? &reinterpret_cast<test_changes*>(c)->queue.iface : nullptr;
    },
    [](IParameterChanges*, const ParamID*, int32*) -> IParamValueQueue* { return nullptr; },
};

test_changes one_change(ParamID id, int32 offset, double value) {
    return test_changes{{&changes_vtbl}, {{&queue_vtbl}, id, offset, value}, 1};
}

class handover : public ::testing::Test {
protected:
    IComponent* ic = nullptr;
    component* c = nullptr;
    FUnknown context{nullptr};

    void SetUp() override {
        ASSERT_EQ(component_create(IComponent_iid, reinterpret_cast<void**>(&ic)), kResultOk);
        ASSERT_EQ(ic->vtbl->initialize(ic, &context), kResultOk);
        c = component_from_iface(ic);
    }
    void TearDown() override { ic->vtbl->release(ic); }

    void block(test_changes* changes) {
        ProcessData data{};
        data.inputParameterChanges = changes ? &changes->iface : nullptr;
        ASSERT_EQ(component_process(c, &data), kResultOk);
    }
};

TEST_F(handover, a_change_during_a_held_lock_reaches_the_dsp_at_the_next_block) {
    const ParamID drive = param_info_table[param_drive].id;
    ASSERT_TRUE(param_lock_try(c));
    // What the lock's holders (setState, getState) do.
    c->audio_synced = 0;
    test_changes change = one_change(drive, 0, 0.9);
    block(&change);
    // Recorded, not applied: the audio thread never waits for the lock.
    EXPECT_EQ(c->param_values[param_drive], 90.0f);
    EXPECT_EQ(c->applied_values[param_drive], 50.0f);
    EXPECT_EQ(c->dsp.dsp_values[param_drive], 50.0f);
    EXPECT_EQ(c->param_lock, 1) << "the driver released a lock it did not take";
    param_lock_release(c);

    block(nullptr);
    EXPECT_EQ(c->applied_values[param_drive], 90.0f);
    EXPECT_EQ(c->dsp.dsp_values[param_drive], 90.0f);
    EXPECT_EQ(c->audio_synced, 1);
    EXPECT_EQ(c->param_lock, 0);
}

TEST_F(handover, staged_state_values_replace_both_arrays_and_a_host_change_follows_them) {
    const ParamID tone = param_info_table[param_tone].id;
    // What setState's sink does under the lock.
    ASSERT_TRUE(param_lock_try(c));
    c->audio_synced = 0;
    const float loaded[6] = {10, 20, 30, 40, 150, 1};
    for (int i = 0; i < 6; ++i) c->applied_values[i] = loaded[i];
    c->state_loaded = 1;
    param_lock_release(c);

    test_changes change = one_change(tone, 0, 0.75);
    block(&change);
    for (int i = 0; i < 6; ++i) {
        const float expected = i == param_tone ? 75.0f : loaded[i];
        EXPECT_EQ(c->param_values[i], expected) << i;
        EXPECT_EQ(c->applied_values[i], expected) << i;
        EXPECT_EQ(c->dsp.dsp_values[i], expected) << i;
    }
    EXPECT_EQ(c->state_loaded, 0);
}

TEST_F(handover, the_audio_thread_never_waits_while_another_thread_keeps_taking_the_lock) {
    // A stand-in for setState/getState hammering the lock from another thread; the
    // audio side must finish all its blocks and leave the lock free.
    std::atomic<bool> stop{false};
    std::thread other([&] {
        while (!stop.load()) {
            while (!param_lock_try(c)) std::this_thread::yield();
            c->audio_synced = 0;
            param_lock_release(c);
        }
    });
    const ParamID mix = param_info_table[param_mix].id;
    for (int i = 0; i < 20000; ++i) {
        test_changes change = one_change(mix, 0, (i % 100) / 100.0);
        block(&change);
    }
    stop = true;
    other.join();
    block(nullptr);
    EXPECT_EQ(c->param_lock, 0);
    // The last value is in force once a block got the lock.
    EXPECT_EQ(c->dsp.dsp_values[param_mix], 99.0f);
}

TEST_F(handover, a_nan_from_the_host_is_not_recorded_anywhere) {
    test_changes change = one_change(param_info_table[param_heat].id, 0, __builtin_nan(""));
    block(&change);
    EXPECT_EQ(c->param_values[param_heat], 50.0f);
    EXPECT_EQ(c->applied_values[param_heat], 50.0f);
}

}  // namespace
