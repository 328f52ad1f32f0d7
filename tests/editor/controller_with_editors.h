// A test fixture for the edit controller with editors open under a real Xvfb: the
// module entered from the test program's directory, where the stand-in editor program
// sits, an initialised controller, and a host window to attach views to.
#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "controller/edit_controller.h"
#include "editor/plug_view.h"
#include "editor_fixture.h"
#include "module/module_entry.h"

class controller_with_editors : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(server.start());
        // The module directory is the test program's: the stand-in program sits there.
        ASSERT_TRUE(ModuleEntry(nullptr));
    }
    static void TearDownTestSuite() {
        ModuleExit();
        server.stop();
    }

    void SetUp() override {
        ASSERT_TRUE(control.open());
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
        host_window = mapped_window(display, 640, 480);
        ASSERT_EQ(controller_create(vst3::IEditController_iid, reinterpret_cast<void**>(&ec)), vst3::kResultOk);
        ASSERT_EQ(ec->vtbl->initialize(ec, &context), vst3::kResultOk);
        ctl = controller_from_iface(ec);
    }
    void TearDown() override {
        if (ec != nullptr) ec->vtbl->release(ec);
        XDestroyWindow(display, host_window);
        XCloseDisplay(display);
    }

    vst3::IPlugView* open_view() {
        vst3::IPlugView* view = ec->vtbl->createView(ec, "editor");
        EXPECT_NE(view, nullptr);
        return view;
    }
    // Attaches the view and takes the program's hand-over and the six initial values.
    bool attach(vst3::IPlugView* view, host_frame* frame, handoff* h, ws_inbox** inbox) {
        if (view->vtbl->setFrame(view, frame->frame()) != vst3::kResultOk) return false;
        if (view->vtbl->attached(view, reinterpret_cast<void*>(host_window), "X11EmbedWindowID") != vst3::kResultOk)
            return false;
        if (!control.receive(h)) return false;
        *inbox = new ws_inbox(h->ws);
        return (*inbox)->take_count(6).size() == 6;
    }

    static inline xvfb_server server;
    control_socket control;
    Display* display = nullptr;
    Window host_window = 0;
    vst3::FUnknown context{nullptr};
    vst3::IEditController* ec = nullptr;
    edit_controller* ctl = nullptr;
};
