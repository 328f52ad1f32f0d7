// The plug view as a host drives it, under a real Xvfb with the stand-in editor
// program beside the test (the test's module directory): attaching, embedding, size
// following, surviving bad windows, teardown, and parameter traffic both ways.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "controller/edit_controller.h"
#include "controller/param_table.h"
#include "editor/editor_link.h"
#include "editor/editor_link_record.h"
#include "editor/plug_view.h"
#include "editor_fixture.h"
#include "module/module_entry.h"

using namespace vst3;

namespace {

class View : public x_server_suite {
protected:
    static void SetUpTestSuite()
    {
        x_server_suite::SetUpTestSuite();
        // The module directory is the test program's: the stand-in program sits there.
        ASSERT_TRUE(ModuleEntry(nullptr));
    }
    static void TearDownTestSuite()
    {
        ModuleExit();
        x_server_suite::TearDownTestSuite();
    }

    void SetUp() override
    {
        x_server_suite::SetUp();
        if (HasFatalFailure())
            return;
        controller = (edit_controller*)calloc(1, sizeof *controller);
        for (int i = 0; i < param_count; i++)
            controller->controller_values[i] = param_range_table[i].default_plain;
        controller->component_handler = &handler.iface;
        take_made_dirs();
    }
    void TearDown() override
    {
        if (controller)
            free(controller->view_list);
        free(controller);
        x_server_suite::TearDown();
    }

    IPlugView* new_view()
    {
        IPlugView* view = plug_view_create(controller, "editor");
        EXPECT_NE(view, nullptr);
        return view;
    }
    // Attaches with the frame and takes the program's hand-over and the six values.
    bool attach(IPlugView* view, host_frame* frame, handoff* h)
    {
        if (view->vtbl->setFrame(view, frame->frame()) != kResultOk)
            return false;
        if (view->vtbl->attached(view, (void*)host_window, "X11EmbedWindowID") != kResultOk)
            return false;
        return control.receive(h);
    }
    Window container_of(IPlugView* view)
    {
        editor_link* link = plug_view_link(plug_view_from_iface(view));
        return link ? editor_link_container(link) : 0;
    }
    // A top-level window standing in for the program's own.
    Window program_window()
    {
        return mapped_window(display, 300, 200);
    }
    void report_window(const handoff& h, const std::string& message)
    {
        ASSERT_EQ(write(h.side, message.data(), message.size()), (ssize_t)message.size());
    }
    void ticks(host_frame* frame, int count)
    {
        for (int i = 0; i < count; i++) {
            frame->tick();
            usleep(20000);
            XSync(display, False);
        }
    }
    // A host's timer keeps firing: the pump's time budget may leave the later messages
    // of one write to later ticks (the news store's locked files are slow under qemu).
    std::vector<std::string> tick_until_answered(host_frame* frame, ws_inbox* inbox, size_t count)
    {
        std::vector<std::string> answers;
        for (int i = 0; i < 150 && answers.size() < count; i++) {
            ticks(frame, 1);
            for (std::string& answer : inbox->take(20))
                answers.push_back(std::move(answer));
        }
        return answers;
    }
    void expect_torn_down(const handoff& h)
    {
        EXPECT_FALSE(process_exists(h.pid)) << "the child is ended and reaped";
        ASSERT_EQ(h.argv.size(), 4u);
        std::string dir = h.argv[2].substr(0, h.argv[2].size() - 2);
        EXPECT_NE(access(dir.c_str(), F_OK), 0) << "no socket directory is left";
        EXPECT_EQ(child_pids(), children_before);
        EXPECT_EQ(child_count(display, host_window), 0u) << "the container window is gone";
    }

    edit_controller* controller = nullptr;
    recording_handler handler;
};

void send_texts(int fd, const std::vector<std::string>& texts)
{
    bytes all;
    for (const std::string& text : texts) {
        bytes frame = client_text(text);
        all.insert(all.end(), frame.begin(), frame.end());
    }
    write_all(fd, all);
}

TEST_F(View, SlotsThatNeedNoEditor)
{
    EXPECT_EQ(plug_view_create(controller, "Editor"), nullptr);
    EXPECT_EQ(plug_view_create(controller, ""), nullptr);
    EXPECT_EQ(controller->view_count, 0u) << "a refused name registers nothing";

    IPlugView* view = new_view();
    EXPECT_EQ(view->vtbl->isPlatformTypeSupported(view, "X11EmbedWindowID"), kResultTrue);
    EXPECT_EQ(view->vtbl->isPlatformTypeSupported(view, "HWND"), kResultFalse);
    EXPECT_EQ(view->vtbl->isPlatformTypeSupported(view, ""), kResultFalse);
    ViewRect rect = {1, 2, 3, 4};
    EXPECT_EQ(view->vtbl->getSize(view, &rect), kResultOk);
    EXPECT_EQ(rect.left, 0);
    EXPECT_EQ(rect.top, 0);
    EXPECT_EQ(rect.right, 800);
    EXPECT_EQ(rect.bottom, 400);
    EXPECT_EQ(view->vtbl->getSize(view, nullptr), kInvalidArgument);
    EXPECT_EQ(view->vtbl->onSize(view, &rect), kResultFalse) << "not attached";
    EXPECT_EQ(view->vtbl->removed(view), kResultOk);

    void* obj = (void*)1;
    EXPECT_EQ(view->vtbl->queryInterface(view, IEditController_iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(view->vtbl->queryInterface(view, IPlugView_iid, &obj), kResultOk);
    EXPECT_EQ(obj, view);
    EXPECT_EQ(view->vtbl->release(view), 1u);

    // Without a frame there is no run loop: nothing is started.
    EXPECT_EQ(view->vtbl->attached(view, (void*)host_window, "X11EmbedWindowID"), kResultFalse);
    EXPECT_EQ(view->vtbl->attached(view, (void*)host_window, "HWND"), kInvalidArgument);
    handoff h;
    EXPECT_FALSE(control.receive(&h, 300));
    EXPECT_EQ(child_pids(), children_before);

    host_frame frame;
    EXPECT_EQ(view->vtbl->setFrame(view, frame.frame()), kResultOk);
    EXPECT_EQ(frame.ref_count, 1) << "the run loop is borrowed: the query's reference is given back";
    EXPECT_EQ(view->vtbl->release(view), 0u);
    EXPECT_EQ(controller->view_list[0], nullptr);
}

TEST_F(View, AttachedViewEmbedsTheProgramWindowAndFollowsTheHost)
{
    IPlugView* view = new_view();
    host_frame frame;
    handoff h;
    ASSERT_TRUE(attach(view, &frame, &h));
    EXPECT_EQ(frame.registrations, 1);
    EXPECT_EQ(frame.interval, 20u);
    EXPECT_EQ(h.argv[0], "middleman");
    EXPECT_EQ(h.argv[3], get_resources_dir());

    // The six current values, in index order.
    ws_inbox inbox(h.ws);
    std::vector<std::string> expected;
    for (int i = 0; i < param_count; i++)
        expected.push_back(value_message(i, (float)param_range_table[i].default_plain));
    EXPECT_EQ(inbox.take_count(6), expected);

    // A second attach is refused and the first editor keeps running.
    EXPECT_EQ(view->vtbl->attached(view, (void*)host_window, "X11EmbedWindowID"), kInvalidArgument);
    EXPECT_TRUE(process_exists(h.pid));

    Window container = container_of(view);
    ticks(&frame, 1);
    EXPECT_EQ(size_of(display, container), std::make_pair(640, 480)) << "the container follows the host";

    Window program = program_window();
    report_window(h, "w " + std::to_string(program));
    ticks(&frame, 2);
    EXPECT_EQ(parent_of(display, program), container);
    EXPECT_EQ(size_of(display, program), std::make_pair(640, 480));

    // The host grows its window without telling the view.
    XResizeWindow(display, host_window, 900, 500);
    XSync(display, False);
    ticks(&frame, 3);
    EXPECT_EQ(size_of(display, container), std::make_pair(900, 500));
    EXPECT_EQ(size_of(display, program), std::make_pair(900, 500));
    ViewRect rect;
    EXPECT_EQ(view->vtbl->getSize(view, &rect), kResultOk);
    EXPECT_EQ(rect.right, 900);
    EXPECT_EQ(rect.bottom, 500);

    // Side-channel texts that are not a window report change nothing.
    report_window(h, "x 123");
    ticks(&frame, 1);
    report_window(h, "w");
    ticks(&frame, 1);
    report_window(h, "w nothing");
    ticks(&frame, 1);
    EXPECT_EQ(parent_of(display, program), container);

    // A window that does not exist costs failed requests, not the process (Xlib's
    // default handler would have ended this test program).
    Window gone = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
    XDestroyWindow(display, gone);
    XSync(display, False);
    report_window(h, "w " + std::to_string(gone));
    ticks(&frame, 2);
    XResizeWindow(display, host_window, 700, 450);
    XSync(display, False);
    ticks(&frame, 3);
    EXPECT_EQ(size_of(display, container), std::make_pair(700, 450));

    EXPECT_EQ(view->vtbl->removed(view), kResultOk);
    EXPECT_EQ(frame.unregistrations, 1);
    EXPECT_EQ(frame.timer, nullptr);
    EXPECT_EQ(plug_view_link(plug_view_from_iface(view)), nullptr);
    expect_torn_down(h);
    EXPECT_TRUE(peer_closed(h.ws));
    h.close_all();

    // Attaching again starts from scratch.
    handoff again;
    ASSERT_TRUE(attach(view, &frame, &again));
    EXPECT_EQ(frame.registrations, 2);
    EXPECT_EQ(view->vtbl->release(view), 0u) << "the last release detaches and frees";
    EXPECT_EQ(frame.unregistrations, 2);
    expect_torn_down(again);
    again.close_all();
}

TEST_F(View, ExposeClearsTheContainerBeforeEmbedding)
{
    IPlugView* view = new_view();
    host_frame frame;
    handoff h;
    ASSERT_TRUE(attach(view, &frame, &h));
    Window container = container_of(view);
    ticks(&frame, 1);

    GC gc = XCreateGC(display, container, 0, nullptr);
    XSetForeground(display, gc, WhitePixel(display, DefaultScreen(display)));
    XFillRectangle(display, container, gc, 0, 0, 100, 100);
    XFreeGC(display, gc);
    XSync(display, False);
    auto pixel = [&](int x, int y) {
        XImage* image = XGetImage(display, container, x, y, 1, 1, AllPlanes, ZPixmap);
        unsigned long value = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        return value;
    };
    ASSERT_EQ(pixel(50, 50), WhitePixel(display, DefaultScreen(display)));
    // An exposure of one corner pixel: the editor clears the whole container to pixel 0.
    XClearArea(display, container, 0, 0, 1, 1, True);
    XSync(display, False);
    ticks(&frame, 2);
    EXPECT_EQ(pixel(50, 50), 0u);

    EXPECT_EQ(view->vtbl->release(view), 0u);
    expect_torn_down(h);
    h.close_all();
}

TEST_F(View, AVanishedHostWindowDoesNotEndTheHost)
{
    IPlugView* view = new_view();
    host_frame frame;
    handoff h;
    ASSERT_TRUE(attach(view, &frame, &h));
    Window program = program_window();
    report_window(h, "w " + std::to_string(program));
    ticks(&frame, 2);
    // The host destroys its window (and with it the container) before `removed`.
    XDestroyWindow(display, host_window);
    XSync(display, False);
    ticks(&frame, 3);
    ViewRect rect;
    EXPECT_EQ(view->vtbl->getSize(view, &rect), kResultOk);
    EXPECT_EQ(rect.right, 800) << "a container that cannot be read reports the default size";
    EXPECT_EQ(rect.bottom, 400);
    ViewRect wanted = {0, 0, 300, 300};
    EXPECT_EQ(view->vtbl->onSize(view, &wanted), kResultOk);
    ticks(&frame, 1);
    EXPECT_EQ(view->vtbl->removed(view), kResultOk);
    EXPECT_FALSE(process_exists(h.pid));
    EXPECT_NE(access(h.argv[2].c_str(), F_OK), 0);
    EXPECT_EQ(view->vtbl->release(view), 0u);
    h.close_all();
    host_window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
}

TEST_F(View, FailedAttachesUndoEverything)
{
    IPlugView* view = new_view();
    host_frame frame;
    ASSERT_EQ(view->vtbl->setFrame(view, frame.frame()), kResultOk);

    setenv("VGS_DOUBLE_MODE", "exit1", 1);
    {
        stderr_capture err;
        EXPECT_EQ(view->vtbl->attached(view, (void*)host_window, "X11EmbedWindowID"), kResultFalse);
        EXPECT_EQ(err.text(), "error waitpid\n");
    }
    unsetenv("VGS_DOUBLE_MODE");
    EXPECT_EQ(frame.registrations, 0);
    EXPECT_EQ(plug_view_link(plug_view_from_iface(view)), nullptr);
    std::vector<std::string> dirs = take_made_dirs();
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_NE(access(dirs[0].c_str(), F_OK), 0);
    EXPECT_EQ(child_pids(), children_before);

    // The host refuses the timer: the running editor is taken down again.
    frame.refuse_timer = true;
    EXPECT_EQ(view->vtbl->attached(view, (void*)host_window, "X11EmbedWindowID"), kResultFalse);
    // The program may have been ended before it could hand over its connections.
    handoff h;
    if (control.receive(&h, 200))
        h.close_all();
    EXPECT_EQ(child_pids(), children_before);
    dirs = take_made_dirs();
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_NE(access(dirs[0].c_str(), F_OK), 0);
    EXPECT_EQ(child_count(display, host_window), 0u) << "the container window is gone";
    EXPECT_EQ(plug_view_link(plug_view_from_iface(view)), nullptr);

    frame.refuse_timer = false;
    handoff again;
    ASSERT_TRUE(attach(view, &frame, &again)) << "a later attach starts from scratch";
    EXPECT_EQ(view->vtbl->release(view), 0u);
    expect_torn_down(again);
    again.close_all();
}

TEST_F(View, TheTimerGoesBackToTheRunLoopThatHasIt)
{
    // The host hands the attached view another frame, then one without a run loop:
    // removing and releasing must still take the timer back from the first loop, which
    // would otherwise go on ticking a freed view.
    IPlugView* view = new_view();
    host_frame first, second, bare;
    bare.refuse_run_loop = true;
    handoff h;
    ASSERT_TRUE(attach(view, &first, &h));
    EXPECT_EQ(view->vtbl->setFrame(view, second.frame()), kResultOk);
    EXPECT_EQ(view->vtbl->removed(view), kResultOk);
    EXPECT_EQ(first.unregistrations, 1);
    EXPECT_EQ(first.timer, nullptr);
    EXPECT_EQ(second.unregistrations, 0);
    expect_torn_down(h);
    h.close_all();

    // Attached again through the second frame, then a frame without a run loop.
    handoff again;
    ASSERT_TRUE(attach(view, &second, &again));
    EXPECT_EQ(second.registrations, 1);
    EXPECT_EQ(view->vtbl->setFrame(view, bare.frame()), kResultFalse);
    EXPECT_EQ(bare.ref_count, 1) << "a refused query takes no reference";
    EXPECT_EQ(view->vtbl->release(view), 0u);
    EXPECT_EQ(second.unregistrations, 1);
    EXPECT_EQ(second.timer, nullptr);
    expect_torn_down(again);
    again.close_all();
}

TEST_F(View, ARunLoopMayGiveBackItsTimerAfterTheViewIsGone)
{
    // The loop took a reference in registerTimer and gives it back on its next round,
    // after the host has removed and released the view: the timer handler, and the view
    // memory it lives in, must last until that release.
    IPlugView* view = new_view();
    host_frame frame;
    frame.holds_timers = true;
    handoff h;
    ASSERT_TRUE(attach(view, &frame, &h));
    ASSERT_EQ(frame.held.size(), 1u);
    ITimerHandler* timer = frame.held[0];
    EXPECT_EQ(view->vtbl->removed(view), kResultOk);
    EXPECT_EQ(view->vtbl->release(view), 0u);
    expect_torn_down(h);
    h.close_all();
    // A timer call that comes late finds a detached view and does nothing.
    EXPECT_TRUE(survives_reuse_of_freed_memory([&] {
        timer->vtbl->onTimer(timer);
        frame.tick();
    }));
    frame.tick();
    EXPECT_TRUE(frame.held.empty());
}

TEST_F(View, TwoViewsRunSideBySide)
{
    IPlugView* first = new_view();
    IPlugView* second = new_view();
    ASSERT_EQ(controller->view_count, 2u);
    host_frame frame_a, frame_b;
    handoff a, b;
    ASSERT_TRUE(attach(first, &frame_a, &a));
    ASSERT_TRUE(attach(second, &frame_b, &b));
    EXPECT_NE(a.pid, b.pid);
    EXPECT_NE(a.argv[1], b.argv[1]) << "two ports";
    EXPECT_NE(a.argv[2], b.argv[2]) << "two directories";
    Window container_a = container_of(first), container_b = container_of(second);
    EXPECT_NE(container_a, container_b);
    ws_inbox inbox_a(a.ws), inbox_b(b.ws);
    inbox_a.take_count(6);
    inbox_b.take_count(6);

    // Each editor's edits come through its own view.
    write_all(a.ws, client_text("s 0 41200000"));  // 10.0
    write_all(b.ws, client_text("s 1 41a00000"));  // 20.0
    ticks(&frame_a, 1);
    ticks(&frame_b, 1);
    EXPECT_EQ(controller->controller_values[0], 10.0);
    EXPECT_EQ(controller->controller_values[1], 20.0);
    editor_link_send_param(plug_view_link(plug_view_from_iface(second)), 2, 1.0f);
    EXPECT_EQ(inbox_b.take_count(1), std::vector<std::string>{"s 00000002 3f800000"});
    EXPECT_TRUE(inbox_a.take(50).empty());

    // Closing the first leaves the second running; its slot is reused.
    EXPECT_EQ(first->vtbl->release(first), 0u);
    EXPECT_FALSE(process_exists(a.pid));
    EXPECT_TRUE(process_exists(b.pid));
    EXPECT_EQ(controller->view_list[0], nullptr);
    IPlugView* third = new_view();
    EXPECT_EQ(controller->view_list[0], plug_view_from_iface(third));
    EXPECT_EQ(controller->view_count, 2u);
    EXPECT_EQ(third->vtbl->release(third), 0u);

    EXPECT_EQ(second->vtbl->removed(second), kResultOk);
    EXPECT_EQ(second->vtbl->release(second), 0u);
    expect_torn_down(b);
    a.close_all();
    b.close_all();
}

TEST_F(View, EditorEditsReachTheHostClamped)
{
    IPlugView* view = new_view();
    host_frame frame;
    handoff h;
    ASSERT_TRUE(attach(view, &frame, &h));
    ws_inbox inbox(h.ws);
    inbox.take_count(6);
    // The whole write in one tick: without the pump's time budget, which a slow machine
    // (qemu) can use up before the last message; the budget has its own test.
    plug_view_link(plug_view_from_iface(view))->pump_budget_ns = 0;

    auto id = [](int index) { return std::to_string(param_info_table[index].id); };
    // 42c80000 = 100.0 (Mix at its maximum, normalized 1); 43960000 = 300.0 (Volume,
    // clamped to 200, normalized 1); 3f000000 = 0.5 (Bypass rounds up to 1);
    // 3e800000 = 0.25 (Bypass rounds down to 0); bff00000... = negatives clamp to 0.
    // One write, so that all of them are waiting at the same tick.
    send_texts(h.ws, {"s 3 42c80000", "s 4 43960000", "b 5 3f000000", "e 5 3e800000",
                      "s 0 c2480000",   // -50.0
                      "s 6 42c80000",   // beyond the table
                      "s 1 7fc00000"}); // a NaN
    ticks(&frame, 1);
    std::vector<std::string> expected = {
        "perform " + id(3) + " 1", "perform " + id(4) + " 1", "begin " + id(5),
        "perform " + id(5) + " 1", "perform " + id(5) + " 0", "end " + id(5),
        "perform " + id(0) + " 0",
    };
    EXPECT_EQ(handler.calls, expected);
    EXPECT_EQ(controller->controller_values[3], 100.0);
    EXPECT_EQ(controller->controller_values[4], 200.0);
    EXPECT_EQ(controller->controller_values[5], 0.0);
    EXPECT_EQ(controller->controller_values[0], 0.0);
    EXPECT_EQ(controller->controller_values[1], 50.0) << "the NaN changed nothing";
    EXPECT_TRUE(inbox.take(50).empty()) << "edits are not echoed";

    // "g" answers with what each side last said: the editor's values as sent.
    write_all(h.ws, client_text("g"));
    ticks(&frame, 1);
    std::vector<std::string> values = inbox.take_count(6);
    ASSERT_EQ(values.size(), 6u);
    EXPECT_EQ(values[0], "s 00000000 c2480000");
    EXPECT_EQ(values[1], "s 00000001 42480000");
    EXPECT_EQ(values[4], "s 00000004 43960000");
    EXPECT_EQ(values[5], "s 00000005 3e800000");

    // Without a component handler only the controller's value changes.
    controller->component_handler = nullptr;
    handler.calls.clear();
    write_all(h.ws, client_text("s 2 41200000"));  // 10.0
    ticks(&frame, 1);
    EXPECT_EQ(controller->controller_values[2], 10.0);
    EXPECT_TRUE(handler.calls.empty());

    EXPECT_EQ(view->vtbl->release(view), 0u);
    h.close_all();
}

TEST_F(View, NewsMessagesAreAnsweredOnTheSameEditor)
{
    char data_home[] = "/tmp/editor-news-XXXXXX";
    ASSERT_NE(mkdtemp(data_home), nullptr);
    setenv("XDG_DATA_HOME", data_home, 1);
    IPlugView* view = new_view();
    host_frame frame;
    handoff h;
    ASSERT_TRUE(attach(view, &frame, &h));
    ws_inbox inbox(h.ws);
    inbox.take_count(6);
    send_texts(h.ws, {"m tidelV1 syncNewsForce hello from the test", "m tidelV1 getNews "});
    EXPECT_EQ(tick_until_answered(&frame, &inbox, 1),
              std::vector<std::string>{"m tidelV1 getNews hello from the test"});
    EXPECT_EQ(view->vtbl->release(view), 0u);
    h.close_all();
    std::string cleanup = std::string("rm -rf ") + data_home;
    EXPECT_EQ(system(cleanup.c_str()), 0);
    unsetenv("XDG_DATA_HOME");
}

}  // namespace
