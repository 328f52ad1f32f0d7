// The real middleman inside the host's `edit` command, with the built bundle: the
// plug-in starts it, embeds its window, and the host prints every edit it receives.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <poll.h>
#include <set>
#include <string>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "edit_frame.h"
#include "editor_view.h"
#include "news_client.h"
#include "plugin_loader.h"
#include "preset/factory_bank.h"
#include "preset/vst_preset.h"
#include "screen_capture.h"
#include "support/processes.h"
#include "support/valgrind_run.h"
#include "support/window_manager.h"
#include "support/x_windows.h"
#include "support/xvfb_server.h"

#ifdef VGS_HOST_PROGRAM

namespace {

using clock_type = std::chrono::steady_clock;

long ms_since(clock_type::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t).count();
}

// `vgs-host edit` on the built bundle, its standard output read line by line.
struct host_run {
    pid_t pid = -1;
    int out = -1;
    std::string buffer;
    Window window = 0;
    // A program the host runs under (valgrind and its options), or none.
    std::vector<std::string> wrapper;

    bool start(const std::vector<std::string>& options = {})
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) < 0)
            return false;
        std::vector<char*> argv;
        for (const std::string& w : wrapper)
            argv.push_back((char*)w.c_str());
        argv.insert(argv.end(), {(char*)(wrapper.empty() ? "vgs-host" : VGS_HOST_PROGRAM), (char*)"edit",
                                 (char*)VGS_BUNDLE_DIR});
        for (const std::string& o : options)
            argv.push_back((char*)o.c_str());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            if (wrapper.empty())
                execv(VGS_HOST_PROGRAM, argv.data());
            else
                execvp(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
        std::string first = line(15000);
        if (first.rfind("editor attached to window 0x", 0) != 0)
            return false;
        window = strtoul(first.c_str() + strlen("editor attached to window "), nullptr, 16);
        return true;
    }
    // The next output line, or "" after the time-out or at the end.
    std::string line(int timeout_ms = 5000)
    {
        auto t0 = clock_type::now();
        for (;;) {
            size_t feed = buffer.find('\n');
            if (feed != std::string::npos) {
                std::string l = buffer.substr(0, feed);
                buffer.erase(0, feed + 1);
                return l;
            }
            int left = timeout_ms - (int)ms_since(t0);
            pollfd p = {out, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return "";
            char chunk[512];
            ssize_t n = read(out, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            buffer.append(chunk, (size_t)n);
        }
    }
    // Lines up to and including the first that starts with `last`.
    std::vector<std::string> lines_until(const std::string& last, int timeout_ms = 5000)
    {
        std::vector<std::string> got;
        for (;;) {
            std::string l = line(timeout_ms);
            if (l.empty())
                return got;
            got.push_back(l);
            if (l.rfind(last, 0) == 0)
                return got;
        }
    }
    int wait_exit(int timeout_ms = 10000)
    {
        auto t0 = clock_type::now();
        while (ms_since(t0) < timeout_ms) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(5000);
        }
        return -1;
    }
    ~host_run()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }
};

std::set<std::string> socket_dirs()
{
    std::set<std::string> out;
    DIR* dir = opendir("/tmp");
    while (dirent* e = readdir(dir))
        if (strncmp(e->d_name, "wexa-", 5) == 0)
            out.insert(e->d_name);
    closedir(dir);
    return out;
}

int run_xdotool(const std::string& args)
{
    return system(("xdotool " + args + " >/dev/null 2>&1").c_str());
}

class MiddlemanInHost : public ::testing::Test {
protected:
    static xvfb_server xvfb;
    static std::string data_home;
    static std::string saved_home;
    Display* d = nullptr;
    view_layout layout;

    static void SetUpTestSuite()
    {
        ASSERT_TRUE(xvfb.start());
        // A news store of the tests' own: the plug-in keeps its files there.
        char dir[] = "/tmp/mmdata-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        data_home = dir;
        setenv("XDG_DATA_HOME", dir, 1);
        // And a home of their own: the user's presets go below it.
        saved_home = getenv("HOME") ? getenv("HOME") : "";
        setenv("HOME", dir, 1);
    }
    static void TearDownTestSuite()
    {
        xvfb.stop();
        system(("rm -rf '" + data_home + "'").c_str());
        unsetenv("XDG_DATA_HOME");
        setenv("HOME", saved_home.c_str(), 1);
    }
    void SetUp() override
    {
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        d = XOpenDisplay(xvfb.display().c_str());
        ASSERT_NE(d, nullptr);
        view_layout_compute(&layout, 800, 400);
    }
    void TearDown() override { XCloseDisplay(d); }

    // The program's window once the plug-in has embedded it: host window, container,
    // program window. Returns 0 when that does not happen in time.
    Window embedded_window(const host_run& host)
    {
        auto t0 = clock_type::now();
        while (ms_since(t0) < 5000) {
            Window container = only_child(d, host.window);
            Window program = container ? only_child(d, container) : 0;
            XWindowAttributes a;
            if (program && XGetWindowAttributes(d, program, &a) && a.map_state == IsViewable &&
                a.width == 800)
                return program;
            usleep(10000);
        }
        return 0;
    }

    // The program started by this host.
    pid_t program_pid(const host_run& host)
    {
        for (const auto& p : processes_named("middleman"))
            if (p.ppid == host.pid)
                return p.pid;
        return -1;
    }

    // Waits until the window's pixels stop changing.
    capture settle(Window w) { return capture_when_still(d, w, 50, [] { usleep(60000); }); }
    // The program redraws in its own time: waits (bounded) for the area to differ from
    // `from`, however loaded the machine is, then for the window to settle.
    capture settle_changed(Window w, const capture& from, const view_rect& area)
    {
        for (int i = 0; i < 150; i++) {
            if (capture_diff(from, capture_window(d, w), (int)area.x, (int)area.y, (int)area.w, (int)area.h) > 0)
                break;
            usleep(20000);
        }
        return settle(w);
    }

    void close_window(const host_run& host) { ::close_window(d, host.window); }

    // The other knobs and the header stayed as they were, but for the preset selector,
    // which now marks the "Default" the editor opened on as changed.
    void expect_only_drive_moved(const capture& before, const capture& after)
    {
        const view_rect& k1 = layout.knobs[1].area;
        const view_rect& h = layout.header;
        const view_rect& p = layout.preset;
        const view_rect& name = layout.preset_name;
        EXPECT_EQ(capture_diff(before, after, (int)k1.x, (int)h.h, 800 - (int)k1.x, 400 - (int)h.h), 0);
        EXPECT_EQ(capture_diff(before, after, 0, 0, (int)p.x, (int)h.h), 0);
        EXPECT_EQ(capture_diff(before, after, (int)(p.x + p.w), 0, 800 - (int)(p.x + p.w), (int)h.h), 0);
        EXPECT_GT(capture_diff(before, after, (int)name.x, (int)name.y, (int)name.w, (int)name.h), 0)
            << "the preset is not marked as changed";
    }

    std::string at(Window w, double x, double y)
    {
        return "mousemove --window " + std::to_string(w) + " " + std::to_string((int)x) + " " +
               std::to_string((int)y);
    }
};

xvfb_server MiddlemanInHost::xvfb;
std::string MiddlemanInHost::data_home;
std::string MiddlemanInHost::saved_home;

std::string last_of(const std::vector<std::string>& lines)
{
    return lines.empty() ? "" : lines.back();
}

double value_of(const std::string& perform_line)
{
    return atof(perform_line.c_str() + perform_line.rfind(' ') + 1);
}

TEST_F(MiddlemanInHost, EmbeddedDragBypassAndClose)
{
    host_run host;
    ASSERT_TRUE(host.start());
    Window w = embedded_window(host);
    ASSERT_NE(w, 0u) << "the program's window is not inside the host's";
    capture first = settle(w);

    // Dragging Drive up: the host sees one gesture with rising values.
    const auto& k = layout.knobs[0];
    std::string cmd = at(w, k.cx, k.cy) + " mousedown 1";
    for (int i = 1; i <= 5; i++)
        cmd += " sleep 0.03 " + at(w, k.cx, k.cy - 12 * i);
    ASSERT_EQ(run_xdotool(cmd + " sleep 0.05 mouseup 1"), 0);
    auto lines = host.lines_until("endEdit");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front(), "beginEdit Drive");
    EXPECT_EQ(lines[1], "performEdit Drive 0.5");
    double previous = 0.5;
    for (size_t i = 2; i + 2 < lines.size(); i++) {
        ASSERT_EQ(lines[i].rfind("performEdit Drive ", 0), 0u) << lines[i];
        EXPECT_GT(value_of(lines[i]), previous) << lines[i];
        previous = value_of(lines[i]);
    }
    // 60 pixels over a 250-pixel travel: 0.5 + 0.24.
    EXPECT_EQ(lines[lines.size() - 2], "performEdit Drive 0.74");
    EXPECT_EQ(last_of(lines), "endEdit Drive");
    capture dragged = settle_changed(w, first, k.area);
    EXPECT_GT(capture_diff(first, dragged, (int)k.area.x, (int)k.area.y, (int)k.area.w,
                           (int)k.area.h),
              200);

    // Bypass on, then off.
    const view_rect& b = layout.bypass;
    for (const char* v : {"1", "0"}) {
        ASSERT_EQ(run_xdotool(at(w, b.x + b.w - 15, b.y + b.h / 2) + " click 1"), 0);
        lines = host.lines_until("endEdit");
        std::vector<std::string> want = {"beginEdit Bypass", std::string("performEdit Bypass ") + v,
                                         std::string("performEdit Bypass ") + v, "endEdit Bypass"};
        EXPECT_EQ(lines, want);
    }

    pid_t program = program_pid(host);
    ASSERT_GT(program, 0);
    close_window(host);
    EXPECT_EQ(host.line(), "editor closed");
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_NE(kill(program, 0), 0) << "the program outlived the host";
}

// Under a real window manager the program's window is never managed as a top-level
// window: the manager sees every change among the root window's children, and so does
// a client that watches them. From its creation to its embedding the window's parents
// are the root and then the plug-in's container, with no frame in between; once
// embedded it takes pointer and wheel input as before.
TEST_F(MiddlemanInHost, NeverFramedByAWindowManagerAndStillTakesInput)
{
    window_manager wm;
    ASSERT_TRUE(wm.start(xvfb.display())) << "openbox did not start (scripts/install-deps.sh installs it)";
    Display* watch = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(watch, nullptr);
    const Window root = DefaultRootWindow(watch);
    XSelectInput(watch, root, SubstructureNotifyMask);
    XSync(watch, False);

    host_run host;
    ASSERT_TRUE(host.start());
    Window w = embedded_window(host);
    ASSERT_NE(w, 0u) << "the program's window is not inside the host's";
    const Window container = parent_of(d, w);
    XSync(watch, False);
    std::vector<Window> parents;
    bool override_redirect = false, host_framed = false;
    while (XPending(watch) > 0) {
        XEvent e;
        XNextEvent(watch, &e);
        if (e.type == CreateNotify && e.xcreatewindow.window == w) {
            parents.push_back(e.xcreatewindow.parent);
            override_redirect = e.xcreatewindow.override_redirect;
        } else if (e.type == ReparentNotify && e.xreparent.window == w) {
            parents.push_back(e.xreparent.parent);
        } else if (e.type == ReparentNotify && e.xreparent.window == host.window) {
            host_framed |= e.xreparent.parent != root;
        }
    }
    XCloseDisplay(watch);
    // The host's own window is an ordinary top-level window: the manager framed it, so
    // a frame around the program's window would have shown here too.
    EXPECT_TRUE(host_framed) << "the window manager is not at work";
    std::vector<Window> want = {root, container};
    EXPECT_EQ(parents, want) << "the program's window went through another parent";
    EXPECT_TRUE(override_redirect);

    // Embedded, the program still takes the pointer: a drag on Drive and a wheel notch
    // on Mix reach the host as gestures.
    const auto& k = layout.knobs[0];
    ASSERT_EQ(run_xdotool(at(w, k.cx, k.cy) + " mousedown 1 sleep 0.03 " + at(w, k.cx, k.cy - 25) +
                          " sleep 0.03 " + at(w, k.cx, k.cy - 50) + " sleep 0.05 mouseup 1"),
              0);
    auto lines = host.lines_until("endEdit");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "beginEdit Drive");
    // 50 pixels over a 250-pixel travel: 0.5 + 0.2.
    EXPECT_EQ(lines[lines.size() - 2], "performEdit Drive 0.7");
    EXPECT_EQ(last_of(lines), "endEdit Drive");
    ASSERT_EQ(run_xdotool(at(w, layout.knobs[3].cx, layout.knobs[3].cy) + " click 5"), 0);
    lines = host.lines_until("endEdit");
    std::vector<std::string> wheel = {"beginEdit Mix", "performEdit Mix 0.99", "performEdit Mix 0.99",
                                      "endEdit Mix"};
    EXPECT_EQ(lines, wheel);

    pid_t program = program_pid(host);
    close_window(host);
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_TRUE(wait_ended(program, 2000));
}

// Polls the shared latest text of this plug-in's token until two of its values come
// within a hundredth of what is expected; gives up after about five seconds.
bool wait_for_latest(const std::string& data_home, int i, float vi, int j, float vj)
{
    const std::string path = data_home + "/Tresk.Sonwave/vellum-grist-saturator/latest";
    for (int attempt = 0; attempt < 250; attempt++) {
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        float values[mm_param_count];
        if (news_parse_latest(text.c_str(), values) && std::fabs(values[i] - vi) < 0.01f &&
            std::fabs(values[j] - vj) < 0.01f)
            return true;
        usleep(20000);
    }
    return false;
}

TEST_F(MiddlemanInHost, RecallLastRestoresValuesStoredByAnotherInstance)
{
    host_run a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    Window wa = embedded_window(a), wb = embedded_window(b);
    ASSERT_NE(wa, 0u);
    ASSERT_NE(wb, 0u);
    // Side by side, not stacked, so each program gets its own pointer events.
    XMoveWindow(d, b.window, 0, 420);
    XSync(d, False);

    // Instance A: Volume down by 50 px and Tone up by 25 px, on a 250-pixel travel:
    // Volume 100 -> 60 (normalized 0.3), Tone 50 -> 60 (0.6).
    const auto& vol = layout.knobs[4];
    const auto& tone = layout.knobs[1];
    std::string cmd = at(wa, vol.cx, vol.cy) + " mousedown 1 sleep 0.03 " +
                      at(wa, vol.cx, vol.cy + 25) + " sleep 0.03 " + at(wa, vol.cx, vol.cy + 50) +
                      " sleep 0.05 mouseup 1";
    ASSERT_EQ(run_xdotool(cmd), 0);
    EXPECT_EQ(last_of(a.lines_until("endEdit")), "endEdit Volume");
    cmd = at(wa, tone.cx, tone.cy) + " mousedown 1 sleep 0.03 " + at(wa, tone.cx, tone.cy - 25) +
          " sleep 0.05 mouseup 1";
    ASSERT_EQ(run_xdotool(cmd), 0);
    EXPECT_EQ(last_of(a.lines_until("endEdit")), "endEdit Tone");
    // The store is written on the plug-in's next tick; wait (bounded) until it holds
    // both gestures' values, however slow the machine is today.
    EXPECT_TRUE(wait_for_latest(data_home, 1, 60.0f, 4, 60.0f)) << "the values never reached the store";

    // Instance B recalls them: one gesture per changed parameter, in index order.
    capture before = settle(wb);
    const view_rect& r = layout.recall;
    ASSERT_EQ(run_xdotool(at(wb, r.x + r.w / 2, r.y + r.h / 2) + " click 1"), 0);
    auto lines = b.lines_until("endEdit Volume");
    std::vector<std::string> want = {
        "beginEdit Tone",   "performEdit Tone 0.5",   "performEdit Tone 0.6",
        "performEdit Tone 0.6", "endEdit Tone",
        "beginEdit Volume", "performEdit Volume 0.5", "performEdit Volume 0.3",
        "performEdit Volume 0.3", "endEdit Volume",
    };
    EXPECT_EQ(lines, want);
    capture after = settle_changed(wb, before, tone.area);
    EXPECT_GT(capture_diff(before, after, (int)tone.area.x, (int)tone.area.y, (int)tone.area.w,
                           (int)tone.area.h),
              200);
    close_window(a);
    close_window(b);
    EXPECT_EQ(a.wait_exit(), 0);
    EXPECT_EQ(b.wait_exit(), 0);
}

// The window with the X keyboard focus (None or PointerRoot when no window has it).
Window input_focus(Display* d)
{
    Window w = None;
    int revert;
    XGetInputFocus(d, &w, &revert);
    return w;
}

bool focus_becomes(Display* d, const std::function<bool(Window)>& ok, int timeout_ms = 3000)
{
    auto t0 = clock_type::now();
    while (!ok(input_focus(d))) {
        if (ms_since(t0) > timeout_ms)
            return false;
        usleep(10000);
    }
    return true;
}

std::string center_of(Window w, const view_rect& r)
{
    return "mousemove --window " + std::to_string(w) + " " + std::to_string((int)(r.x + r.w / 2)) + " " +
           std::to_string((int)(r.y + r.h / 2));
}

// Under a window manager, as on a desktop: a click on a value box gives the editor the
// keyboard focus, keys typed then reach it, refused text sends nothing, Escape sends
// nothing, Enter sends one gesture, and each end gives the focus back.
TEST_F(MiddlemanInHost, TypedValuesTakeTheFocusAndReachTheHostAsOneGesture)
{
    window_manager wm;
    ASSERT_TRUE(wm.start(xvfb.display())) << "openbox did not start (scripts/install-deps.sh installs it)";
    host_run host;
    ASSERT_TRUE(host.start());
    Window w = embedded_window(host);
    ASSERT_NE(w, 0u);
    const view_rect& drive_box = layout.value_boxes[0];
    capture before = settle(w);

    // Each case types into Drive's box; none applies.
    const struct {
        const char* text;
        const char* key;
        const char* why;
    } refused[] = {
        {"abc", "Return", "not a number"},
        {"150", "Return", "above Drive's 100"},
        {"-0.5", "Return", "below Drive's 0"},
        {"40", "Escape", "Escape"},
    };
    for (const auto& c : refused) {
        ASSERT_EQ(run_xdotool(center_of(w, drive_box) + " click 1"), 0);
        ASSERT_TRUE(focus_becomes(d, [&](Window f) { return f == w; })) << c.why << ": the focus did not come";
        ASSERT_EQ(run_xdotool(std::string("type -- '") + c.text + "'"), 0) << c.why;
        ASSERT_EQ(run_xdotool(std::string("key ") + c.key), 0);
        EXPECT_EQ(host.line(400), "") << c.why << ": something reached the host";
        if (strcmp(c.key, "Escape") == 0) {
            EXPECT_TRUE(focus_becomes(d, [&](Window f) { return f != w; })) << "Escape kept the focus";
        } else {
            // Refused: the box says so and the field stays open, with the focus.
            capture shown = settle(w);
            EXPECT_GT(capture_diff(before, shown, (int)drive_box.x, (int)drive_box.y, (int)drive_box.w,
                                   (int)(drive_box.h + 24)),
                      100)
                << c.why;
            EXPECT_EQ(input_focus(d), w) << c.why;
            ASSERT_EQ(run_xdotool("key Escape"), 0);
            EXPECT_TRUE(focus_becomes(d, [&](Window f) { return f != w; }));
        }
    }

    // Typed over the selected text, in the box's units: one gesture at 72.5.
    ASSERT_EQ(run_xdotool(center_of(w, drive_box) + " click 1"), 0);
    ASSERT_TRUE(focus_becomes(d, [&](Window f) { return f == w; }));
    ASSERT_EQ(run_xdotool("type '72.5 %'"), 0);
    ASSERT_EQ(run_xdotool("key Return"), 0);
    auto lines = host.lines_until("endEdit");
    std::vector<std::string> want = {"beginEdit Drive", "performEdit Drive 0.725", "performEdit Drive 0.725",
                                     "endEdit Drive"};
    EXPECT_EQ(lines, want);
    EXPECT_TRUE(focus_becomes(d, [&](Window f) { return f != w; })) << "Enter kept the focus";

    // A click elsewhere ends the typing too and applies what reads: Volume 57.
    const view_rect& volume_box = layout.value_boxes[4];
    ASSERT_EQ(run_xdotool(center_of(w, volume_box) + " click 1"), 0);
    ASSERT_TRUE(focus_becomes(d, [&](Window f) { return f == w; }));
    ASSERT_EQ(run_xdotool("type 57"), 0);
    ASSERT_EQ(run_xdotool(at(w, 400, 330) + " click 1"), 0);
    lines = host.lines_until("endEdit");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "beginEdit Volume");
    EXPECT_NEAR(value_of(lines[1]), 0.285, 1e-6);
    EXPECT_TRUE(focus_becomes(d, [&](Window f) { return f != w; }));

    close_window(host);
    EXPECT_EQ(host.wait_exit(), 0);
}

// The host's lines for a preset applied over `from`: one gesture per parameter, in
// index order, each opened at the old value.
std::vector<std::string> preset_gestures(const float from[6], const float to[6])
{
    std::vector<std::string> out;
    for (int i = 0; i < 6; i++) {
        const std::string title = mm_param_name(i);
        char old_value[32], new_value[32];
        snprintf(old_value, sizeof old_value, "%.6g", param_to_normalized(i, mm_param_clamp(i, from[i])));
        snprintf(new_value, sizeof new_value, "%.6g", param_to_normalized(i, mm_param_clamp(i, to[i])));
        out.push_back("beginEdit " + title);
        out.push_back("performEdit " + title + " " + old_value);
        out.push_back("performEdit " + title + " " + new_value);
        out.push_back("performEdit " + title + " " + new_value);
        out.push_back("endEdit " + title);
    }
    return out;
}

// The preset selector with the bundle's factory bank: a preset from the menu and the
// next arrow are six gestures each; "Save as" writes the user's .vstpreset (a name
// that is no plain file name writes nothing), and a second editor lists it and
// applies it.
TEST_F(MiddlemanInHost, PresetsAreSixGesturesAndSavedOnesAreListedByAnotherEditor)
{
    const std::string user_dir = data_home + "/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator";
    host_run a;
    ASSERT_TRUE(a.start());
    Window wa = embedded_window(a);
    ASSERT_NE(wa, 0u);
    view_menu menu = {nullptr, factory_bank_size, factory_bank_size, 0, -1, 0};

    // "Crunch" from the menu, over the defaults.
    const int crunch = 3;
    ASSERT_STREQ(factory_bank[crunch].name, "Crunch");
    ASSERT_EQ(run_xdotool(center_of(wa, layout.preset_name) + " click 1"), 0);
    usleep(200000);
    ASSERT_EQ(run_xdotool(center_of(wa, view_menu_item(&layout, &menu, crunch)) + " click 1"), 0);
    EXPECT_EQ(a.lines_until("endEdit Bypass"), preset_gestures(factory_bank[0].values, factory_bank[crunch].values));
    // The next arrow: the bank's next preset.
    ASSERT_EQ(run_xdotool(center_of(wa, layout.preset_next) + " click 1"), 0);
    EXPECT_EQ(a.lines_until("endEdit Bypass"),
              preset_gestures(factory_bank[crunch].values, factory_bank[crunch + 1].values));
    const float* saved_values = factory_bank[crunch + 1].values;

    // "Save as" with a name that climbs out of the folder: refused, nothing written.
    auto save_as = [&](const std::string& name) {
        ASSERT_EQ(run_xdotool(center_of(wa, layout.preset_name) + " click 1"), 0);
        usleep(200000);
        ASSERT_EQ(run_xdotool(center_of(wa, view_menu_save(&layout, &menu)) + " click 1"), 0);
        ASSERT_TRUE(focus_becomes(d, [&](Window f) { return f == wa; }));
        ASSERT_EQ(run_xdotool("type '" + name + "'"), 0);
        ASSERT_EQ(run_xdotool("key Return"), 0);
    };
    save_as("../Escape");
    usleep(300000);
    struct stat st;
    EXPECT_NE(stat(user_dir.c_str(), &st), 0) << "a refused name made the folder";
    EXPECT_NE(stat((data_home + "/.vst3/presets/Tresk.Sonwave/Escape.vstpreset").c_str(), &st), 0);
    EXPECT_EQ(input_focus(d), wa) << "the refused name closed the field";
    ASSERT_EQ(run_xdotool("key Escape"), 0);
    EXPECT_EQ(a.line(300), "") << "Save as sent something";

    save_as("Grit Test");
    const std::string file = user_dir + "/Grit Test.vstpreset";
    for (int i = 0; i < 100 && stat(file.c_str(), &st) != 0; i++)
        usleep(20000);
    vst_preset stored;
    ASSERT_EQ(vst_preset_load_file(file.c_str(), &stored), 0) << file;
    EXPECT_STREQ(stored.name, "Grit Test");
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(stored.values[i], saved_values[i]) << i;
    EXPECT_TRUE(focus_becomes(d, [&](Window f) { return f != wa; })) << "saving kept the focus";

    // A second editor, back at the defaults, lists it after the bank and applies it.
    host_run b;
    ASSERT_TRUE(b.start());
    Window wb = embedded_window(b);
    ASSERT_NE(wb, 0u);
    XMoveWindow(d, b.window, 0, 420);
    XSync(d, False);
    settle(wb);
    menu.count = factory_bank_size + 1;
    ASSERT_EQ(run_xdotool(center_of(wb, layout.preset_name) + " click 1"), 0);
    usleep(200000);
    // Taller than the window allows: the wheel scrolls it to its end, where the
    // user's group is.
    const view_rect panel = view_menu_panel(&layout, &menu, &menu.scroll);
    ASSERT_GT(menu.scroll, 0);
    ASSERT_EQ(run_xdotool(center_of(wb, panel) + " click 5 click 5"), 0);
    usleep(200000);
    ASSERT_EQ(run_xdotool(center_of(wb, view_menu_item(&layout, &menu, factory_bank_size)) + " click 1"), 0);
    EXPECT_EQ(b.lines_until("endEdit Bypass"), preset_gestures(factory_bank[0].values, saved_values));

    close_window(a);
    close_window(b);
    EXPECT_EQ(a.wait_exit(), 0);
    EXPECT_EQ(b.wait_exit(), 0);
    system(("rm -rf '" + data_home + "/.vst3'").c_str());
}

TEST_F(MiddlemanInHost, EndsOnSigtermAndWhenTheHostDies)
{
    {
        host_run host;
        ASSERT_TRUE(host.start());
        ASSERT_NE(embedded_window(host), 0u);
        pid_t program = program_pid(host);
        ASSERT_GT(program, 0);
        auto t0 = clock_type::now();
        kill(program, SIGTERM);
        // It has ended once it is a zombie waiting for the plug-in's waitpid.
        bool ended = wait_ended(program, 2000);
        long ms = ms_since(t0);
        RecordProperty("sigterm_exit_ms", (int)ms);
        EXPECT_TRUE(ended);
        EXPECT_LT(ms, 500) << "a fraction of a second";
        // The view stays attached but inert until the window closes.
        close_window(host);
        EXPECT_EQ(host.wait_exit(), 0);
    }
    {
        // A host that dies closes the WebSocket and the side channel under the
        // program: it must not stay behind.
        std::set<std::string> dirs = socket_dirs();
        host_run host;
        ASSERT_TRUE(host.start());
        ASSERT_NE(embedded_window(host), 0u);
        pid_t program = program_pid(host);
        ASSERT_GT(program, 0);
        std::set<std::string> left = socket_dirs();
        kill(host.pid, SIGKILL);
        waitpid(host.pid, nullptr, 0);
        host.pid = -1;
        auto t0 = clock_type::now();
        // Orphaned, it is reaped by whoever adopts it; a zombie has ended.
        EXPECT_TRUE(wait_ended(program, 2000)) << "a stray program";
        RecordProperty("host_killed_exit_ms", (int)ms_since(t0));
        // The dead host could not clean up after itself; the test does.
        for (const std::string& dir : left)
            if (!dirs.count(dir)) {
                unlink(("/tmp/" + dir + "/s").c_str());
                rmdir(("/tmp/" + dir).c_str());
            }
    }
}

TEST_F(MiddlemanInHost, FiftyEditorsLeaveNothingBehind)
{
    unsigned windows = child_count(d, DefaultRootWindow(d));
    for (int run = 0; run < 50; run++) {
        host_run host;
        ASSERT_TRUE(host.start()) << run;
        Window w = embedded_window(host);
        ASSERT_NE(w, 0u) << run;
        pid_t program = program_pid(host);
        ASSERT_GT(program, 0) << run;
        // This editor's own socket directory, from its command line (port, socket
        // path, resources): other test programs may make theirs in /tmp meanwhile.
        std::string socket_dir = side_channel_dir(program);
        ASSERT_EQ(socket_dir.rfind("/tmp/wexa-", 0), 0u) << socket_dir;
        // Use it: a wheel notch on Mix is one gesture.
        ASSERT_EQ(run_xdotool(at(w, layout.knobs[3].cx, layout.knobs[3].cy) + " click 5"), 0);
        EXPECT_EQ(last_of(host.lines_until("endEdit")), "endEdit Mix") << run;
        close_window(host);
        ASSERT_EQ(host.wait_exit(), 0) << run;
        ASSERT_NE(kill(program, 0), 0) << run;
        struct stat st;
        ASSERT_NE(stat(socket_dir.c_str(), &st), 0) << run << " " << socket_dir;
    }
    XSync(d, False);
    EXPECT_EQ(child_count(d, DefaultRootWindow(d)), windows);
}

// Debian's valgrind on the host through a whole editor session: open, a drag on Drive, the
// news exchange (the program's start-up texts, and the last values stored when the gesture
// ends) and close. No memory error, nothing definitely or indirectly lost.
TEST_F(MiddlemanInHost, AnEditorSessionUnderValgrindHasNoErrorAndLeaksNothing)
{
    SKIP_WHERE_VALGRIND_CANNOT_RUN();
    ASSERT_EQ(system("valgrind --version >/dev/null 2>&1"), 0) << "no valgrind (scripts/install-deps.sh installs it)";
    const std::string log = data_home + "/valgrind-edit.log";
    host_run host;
    host.wrapper = valgrind_command(log);
    ASSERT_TRUE(host.start());
    Window w = embedded_window(host);
    ASSERT_NE(w, 0u) << "the program's window is not inside the host's";
    const auto& k = layout.knobs[0];
    ASSERT_EQ(run_xdotool(at(w, k.cx, k.cy) + " mousedown 1 sleep 0.05 " + at(w, k.cx, k.cy - 25) +
                          " sleep 0.05 " + at(w, k.cx, k.cy - 50) + " sleep 0.1 mouseup 1"),
              0);
    auto lines = host.lines_until("endEdit", 15000);
    EXPECT_EQ(last_of(lines), "endEdit Drive");
    // 50 pixels over a 250-pixel travel: Drive 50 -> 70; Tone as it started.
    EXPECT_TRUE(wait_for_latest(data_home, 0, 70.0f, 1, 50.0f)) << "the gesture's values never reached the store";
    close_window(host);
    EXPECT_EQ(host.line(30000), "editor closed");
    EXPECT_EQ(host.wait_exit(60000), 0) << "99: valgrind found something";
    EXPECT_EQ(valgrind_findings(log), "");
}

// The normalized value of a parameter in a saved state chunk, read back through the
// bundle's own controller; -1 when the chunk does not load.
double normalized_in_state(const std::string& path, const char* name)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    plugin_module module;
    host_application app;
    plugin_instance inst;
    std::string error;
    double value = -1.0;
    vst3::ParameterInfo info;
    if (plugin_module_open(&module, VGS_BUNDLE_DIR, &error)) {
        host_application_init(&app);
        if (plugin_instance_create(module, &app, &inst, &error) && plugin_instance_load_state(&inst, chunk, &error) &&
            plugin_find_parameter(&inst, name, &info))
            value = inst.controller->vtbl->getParamNormalized(inst.controller, info.id);
        plugin_instance_destroy(&inst);
    }
    plugin_module_close(&module);
    return value;
}

bool any_edit_among(const std::vector<std::string>& lines)
{
    for (const std::string& l : lines)
        if (l.rfind("beginEdit", 0) == 0 || l.rfind("performEdit", 0) == 0 || l.rfind("endEdit", 0) == 0)
            return true;
    return false;
}

// The host's own automation (`edit --at`): setParamNormalized redraws the knob in the
// embedded window, the component receives the value, and the editor does not send it
// back as an edit of its own.
TEST_F(MiddlemanInHost, EditCommandAutomationRedrawsTheKnobWithoutEchoingAnEdit)
{
    char state_path[] = "/tmp/mmauto-XXXXXX";
    int fd = mkstemp(state_path);
    ASSERT_GE(fd, 0);
    close(fd);
    host_run host;
    // Late enough to capture the settled window before it plays.
    ASSERT_TRUE(host.start({"--at", "3.0:Drive=90", "--save-state", state_path}));
    Window w = embedded_window(host);
    ASSERT_NE(w, 0u);
    capture before = settle(w);
    ASSERT_EQ(host.line(50), "") << "something was printed before the automation played";

    auto lines = host.lines_until("automation", 8000);
    // 90 on Drive's 0 … 100 range.
    std::vector<std::string> want = {"automation Drive 0.9"};
    ASSERT_EQ(lines, want);
    // The value reaches the program on the plug-in's next 20 ms tick.
    const auto& k0 = layout.knobs[0].area;
    capture after = settle_changed(w, before, k0);
    EXPECT_GT(capture_diff(before, after, (int)k0.x, (int)k0.y, (int)k0.w, (int)k0.h), 200);
    expect_only_drive_moved(before, after);

    close_window(host);
    lines = host.lines_until("editor closed");
    EXPECT_FALSE(any_edit_among(lines)) << "the automation came back as an edit: " << lines.front();
    EXPECT_EQ(last_of(lines), "editor closed");
    EXPECT_EQ(host.wait_exit(), 0);
    // The component took the value in a process call: its saved chunk holds it.
    EXPECT_NEAR(normalized_in_state(state_path, "Drive"), 0.9, 1e-6);
    unlink(state_path);
}

TEST_F(MiddlemanInHost, EditCommandRefusesAutomationItCannotPlay)
{
    // Malformed options exit with 2 as usage errors do; an unknown name or a value
    // outside the range with 1 once the plug-in is asked. No window opens either way.
    const struct {
        const char* option;
        int status;
    } cases[] = {{"-1:Drive=3", 2}, {"1:Drive", 2}, {"x:Drive=3", 2}, {"1:Nope=3", 1}, {"1:Drive=300", 1}};
    for (const auto& c : cases) {
        host_run host;
        ASSERT_FALSE(host.start({"--at", c.option})) << c.option;
        EXPECT_EQ(host.wait_exit(), c.status) << c.option;
    }
}

// The bundle loaded in this process, as a DAW loads it, so that the test plays the
// host's automation with setParamNormalized and loads states with setComponentState.
TEST_F(MiddlemanInHost, HostAutomationAndStateLoadsMoveTheKnobs)
{
    plugin_module module;
    host_application app;
    plugin_instance inst;
    std::string error;
    ASSERT_TRUE(plugin_module_open(&module, VGS_BUNDLE_DIR, &error)) << error;
    host_application_init(&app);
    ASSERT_TRUE(plugin_instance_create(module, &app, &inst, &error)) << error;
    std::vector<uint8_t> defaults;
    ASSERT_TRUE(plugin_instance_save_state(&inst, &defaults));
    vst3::IEditController* ec = inst.controller;
    vst3::IPlugView* view = ec->vtbl->createView(ec, "editor");
    ASSERT_NE(view, nullptr);
    Window host_window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 800, 400, 0, 0, 0);
    XMapWindow(d, host_window);
    XSync(d, False);
    edit_frame frame;
    edit_frame_init(&frame, d, host_window);
    ASSERT_EQ(view->vtbl->setFrame(view, &frame.frame_iface), vst3::kResultOk);
    ASSERT_EQ(view->vtbl->attached(view, (void*)(uintptr_t)host_window, "X11EmbedWindowID"),
              vst3::kResultOk);

    // The plug-in's 20 ms timer moves the messages and embeds the window.
    auto run_for = [&](int ms) {
        auto t0 = clock_type::now();
        while (ms_since(t0) < ms) {
            edit_frame_run_timers(&frame, edit_now());
            usleep(5000);
        }
    };
    auto settled = [&](Window w) { return capture_when_still(d, w, 40, [&] { run_for(60); }); };
    Window program = 0;
    for (int i = 0; i < 200 && !program; i++) {
        run_for(20);
        Window container = only_child(d, host_window);
        program = container ? only_child(d, container) : 0;
    }
    ASSERT_NE(program, 0u);
    capture before = settled(program);

    vst3::ParameterInfo drive;
    ASSERT_TRUE(plugin_find_parameter(&inst, "Drive", &drive));
    ec->vtbl->setParamNormalized(ec, drive.id, 1.0);
    const auto& k0 = layout.knobs[0].area;
    // The program redraws in its own time: wait (bounded) for the picture to change as
    // expected, however loaded the machine is, then for the window to settle.
    auto until = [&](const std::function<bool(const capture&)>& done) {
        for (int i = 0; i < 150 && !done(capture_window(d, program)); i++)
            run_for(20);
        return settled(program);
    };
    capture automated = until([&](const capture& c) {
        return capture_diff(before, c, (int)k0.x, (int)k0.y, (int)k0.w, (int)k0.h) > 0;
    });
    EXPECT_GT(capture_diff(before, automated, (int)k0.x, (int)k0.y, (int)k0.w, (int)k0.h), 200);
    expect_only_drive_moved(before, automated);

    // Loading the defaults back puts every control where it was.
    ASSERT_TRUE(plugin_instance_load_state(&inst, defaults, &error)) << error;
    EXPECT_EQ(capture_diff(before, until([&](const capture& c) { return capture_diff(before, c, 0, 0, 800, 400) == 0; }),
                           0, 0, 800, 400),
              0);

    view->vtbl->removed(view);
    view->vtbl->setFrame(view, nullptr);
    view->vtbl->release(view);
    XDestroyWindow(d, host_window);
    XSync(d, False);
    plugin_instance_destroy(&inst);
    plugin_module_close(&module);
}

} // namespace

#endif
