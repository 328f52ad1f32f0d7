// The real middleman program under a private Xvfb, linked to the plug-in's side of
// the editor link (fake_plugin): start-up contract, gestures made with xdotool,
// incoming values, the news panel, and every way the program must end.
// gtest first: Xlib's macros (None, Bool, Status) would break its templates.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "editor_view.h"
#include "fake_plugin.h"
#include "preset/factory_bank.h"
#include "screen_capture.h"
#include "support/xvfb_server.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string hex_of(float v)
{
    uint32_t bits;
    memcpy(&bits, &v, 4);
    char text[16];
    snprintf(text, sizeof text, "%08x", bits);
    return text;
}

float float_of(const std::string& hex)
{
    uint32_t bits = (uint32_t)strtoul(hex.c_str(), nullptr, 16);
    float v;
    memcpy(&v, &bits, 4);
    return v;
}

// "b 00000000 42480000" -> index and value.
void parse_param(const std::string& text, unsigned* index, float* value)
{
    *index = (unsigned)strtoul(text.substr(2, 8).c_str(), nullptr, 16);
    *value = float_of(text.substr(11, 8));
}

int run_xdotool(const std::string& args)
{
    std::string cmd = "xdotool " + args + " >/dev/null 2>&1";
    return system(cmd.c_str());
}

class MiddlemanProgram : public ::testing::Test {
protected:
    static xvfb_server xvfb;
    fake_plugin f;
    Display* d = nullptr;
    view_layout layout;
    std::string resources = VGS_RESOURCES_DIR;

    static std::string home, saved_home;
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(xvfb.start()) << "Xvfb did not start";
        // A home of the tests' own: the program lists the user's presets from below it.
        char dir[] = "/tmp/mmhome-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        home = dir;
        saved_home = getenv("HOME") ? getenv("HOME") : "";
        setenv("HOME", dir, 1);
    }
    static void TearDownTestSuite()
    {
        xvfb.stop();
        system(("rm -rf '" + home + "'").c_str());
        setenv("HOME", saved_home.c_str(), 1);
    }

    void SetUp() override
    {
        // Asking after a window that is gone is part of these tests.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        d = XOpenDisplay(xvfb.display().c_str());
        ASSERT_NE(d, nullptr);
        view_layout_compute(&layout, 800, 400);
    }
    void TearDown() override
    {
        fake_stop(&f);
        if (d)
            XCloseDisplay(d);
    }

    // Starts the program and waits until its window is reported and the start-up
    // exchange with the store has ended.
    void start_editor()
    {
        ASSERT_TRUE(fake_start(&f, MIDDLEMAN_PROGRAM, resources));
        ASSERT_TRUE(fake_wait(&f, [&] { return f.window != 0; }, 5000)) << "no \"w\" message";
        ASSERT_TRUE(fake_wait(&f, [&] { return !fake_texts_with(&f, "m tidelV1 init ").empty(); },
                              2000));
        settle();
    }

    // Waits until the window's pixels stop changing.
    capture settle() { return capture_when_still(d, f.window, 50, [&] { fake_pump(&f, 40); }); }

    std::string window_arg() const { return "--window " + std::to_string(f.window) + " "; }

    void drag(int x, int y, int dy_total, int steps, bool shift)
    {
        std::string cmd = "mousemove " + window_arg() + std::to_string(x) + " " +
                          std::to_string(y) + (shift ? " keydown Shift_L" : "") + " mousedown 1";
        for (int i = 1; i <= steps; i++)
            cmd += " sleep 0.02 mousemove " + window_arg() + std::to_string(x) + " " +
                   std::to_string(y + dy_total * i / steps);
        cmd += " mouseup 1";
        if (shift)
            cmd += " keyup Shift_L";
        ASSERT_EQ(run_xdotool(cmd), 0);
    }

    void click(double x, double y, int button = 1)
    {
        ASSERT_EQ(run_xdotool("mousemove " + window_arg() + std::to_string((int)x) + " " +
                              std::to_string((int)y) + " click " + std::to_string(button)),
                  0);
    }

    // Waits for the gesture messages of one parameter to close with "e".
    std::vector<std::string> gesture(size_t from, unsigned index)
    {
        char prefix[16];
        snprintf(prefix, sizeof prefix, "e %08x", index);
        fake_wait(&f, [&] { return !fake_texts_with(&f, prefix, from).empty(); }, 3000);
        std::vector<std::string> out;
        char p[16];
        snprintf(p, sizeof p, " %08x ", index);
        for (size_t i = from; i < f.texts.size(); i++)
            if (f.texts[i].size() == 19 && f.texts[i].compare(1, 10, p) == 0)
                out.push_back(f.texts[i]);
        return out;
    }

    std::string make_resources(const std::string& notes)
    {
        char dir[] = "/tmp/mmres-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        std::ofstream(std::string(dir) + "/news.txt") << notes;
        made_dirs.push_back(dir);
        return dir;
    }
    std::vector<std::string> made_dirs;
    ~MiddlemanProgram() override
    {
        for (auto& dir : made_dirs) {
            unlink((dir + "/news.txt").c_str());
            rmdir(dir.c_str());
        }
    }
};

xvfb_server MiddlemanProgram::xvfb;
std::string MiddlemanProgram::home;
std::string MiddlemanProgram::saved_home;

TEST_F(MiddlemanProgram, StartUpFollowsTheLinkContract)
{
    start_editor();
    EXPECT_TRUE(f.side_before_ws) << "the side channel must be connected first";

    // The whole upgrade request arrived in the one read, with a 24-character key that
    // is Base64 of 16 bytes.
    EXPECT_EQ(f.request.compare(0, 14, "GET / HTTP/1.1"), 0);
    EXPECT_NE(f.request.find("\r\n\r\n"), std::string::npos);
    EXPECT_EQ(f.request.size(), f.request.find("\r\n\r\n") + 4);
    ASSERT_EQ(f.key.size(), 24u);
    EXPECT_EQ(f.key.substr(22), "==");
    EXPECT_NE(f.request.find("Upgrade: websocket\r\n"), std::string::npos);
    EXPECT_NE(f.request.find("Sec-WebSocket-Version: 13\r\n"), std::string::npos);

    // "g" first, then the store's start-up request.
    ASSERT_GE(f.texts.size(), 2u);
    EXPECT_EQ(f.texts[0], "g");
    EXPECT_EQ(f.texts[1], "m tidelV1 init vellum-grist-saturator");

    // Every frame masked, with keys that change from frame to frame.
    ASSERT_GE(f.frames.size(), 3u);
    for (const auto& fr : f.frames) {
        EXPECT_TRUE(fr.masked);
        EXPECT_TRUE(fr.fin);
    }
    EXPECT_NE(memcmp(f.frames[0].mask, f.frames[1].mask, 4), 0);

    // "w <id>" names a mapped top-level window of the default size.
    EXPECT_EQ(f.side_bytes, "w " + std::to_string(f.window));
    XWindowAttributes attrs;
    ASSERT_TRUE(XGetWindowAttributes(d, f.window, &attrs));
    EXPECT_EQ(attrs.map_state, IsViewable);
    EXPECT_EQ(attrs.width, 800);
    EXPECT_EQ(attrs.height, 400);
}

TEST_F(MiddlemanProgram, EmbeddedWindowReportsOnceAndFillsTheContainer)
{
    start_editor();
    // What the plug-in does with the reported window: a container inside the host's
    // window, the program's window reparented into it and resized with it.
    Window root = DefaultRootWindow(d);
    Window host = XCreateSimpleWindow(d, root, 0, 0, 900, 500, 0, 0, 0);
    XMapWindow(d, host);
    Window container = XCreateSimpleWindow(d, host, 0, 0, 800, 400, 0, 0, 0);
    XMapWindow(d, container);
    XSync(d, False);
    XUnmapWindow(d, f.window);
    XSync(d, False);
    XReparentWindow(d, f.window, container, 0, 0);
    XMapWindow(d, f.window);
    XSync(d, False);
    settle();
    XResizeWindow(d, container, 640, 300);
    XResizeWindow(d, f.window, 640, 300);
    XSync(d, False);
    capture c = settle();
    ASSERT_EQ(c.width, 640);
    ASSERT_EQ(c.height, 300);

    // The picture was laid out again for the new size: the footer band and the
    // bypass switch sit where a 640x300 layout puts them.
    view_layout small;
    view_layout_compute(&small, 640, 300);
    capture again = settle();
    EXPECT_EQ(again.pixels, c.pixels);
    uint32_t footer = c.at(320, (int)(small.footer.y + small.footer.h - 2));
    uint32_t header = c.at(320, 2);
    EXPECT_EQ(footer, header) << "footer and header share the band colour";
    EXPECT_NE(c.at((int)(small.bypass.x + small.bypass.w - 4), (int)(small.bypass.y + small.bypass.h / 2)),
              header);

    EXPECT_EQ(f.side_bytes, "w " + std::to_string(f.window)) << "\"w\" is sent once";
    XDestroyWindow(d, host);
    XSync(d, False);
    // The host's window went away with ours inside: the program ends.
    EXPECT_TRUE(fake_wait_exit(&f, 2000));
}

TEST_F(MiddlemanProgram, Screenshot)
{
    char notes[4096];
    std::ifstream in(resources + "/news.txt");
    in.read(notes, sizeof notes - 1);
    notes[in.gcount()] = 0;
    f.store.system = "5be0c2d9e1f34a77a8d96c0b3e2f4a10";
    f.store.news = notes;
    start_editor();
    // A factory preset's values: the selector recognises it by them.
    const factory_preset* shown = nullptr;
    for (int i = 0; i < factory_bank_size; i++)
        if (strcmp(factory_bank[i].name, "Drum Smash") == 0)
            shown = &factory_bank[i];
    ASSERT_NE(shown, nullptr);
    capture before = settle();
    for (unsigned i = 0; i < 6; i++) {
        char text[32];
        snprintf(text, sizeof text, "s %08x %s", i, hex_of(shown->values[i]).c_str());
        fake_send(&f, text);
    }
    capture c = settle();
    ASSERT_EQ(c.width, 800);
    const view_rect& name = layout.preset_name;
    EXPECT_GT(capture_diff(before, c, (int)name.x, (int)name.y, (int)name.w, (int)name.h), 0)
        << "\"Default\" still shown";
    ASSERT_TRUE(capture_write_png(c, MIDDLEMAN_SCREENSHOT));

    // And with its menu open.
    click(name.x + name.w / 2, name.y + name.h / 2);
    ASSERT_EQ(run_xdotool("mousemove " + window_arg() + std::to_string((int)(name.x + 60)) + " 170"), 0);
    capture menu = settle();
    EXPECT_GT(capture_diff(c, menu, (int)name.x, (int)layout.body.y, (int)name.w, 200), 5000) << "no menu";
    std::string path = MIDDLEMAN_SCREENSHOT;
    ASSERT_TRUE(capture_write_png(menu, path.substr(0, path.size() - 4) + "-presets.png"));
}


TEST_F(MiddlemanProgram, ShiftDragWheelAndDoubleClick)
{
    f.echo_values = true; // as a host answers performEdit with setParamNormalized
    start_editor();
    const auto& drive = layout.knobs[0];

    // With Shift a drag moves a tenth as far: 50 px of a 250-pixel travel on Tone
    // gives +2 instead of +20.
    size_t from = f.texts.size();
    drag((int)layout.knobs[1].cx, (int)layout.knobs[1].cy, -50, 5, true);
    std::vector<std::string> g = gesture(from, 1);
    unsigned index;
    float value;
    ASSERT_FALSE(g.empty());
    parse_param(g.back(), &index, &value);
    EXPECT_FLOAT_EQ(value, 52.0f);

    // Wheel: one notch up on Heat is a hundredth of its range, as one gesture.
    from = f.texts.size();
    click(layout.knobs[2].cx, layout.knobs[2].cy, 4);
    g = gesture(from, 2);
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0], "b 00000002 " + hex_of(51));
    EXPECT_EQ(g[1], "e 00000002 " + hex_of(51));

    // Double-click puts Drive, moved by the host to 80, back to its default.
    fake_send(&f, "s 00000000 " + hex_of(80));
    fake_pump(&f, 100);
    from = f.texts.size();
    ASSERT_EQ(run_xdotool("mousemove " + window_arg() + std::to_string((int)drive.cx) + " " +
                          std::to_string((int)drive.cy) + " click --repeat 2 --delay 60 1"),
              0);
    ASSERT_TRUE(fake_wait(&f, [&] { return fake_texts_with(&f, "e 00000000", from).size() >= 2; },
                          3000));
    g = fake_texts_with(&f, "e 00000000", from);
    EXPECT_EQ(g.front(), "e 00000000 " + hex_of(80)) << "the first click changes nothing";
    EXPECT_EQ(g.back(), "e 00000000 " + hex_of(50));
}

TEST_F(MiddlemanProgram, NewsAreSyncedAndShown)
{
    resources = make_resources("00010201\nTest release headline\n\nDetails line.\n");
    start_editor();
    // An empty store: a new installation id and the bundled notes are stored.
    ASSERT_TRUE(fake_wait(&f, [&] { return f.store.news.has_value(); }, 2000));
    EXPECT_EQ(*f.store.news, "00010201\nTest release headline\n\nDetails line.\n");
    ASSERT_TRUE(f.store.system.has_value());
    EXPECT_EQ(f.store.system->size(), 32u);
    EXPECT_EQ(fake_texts_with(&f, "m tidelV1 syncNews - ").size(), 1u);

    // The headline opens the notes over the knobs; the close button hides them.
    capture closed = settle();
    click(layout.headline.x + 120, layout.headline.y + layout.headline.h / 2);
    capture open = settle();
    const auto& b = layout.body;
    EXPECT_GT(capture_diff(closed, open, 0, (int)b.y, 800, (int)b.h), 20000);
    click(layout.notes_close.x + layout.notes_close.w / 2,
          layout.notes_close.y + layout.notes_close.h / 2);
    ASSERT_EQ(run_xdotool("mousemove " + window_arg() + "400 5"), 0);
    ASSERT_EQ(run_xdotool("mousemove " + window_arg() + "400 2"), 0);
    capture shut = settle();
    EXPECT_EQ(capture_diff(closed, shut, 0, (int)b.y, 800, (int)b.h), 0);

}

struct exit_case {
    const char* name;
    std::function<void(fake_plugin*)> end;
};

TEST_F(MiddlemanProgram, EndsPromptlyAndCleanly)
{
    const exit_case cases[] = {
        {"close frame", [](fake_plugin* p) { fake_send_raw(p, std::string("\x88\x02\x03\xe8", 4)); }},
        {"end of stream", [](fake_plugin* p) { shutdown(p->ws_fd, SHUT_WR); }},
        {"side channel closed", [](fake_plugin* p) {
             close(p->side_fd);
             p->side_fd = -1;
         }},
    };
    for (const auto& c : cases) {
        f = fake_plugin();
        start_editor();
        Window window = f.window;
        auto t0 = clock_type::now();
        c.end(&f);
        bool ended = fake_wait_exit(&f, 2000);
        long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
        ASSERT_TRUE(ended) << c.name;
        RecordProperty(std::string("exit_ms_") + c.name[0], (int)ms);
        // "A fraction of a second": the program only has to leave its loop.
        EXPECT_LT(ms, 1000) << c.name;
        EXPECT_TRUE(WIFEXITED(f.exit_status) && WEXITSTATUS(f.exit_status) == 0) << c.name;
        XWindowAttributes attrs;
        XSync(d, False);
        EXPECT_FALSE(XGetWindowAttributes(d, window, &attrs)) << c.name << ": window left behind";
        fake_pump(&f, 50);
        if (std::string(c.name) == "close frame") {
            ASSERT_FALSE(f.frames.empty());
            EXPECT_EQ(f.frames.back().opcode, 0x8) << "the close is answered";
        }
        fake_stop(&f);
    }
}

} // namespace
