// The controller's side of open editors: createView entering views in view_list, value
// changes reaching every running editor and skipping free or idle slots, and views
// left open when the controller goes. Runs under its own Xvfb with the stand-in editor
// program.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "controller/edit_controller.h"
#include "controller/param_table.h"
#include "editor/plug_view.h"
#include "controller_with_editors.h"
#include "module/module_entry.h"

using namespace vst3;

namespace {

using view_fanout = controller_with_editors;

TEST_F(view_fanout, only_the_name_editor_makes_a_view_and_slots_are_reused) {
    EXPECT_EQ(ec->vtbl->createView(ec, "Editor"), nullptr);
    EXPECT_EQ(ec->vtbl->createView(ec, nullptr), nullptr);
    EXPECT_EQ(ctl->view_count, 0u);
    IPlugView* a = open_view();
    IPlugView* b = open_view();
    ASSERT_EQ(ctl->view_count, 2u);
    EXPECT_EQ(a->vtbl->release(a), 0u);
    EXPECT_EQ(ctl->view_list[0], nullptr);
    // Idle views and free slots are passed over.
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, param_info_table[param_drive].id, 0.3), kResultOk);
    EXPECT_EQ(ctl->controller_values[param_drive], 30.0);
    IPlugView* c = open_view();
    EXPECT_EQ(ctl->view_count, 2u);
    EXPECT_EQ(ctl->view_list[0], plug_view_from_iface(c));
    EXPECT_EQ(c->vtbl->release(c), 0u);
    EXPECT_EQ(b->vtbl->release(b), 0u);
}

TEST_F(view_fanout, every_running_editor_gets_each_change_past_free_and_idle_slots) {
    IPlugView* first = open_view();
    IPlugView* idle = open_view();
    IPlugView* third = open_view();
    host_frame frame_a, frame_c;
    handoff a, c;
    ws_inbox *inbox_a = nullptr, *inbox_c = nullptr;
    ASSERT_TRUE(attach(first, &frame_a, &a, &inbox_a));
    ASSERT_TRUE(attach(third, &frame_c, &c, &inbox_c));

    // Drive 0.25 is plain 25, the float bits 41c80000.
    ASSERT_EQ(ec->vtbl->setParamNormalized(ec, param_info_table[param_drive].id, 0.25), kResultOk);
    EXPECT_EQ(inbox_a->take_count(1), std::vector<std::string>{"s 00000000 41c80000"});
    EXPECT_EQ(inbox_c->take_count(1), std::vector<std::string>{"s 00000000 41c80000"});

    // With the first editor closed (its slot free), the third still hears; Volume 1.3
    // is clamped to 200, bits 43480000.
    EXPECT_EQ(first->vtbl->release(first), 0u);
    ASSERT_EQ(ctl->view_list[0], nullptr);
    ASSERT_EQ(ec->vtbl->setParamNormalized(ec, param_info_table[param_volume].id, 1.3), kResultOk);
    EXPECT_EQ(inbox_c->take_count(1), std::vector<std::string>{"s 00000004 43480000"});
    // A refused value sends nothing.
    EXPECT_EQ(ec->vtbl->setParamNormalized(ec, param_info_table[param_tone].id, std::nan("")), kResultFalse);
    EXPECT_TRUE(inbox_c->take(50).empty());

    // Views still open when the controller goes are ended with it and forget it.
    EXPECT_EQ(ec->vtbl->release(ec), 0u);
    ec = nullptr;
    EXPECT_FALSE(process_exists(c.pid)) << "the running editor was stopped";
    (void)idle;
    delete inbox_a;
    delete inbox_c;
    a.close_all();
    c.close_all();
}

}  // namespace
