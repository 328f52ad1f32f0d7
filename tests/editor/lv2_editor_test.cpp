// The LV2 editor against the stand-in editor program under a real Xvfb: it needs the
// host's parent window, embeds as the VST 3 view does, tells the host its size, sends the
// defaults and then every port_event as an "s" message, writes the editor's gestures to
// the control ports (framed by ui:touch when the host offers it), follows a size the host
// sets, and ends the program at cleanup.
#include <gtest/gtest.h>
#include <lv2/ui/ui.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "controller/param_table.h"
#include "editor_fixture.h"
#include "lv2/lv2_editor.h"
#include "lv2/lv2_uris.h"

namespace {

// What the LV2 host side sees: write_function calls, touch calls and size requests, in
// order, as text.
struct lv2_host_side {
    std::vector<std::string> calls;
    LV2UI_Touch touch = {this, [](LV2UI_Feature_Handle h, uint32_t index, bool grabbed) {
                             static_cast<lv2_host_side*>(h)->calls.push_back(
                                 (grabbed ? "grab " : "release ") + std::to_string(index));
                         }};
    LV2UI_Resize resize = {this, [](LV2UI_Feature_Handle h, int w, int height) {
                               static_cast<lv2_host_side*>(h)->calls.push_back("size " + std::to_string(w) + "x" +
                                                                               std::to_string(height));
                               return 0;
                           }};
    static void write(LV2UI_Controller c, uint32_t port, uint32_t size, uint32_t protocol, const void* buffer)
    {
        float v = 0;
        if (size == sizeof v && protocol == 0)
            memcpy(&v, buffer, sizeof v);
        char text[64];
        snprintf(text, sizeof text, "write %u %g", port, v);
        static_cast<lv2_host_side*>(c)->calls.push_back(text);
    }
};

class Lv2Editor : public x_server_suite {
protected:
    // The bundle directory is the test program's: the stand-in program sits there.
    LV2UI_Handle open(lv2_host_side* host, bool with_touch, bool with_parent, LV2UI_Widget* widget)
    {
        const LV2_Feature parent = {LV2_UI__parent, (void*)host_window};
        const LV2_Feature touch = {LV2_UI__touch, &host->touch};
        const LV2_Feature resize = {LV2_UI__resize, &host->resize};
        std::vector<const LV2_Feature*> features = {&resize};
        if (with_parent)
            features.push_back(&parent);
        if (with_touch)
            features.push_back(&touch);
        features.push_back(nullptr);
        const LV2UI_Descriptor* d = lv2_editor_descriptor(0);
        return d->instantiate(d, VGS_LV2_URI, EDITOR_TEST_DIR "/", lv2_host_side::write, host, widget,
                              features.data());
    }
    // Idle calls over `ms` milliseconds, as a host's timer makes them.
    void idle_for(LV2UI_Handle ui, int ms)
    {
        const auto* idle = (const LV2UI_Idle_Interface*)lv2_editor_descriptor(0)->extension_data(LV2_UI__idleInterface);
        for (int waited = 0; waited <= ms; waited += 10) {
            idle->idle(ui);
            usleep(10000);
        }
        XSync(display, False);
    }

};

TEST_F(Lv2Editor, RefusesWithoutAParentWindowAndStartsNothing)
{
    lv2_host_side host;
    LV2UI_Widget widget = nullptr;
    EXPECT_EQ(open(&host, true, false, &widget), nullptr);
    EXPECT_EQ(child_pids(), children_before);
    const LV2UI_Descriptor* d = lv2_editor_descriptor(0);
    EXPECT_STREQ(d->URI, VGS_LV2_UI_URI);
    EXPECT_EQ(lv2_editor_descriptor(1), nullptr);
}

TEST_F(Lv2Editor, PortsAndGesturesTravelBothWaysWithAndWithoutTouch)
{
    for (bool with_touch : {true, false}) {
        SCOPED_TRACE(with_touch ? "host offers ui:touch" : "host without ui:touch");
        lv2_host_side host;
        LV2UI_Widget widget = nullptr;
        LV2UI_Handle ui = open(&host, with_touch, true, &widget);
        ASSERT_NE(ui, nullptr);
        handoff h;
        ASSERT_TRUE(control.receive(&h));
        ws_inbox inbox(h.ws);
        const LV2UI_Descriptor* d = lv2_editor_descriptor(0);

        // The container is the widget, a child of the host's window; the host is told the
        // editor's size and the editor the defaults.
        EXPECT_EQ(parent_of(display, (Window)(uintptr_t)widget), host_window);
        ASSERT_FALSE(host.calls.empty());
        EXPECT_EQ(host.calls[0], "size 800x400");
        host.calls.clear();
        std::vector<std::string> defaults;
        for (int i = 0; i < 6; i++)
            defaults.push_back(value_message(i, (float)param_range_table[i].default_plain));
        EXPECT_EQ(inbox.take_count(6), defaults);

        // port_event: plain values, brought into range as the VST 3 controller does; NaN,
        // other formats and ports beyond the parameters send nothing.
        const float volume = 300.0f, tone = 37.5f, bypass = 0.6f, nan = NAN;
        d->port_event(ui, 4, sizeof volume, 0, &volume);
        d->port_event(ui, 1, sizeof tone, 0, &tone);
        d->port_event(ui, 5, sizeof bypass, 0, &bypass);
        d->port_event(ui, 0, sizeof nan, 0, &nan);
        d->port_event(ui, 2, sizeof tone, 7, &tone);
        d->port_event(ui, 6, sizeof tone, 0, &tone);
        EXPECT_EQ(inbox.take_count(3), (std::vector<std::string>{value_message(4, 200.0f), value_message(1, 37.5f),
                                                                  value_message(5, 1.0f)}));
        EXPECT_TRUE(inbox.take(50).empty());

        // The editor's messages reach the ports at the next idle tick, clamped and rounded.
        bytes frames;
        for (const char* text : {"b 5 3f000000", "s 0 c2480000", "e 5 3e800000", "s 6 42c80000", "s 3 42c80000"}) {
            bytes f = client_text(text);
            frames.insert(frames.end(), f.begin(), f.end());
        }
        write_all(h.ws, frames);
        idle_for(ui, 60);
        std::vector<std::string> expected = {"write 5 1", "write 0 0", "write 5 0", "write 3 100"};
        if (with_touch)
            expected = {"grab 5", "write 5 1", "write 0 0", "write 5 0", "release 5", "write 3 100"};
        EXPECT_EQ(host.calls, expected);
        EXPECT_TRUE(inbox.take(50).empty()) << "edits are not echoed";

        // The host sets a new size: the container takes it, and the ticks keep it while
        // the host's window has it too.
        XResizeWindow(display, host_window, 700, 350);
        XSync(display, False);
        const auto* resize = (const LV2UI_Resize*)d->extension_data(LV2_UI__resize);
        ASSERT_NE(resize, nullptr);
        EXPECT_EQ(resize->ui_resize(ui, 700, 350), 0);
        idle_for(ui, 60);
        EXPECT_EQ(size_of(display, (Window)(uintptr_t)widget), std::make_pair(700, 350));
        XResizeWindow(display, host_window, 640, 480);

        // cleanup ends the program and leaves nothing behind.
        d->cleanup(ui);
        EXPECT_FALSE(process_exists(h.pid));
        EXPECT_EQ(child_pids(), children_before);
        EXPECT_EQ(child_count(display, host_window), 0u);
        h.close_all();
    }
}

}  // namespace
