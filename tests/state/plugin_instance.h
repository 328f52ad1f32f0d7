// A component and a controller, created and initialized as a host would, with the
// state calls made directly on the records.
#pragma once

#include <gtest/gtest.h>

#include "component/component.h"
#include "controller/edit_controller.h"
#include "state/state_chunk.h"
#include "state_test_support.h"

namespace state_test {

inline vst3::FUnknown host_context_stub = {nullptr};

struct plugin_instance {
    vst3::IComponent* ic = nullptr;
    vst3::IAudioProcessor* ip = nullptr;
    vst3::IEditController* iec = nullptr;
    component* c = nullptr;
    edit_controller* ec = nullptr;

    plugin_instance() {
        using namespace vst3;
        EXPECT_EQ(component_create(IComponent_iid, reinterpret_cast<void**>(&ic)), kResultOk);
        EXPECT_EQ(controller_create(IEditController_iid, reinterpret_cast<void**>(&iec)), kResultOk);
        if (!ic || !iec) abort();
        EXPECT_EQ(ic->vtbl->initialize(ic, &host_context_stub), kResultOk);
        EXPECT_EQ(ic->vtbl->queryInterface(ic, IAudioProcessor_iid, reinterpret_cast<void**>(&ip)), kResultOk);
        EXPECT_EQ(iec->vtbl->initialize(iec, &host_context_stub), kResultOk);
        c = component_from_iface(ic);
        ec = controller_from_iface(iec);
    }
    ~plugin_instance() {
        if (ip) ip->vtbl->release(ip);
        ic->vtbl->release(ic);
        iec->vtbl->release(iec);
    }
    plugin_instance(const plugin_instance&) = delete;
    plugin_instance& operator=(const plugin_instance&) = delete;

    // One empty block: only the parameter hand-over runs.
    void process_block() {
        vst3::ProcessData data = {};
        EXPECT_EQ(component_process(c, &data), vst3::kResultOk);
    }
    bytes save() {
        memory_stream s;
        EXPECT_EQ(component_get_state(c, s.stream()), vst3::kResultOk);
        return s.data;
    }
    vst3::tresult load(const bytes& chunk) {
        memory_stream s(chunk);
        return component_set_state(c, s.stream());
    }
    vst3::tresult load_controller(const bytes& chunk) {
        memory_stream s(chunk);
        return controller_set_component_state(ec, s.stream());
    }
};

}  // namespace state_test
