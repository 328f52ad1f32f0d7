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
#include <dirent.h>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "editor_view.h"
#include "fake_plugin.h"
#include "screen_capture.h"
#include "xvfb_server.h"

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

    static void SetUpTestSuite() { ASSERT_TRUE(xvfb_start(&xvfb)) << "Xvfb did not start"; }
    static void TearDownTestSuite() { xvfb_stop(&xvfb); }

    void SetUp() override
    {
        // Asking after a window that is gone is part of these tests.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        d = XOpenDisplay(xvfb.display.c_str());
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
    capture settle()
    {
        capture last = capture_window(d, f.window);
        for (int i = 0; i < 50; i++) {
            fake_pump(&f, 40);
            capture now = capture_window(d, f.window);
            if (now.pixels == last.pixels)
                return now;
            last = now;
        }
        return last;
    }

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
    const float values[6] = {63.5f, 41.0f, 72.5f, 88.0f, 112.0f, 0};
    for (unsigned i = 0; i < 6; i++) {
        char text[32];
        snprintf(text, sizeof text, "s %08x %s", i, hex_of(values[i]).c_str());
        fake_send(&f, text);
    }
    capture c = settle();
    ASSERT_EQ(c.width, 800);
    ASSERT_TRUE(capture_write_png(c, MIDDLEMAN_SCREENSHOT));
}


TEST_F(MiddlemanProgram, DragShiftDragWheelAndDoubleClick)
{
    f.echo_values = true; // as a host answers performEdit with setParamNormalized
    start_editor();
    const auto& drive = layout.knobs[0];

    // 60 pixels up over a 250-pixel travel: Drive from 50 to 74.
    size_t from = f.texts.size();
    drag((int)drive.cx, (int)drive.cy, -60, 6, false);
    auto g = gesture(from, 0);
    ASSERT_GE(g.size(), 3u);
    unsigned index;
    float value, previous = -1;
    parse_param(g.front(), &index, &value);
    EXPECT_EQ(g.front()[0], 'b');
    EXPECT_EQ(value, 50.0f);
    for (size_t i = 1; i + 1 < g.size(); i++) {
        EXPECT_EQ(g[i][0], 's');
        parse_param(g[i], &index, &value);
        EXPECT_GT(value, previous) << "values rise while dragging up";
        previous = value;
    }
    EXPECT_EQ(g.back()[0], 'e');
    parse_param(g.back(), &index, &value);
    EXPECT_FLOAT_EQ(value, 74.0f);
    // The gesture's end stores the six values for "Recall last".
    ASSERT_TRUE(fake_wait(&f, [&] { return f.store.latest.has_value(); }, 2000));
    EXPECT_EQ(*f.store.latest, hex_of(74) + " " + hex_of(50) + " " + hex_of(50) + " " +
                                   hex_of(100) + " " + hex_of(100) + " " + hex_of(0));

    // With Shift the same kind of drag moves a tenth as far: 50 px on Tone gives +2.
    from = f.texts.size();
    drag((int)layout.knobs[1].cx, (int)layout.knobs[1].cy, -50, 5, true);
    g = gesture(from, 1);
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

    // Double-click puts Drive back to its default.
    from = f.texts.size();
    ASSERT_EQ(run_xdotool("mousemove " + window_arg() + std::to_string((int)drive.cx) + " " +
                          std::to_string((int)drive.cy) + " click --repeat 2 --delay 60 1"),
              0);
    ASSERT_TRUE(fake_wait(&f, [&] { return fake_texts_with(&f, "e 00000000", from).size() >= 2; },
                          3000));
    g = fake_texts_with(&f, "e 00000000", from);
    EXPECT_EQ(g.back(), "e 00000000 " + hex_of(50));
}

TEST_F(MiddlemanProgram, BypassSwitchToggles)
{
    start_editor();
    double x = layout.bypass.x + layout.bypass.w - 20, y = layout.bypass.y + layout.bypass.h / 2;
    size_t from = f.texts.size();
    capture before = settle();
    click(x, y);
    auto g = gesture(from, 5);
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0], "b 00000005 3f800000");
    EXPECT_EQ(g[1], "e 00000005 3f800000");
    capture on = settle();
    EXPECT_GT(capture_diff(before, on, 0, 0, 800, 400), 500) << "bypassed look";
    from = f.texts.size();
    click(x, y);
    g = gesture(from, 5);
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[1], "e 00000005 00000000");
    // On again looks as it did, pixel for pixel (the pointer hovers the switch both times).
    click(x, y);
    EXPECT_EQ(capture_diff(on, settle(), 0, 0, 800, 400), 0);
}

TEST_F(MiddlemanProgram, IncomingValuesRedrawOnlyTheirKnob)
{
    start_editor();
    capture before = settle();
    fake_send(&f, "s 00000000 42c80000"); // Drive to 100
    capture after = settle();
    const auto& k0 = layout.knobs[0].area;
    const auto& k1 = layout.knobs[1].area;
    EXPECT_GT(capture_diff(before, after, (int)k0.x, (int)k0.y, (int)k0.w, (int)k0.h), 200);
    EXPECT_EQ(capture_diff(before, after, (int)k1.x, (int)k1.y, 800 - (int)k1.x, (int)k1.h), 0);
    fake_send(&f, "s 0 42480000"); // back to 50, without leading zeros
    EXPECT_EQ(capture_diff(before, settle(), 0, 0, 800, 400), 0);
    // Malformed and out-of-table values change nothing.
    fake_send(&f, "s 00000006 3f800000");
    fake_send(&f, "s 00000000");
    fake_send(&f, "x 00000000 42c80000");
    EXPECT_EQ(capture_diff(before, settle(), 0, 0, 800, 400), 0);
    EXPECT_EQ(fake_texts_with(&f, "b").size() + fake_texts_with(&f, "s").size(), 0u)
        << "incoming values are not sent back";
}

TEST_F(MiddlemanProgram, NewsAreSyncedShownAndRecalled)
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

    // A second editor finds everything in place: no new id, no sync.
    fake_store store = f.store;
    fake_stop(&f);
    f = fake_plugin();
    f.store = store;
    // Another instance stored other values since.
    f.store.latest = hex_of(20) + " " + hex_of(50) + " " + hex_of(80) + " " + hex_of(100) + " " +
                     hex_of(150) + " " + hex_of(0);
    start_editor();
    fake_pump(&f, 200);
    EXPECT_TRUE(fake_texts_with(&f, "m tidelV1 newSid").empty());
    EXPECT_TRUE(fake_texts_with(&f, "m tidelV1 syncNews").empty());
    EXPECT_TRUE(fake_texts_with(&f, "b ").empty()) << "start-up does not apply stored values";

    // "Recall last" asks the store afresh and applies its values as gestures.
    capture before = settle();
    size_t from = f.texts.size();
    click(layout.recall.x + layout.recall.w / 2, layout.recall.y + layout.recall.h / 2);
    ASSERT_TRUE(fake_wait(&f, [&] { return !fake_texts_with(&f, "m tidelV1 syncLatestForce", from).empty(); }, 3000));
    std::vector<std::string> want = {
        "m tidelV1 init vellum-grist-saturator",
        "b 00000000 " + hex_of(50), "s 00000000 " + hex_of(20), "e 00000000 " + hex_of(20),
        "b 00000002 " + hex_of(50), "s 00000002 " + hex_of(80), "e 00000002 " + hex_of(80),
        "b 00000004 " + hex_of(100), "s 00000004 " + hex_of(150), "e 00000004 " + hex_of(150),
        "m tidelV1 syncLatestForce vellum-grist-saturator " + *f.store.latest,
    };
    EXPECT_EQ(std::vector<std::string>(f.texts.begin() + (long)from, f.texts.end()), want);
    const auto& k0 = layout.knobs[0].area;
    EXPECT_GT(capture_diff(before, settle(), (int)k0.x, (int)k0.y, (int)k0.w, (int)k0.h), 200);
}

TEST_F(MiddlemanProgram, PingsAreAnsweredAndTheLinkGoesOn)
{
    start_editor();
    fake_send_raw(&f, std::string("\x89\x04ping", 6));
    ASSERT_TRUE(fake_wait(&f, [&] { return f.frames.back().opcode == 0xA; }, 2000));
    EXPECT_EQ(f.frames.back().payload, "ping");
    EXPECT_TRUE(f.frames.back().masked);
    size_t from = f.texts.size();
    click(layout.knobs[3].cx, layout.knobs[3].cy, 5);
    EXPECT_EQ(gesture(from, 3).size(), 2u);
}

struct exit_case {
    const char* name;
    std::function<void(fake_plugin*)> end;
};

TEST_F(MiddlemanProgram, EndsPromptlyAndCleanly)
{
    const exit_case cases[] = {
        {"SIGTERM", [](fake_plugin* p) { kill(p->child, SIGTERM); }},
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

int open_descriptors()
{
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir))
        n++;
    closedir(dir);
    return n;
}

// Processes whose parent is `parent`, zombies included.
std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> out;
    DIR* dir = opendir("/proc");
    while (dirent* e = readdir(dir)) {
        pid_t pid = (pid_t)atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        // pid (comm) state ppid ...: the command may hold blanks, so read after ')'.
        size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state;
        int ppid;
        if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            out.push_back(pid);
    }
    closedir(dir);
    return out;
}

int root_children(Display* d)
{
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n);
    if (children)
        XFree(children);
    return (int)n;
}

TEST_F(MiddlemanProgram, FiftyRunsLeaveNothingBehind)
{
    int fds = open_descriptors();
    int windows = root_children(d);
    for (int run = 0; run < 50; run++) {
        f = fake_plugin();
        ASSERT_TRUE(fake_start(&f, MIDDLEMAN_PROGRAM, resources)) << run;
        ASSERT_TRUE(fake_wait(&f, [&] { return f.window != 0; }, 5000)) << run;
        std::string dir = f.dir;
        fake_stop(&f); // SIGTERM and wait, as the plug-in does
        ASSERT_TRUE(WIFEXITED(f.exit_status) && WEXITSTATUS(f.exit_status) == 0) << run;
        struct stat st;
        EXPECT_NE(stat(dir.c_str(), &st), 0) << run;
    }
    XSync(d, False);
    EXPECT_EQ(root_children(d), windows);
    EXPECT_EQ(open_descriptors(), fds);
    // No child of ours is left, running or unreaped, but the X server.
    EXPECT_EQ(children_of(getpid()), std::vector<pid_t>{xvfb.pid});
}

} // namespace
