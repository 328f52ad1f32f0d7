// setComponentState with editors open: every running editor is sent the six loaded
// values, under a real Xvfb with the stand-in editor program beside the test program.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "controller/edit_controller.h"
#include "editor/plug_view.h"
#include "controller_with_editors.h"
#include "module/module_entry.h"
#include "state/state_chunk.h"
#include "state_test_support.h"

using namespace vst3;

namespace {

class state_to_editors : public controller_with_editors {
protected:
    tresult set_component_state(const state_test::chunk_spec& s) {
        state_test::memory_stream stream(state_test::build_chunk(s));
        return controller_set_component_state(ctl, stream.stream());
    }
};

std::string message(int index, float value) {
    char text[32];
    snprintf(text, sizeof text, "s %08x %08x", index, std::bit_cast<uint32_t>(value));
    return text;
}

TEST_F(state_to_editors, loaded_values_reach_every_running_editor_in_parameter_order) {
    host_frame frame_a, frame_b;
    handoff a, b;
    ws_inbox *inbox_a = nullptr, *inbox_b = nullptr;
    IPlugView* view_a = open_view();
    ASSERT_TRUE(view_a && attach(view_a, &frame_a, &a, &inbox_a));
    IPlugView* idle = ec->vtbl->createView(ec, "editor");  // open but never attached
    ASSERT_TRUE(idle);
    IPlugView* view_b = open_view();
    ASSERT_TRUE(view_b && attach(view_b, &frame_b, &b, &inbox_b));

    state_test::chunk_spec s;
    // 250 for Volume arrives clamped to 200, Bypass 0.5 as 1.
    s.param("drive", state_test::f32(12.5f)).param("volume", state_test::f32(250)).param("bypass", state_test::f32(0.5f));
    ASSERT_EQ(set_component_state(s), kResultOk);
    const std::vector<std::string> expected = {message(0, 12.5f), message(1, 50),  message(2, 50),
                                               message(3, 100),   message(4, 200), message(5, 1)};
    EXPECT_EQ(inbox_a->take_count(6), expected);
    EXPECT_EQ(inbox_b->take_count(6), expected);

    // A refused chunk sends nothing.
    state_test::chunk_spec bad;
    bad.version = "1.1";
    EXPECT_EQ(set_component_state(bad), kResultFalse);
    EXPECT_TRUE(inbox_a->take(100).empty());
    EXPECT_TRUE(inbox_b->take(50).empty());

    EXPECT_EQ(view_a->vtbl->removed(view_a), kResultOk);
    EXPECT_EQ(view_a->vtbl->release(view_a), 0u);
    EXPECT_EQ(view_b->vtbl->removed(view_b), kResultOk);
    EXPECT_EQ(view_b->vtbl->release(view_b), 0u);
    EXPECT_EQ(idle->vtbl->release(idle), 0u);
    delete inbox_a;
    delete inbox_b;
    a.close_all();
    b.close_all();
}

}  // namespace
