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

    // Views still open when the controller goes are ended with it and forget it. The
    // references are the host's: both views stay valid until the host gives them back.
    EXPECT_EQ(ec->vtbl->release(ec), 0u);
    ec = nullptr;
    EXPECT_FALSE(process_exists(c.pid)) << "the running editor was stopped";
    EXPECT_TRUE(survives_reuse_of_freed_memory([&] {
        third->vtbl->removed(third);
        idle->vtbl->removed(idle);
    }));
    EXPECT_EQ(third->vtbl->removed(third), kResultOk);
    EXPECT_EQ(third->vtbl->release(third), 0u);
    EXPECT_EQ(idle->vtbl->removed(idle), kResultOk);
    EXPECT_EQ(idle->vtbl->release(idle), 0u);
    delete inbox_a;
    delete inbox_c;
    a.close_all();
    c.close_all();
}

TEST_F(view_fanout, a_view_outliving_its_controller_works_and_its_edits_go_nowhere) {
    // A careless host releases the controller (its last reference) while it holds a view,
    // then attaches that view again and uses it.
    recording_handler handler;
    ASSERT_EQ(ec->vtbl->setComponentHandler(ec, &handler.iface), kResultOk);
    IPlugView* view = open_view();
    host_frame frame;
    handoff first, again;
    ws_inbox* inbox = nullptr;
    ASSERT_TRUE(attach(view, &frame, &first, &inbox));
    delete inbox;
    EXPECT_EQ(ec->vtbl->release(ec), 0u);
    ec = nullptr;
    EXPECT_EQ(handler.ref_count, 1) << "the controller gave back the handler's reference";
    EXPECT_FALSE(process_exists(first.pid));

    ASSERT_TRUE(attach(view, &frame, &again, &inbox)) << "the view can be attached again";
    write_all(again.ws, client_text("b 0 41200000"));  // 10.0
    write_all(again.ws, client_text("e 0 41200000"));
    for (int tick = 0; tick < 3; tick++) {
        frame.tick();
        usleep(20000);
    }
    EXPECT_TRUE(handler.calls.empty()) << "an edit reached the host through a controller that is gone";
    EXPECT_EQ(view->vtbl->removed(view), kResultOk);
    EXPECT_FALSE(process_exists(again.pid));
    EXPECT_EQ(view->vtbl->release(view), 0u);
    delete inbox;
    first.close_all();
    again.close_all();
}

}  // namespace
