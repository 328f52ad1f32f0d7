// The plug-in's own editor in Debian's Ardour 7.3 with its whole graphical interface,
// under Xvfb and a real window manager, on the Dummy audio backend. A session with two
// instances of the plug-in on a track is made headless; then, as a user would: the
// first instance's editor is opened from the mixer strip (a double-click on its entry,
// so Ardour's own plug-in window, socket and IPlugFrame are used), a knob is dragged and
// the session saved, Ardour's own reset moves the knob back, the second instance's
// editor is opened and the instance removed, and Ardour quits with the first editor
// still open.
//
// Windows are found by name and by their place in the window tree, the strip's entries
// by colour in a capture of Ardour's window; nothing is clicked at a fixed place on the
// screen.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ardour_gui.h"
#include "daw_workspace.h"
#include "editor_view.h"
#include "preset/factory_bank.h"
#include "session_xml.h"
#include "support/processes.h"
#include "support/window_manager.h"
#include "support/x_windows.h"
#include "support/xvfb_server.h"

namespace {

using clock_type = std::chrono::steady_clock;

const int sample_rate = 48000;
const char* const snapshot = "gui";
// Ardour's main window at the left of the screen, the plug-in windows moved beside it:
// nothing covers what the test clicks or reads.
const int screen_width = 2240, screen_height = 1100;
// Ardour's plug-in window names the track, the plug-in and its vendor.
const char* const plugin_window_suffix = "Vellum Grist Saturator (by Tresk.Sonwave) [VST3]";
// The reset button ("Reset all parameters to default") in the toolbar of Ardour's
// plug-in window, that many pixels left of the window's right edge.
const int reset_from_right = 116;

double seconds_since(clock_type::time_point t)
{
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

// The editor programs running in a process group.
std::set<pid_t> editor_programs(pid_t group)
{
    std::set<pid_t> out;
    for (const proc_entry& p : processes_named("middleman"))
        if (p.pgid == group && p.state != 'Z')
            out.insert(p.pid);
    return out;
}

// Polls for a program of the group that is not among `known`.
pid_t wait_new_program(pid_t group, const std::set<pid_t>& known, int timeout_ms)
{
    const auto t0 = clock_type::now();
    while (seconds_since(t0) * 1000 < timeout_ms) {
        for (pid_t p : editor_programs(group))
            if (!known.count(p))
                return p;
        usleep(20000);
    }
    return -1;
}

// What Ardour saved for a parameter of the n-th instance on the track: its own control
// ("Controllable") and the plug-in's port value, keyed "control" and "port".
std::map<std::string, double> saved_values(const std::string& xml, int instance, const std::string& name, int port_index)
{
    std::map<std::string, double> out;
    const std::string processor = plugin_processor_element(xml, instance);
    const size_t control = processor.find("<Controllable name=\"" + name + "\"");
    if (control != std::string::npos) {
        auto a = element_attributes(processor.substr(control), "Controllable");
        if (a.count("value"))
            out["control"] = atof(a["value"].c_str());
    }
    size_t port = processor.find("<Port ");
    for (int i = 0; i < port_index && port != std::string::npos; i++)
        port = processor.find("<Port ", port + 1);
    if (port != std::string::npos) {
        auto a = element_attributes(processor.substr(port), "Port");
        if (a.count("value"))
            out["port"] = atof(a["value"].c_str());
    }
    return out;
}

// Polls until nothing is at `path`; false when something still is after the time.
bool wait_gone(const std::string& path, double seconds)
{
    struct stat st;
    const auto t0 = clock_type::now();
    while (stat(path.c_str(), &st) == 0 && seconds_since(t0) < seconds)
        usleep(10000);
    return stat(path.c_str(), &st) != 0;
}

// The window with the X keyboard focus (None or PointerRoot when no window has it).
Window input_focus(Display* d)
{
    Window w = None;
    int revert;
    XGetInputFocus(d, &w, &revert);
    return w;
}

bool is_below(Display* d, Window top, Window w)
{
    for (Window c : descendants(d, top))
        if (c == w)
            return true;
    return false;
}

// Polls `done` every 20 ms for up to `timeout_ms`.
bool wait_until(const std::function<bool()>& done, int timeout_ms)
{
    const auto t0 = clock_type::now();
    while (!done()) {
        if (seconds_since(t0) * 1000 > timeout_ms)
            return false;
        usleep(20000);
    }
    return true;
}

long modified_ns(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec : 0;
}

class ArdourGui : public ::testing::Test {
protected:
    xvfb_server xvfb;
    window_manager wm;
    daw_workspace ws;
    ardour_gui ardour;
    Display* d = nullptr;
    Window main_window = 0;
    int plugin_window_x = 0;
    std::string session_file;
    std::vector<std::pair<std::string, double>> steps;
    clock_type::time_point started = clock_type::now();

    void SetUp() override
    {
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        ASSERT_TRUE(xvfb.start(screen_width, screen_height)) << "Xvfb did not start";
        ASSERT_TRUE(wm.start(xvfb.display())) << "openbox did not start (scripts/install-deps.sh installs it)";
        d = XOpenDisplay(xvfb.display().c_str());
        ASSERT_NE(d, nullptr);
    }

    void TearDown() override
    {
        for (const auto& [name, seconds] : steps)
            printf("  %-34s %6.2f s\n", name.c_str(), seconds);
        printf("  %-34s %6.2f s\n", "in all", seconds_since(started));
        for (const std::string& crash : ws.crashes)
            printf("  a headless DAW tool crashed or hung and was run again: %s\n", crash.c_str());
        if (HasFailure() && d) {
            // What the screen showed when it went wrong, for whoever reads the log.
            capture c = capture_window(d, DefaultRootWindow(d));
            // Beside the work folder, which the next run empties.
            const std::string png = std::string(ARDOUR_GUI_WORK_DIR) + "-failure.png";
            if (capture_write_png(c, png))
                printf("  the screen at the failure: %s\n  Ardour's output: %s\n", png.c_str(), ardour.log.c_str());
        }
        if (d)
            XCloseDisplay(d);
        // A failed run leaves nothing behind either.
        ardour.kill_all();
        for (const std::string& dir : socket_dirs) {
            unlink((dir + "/s").c_str());
            rmdir(dir.c_str());
        }
    }

    void step(const std::string& name, clock_type::time_point since) { steps.push_back({name, seconds_since(since)}); }

    // Waits until the window's pixels stop changing.
    capture settle(Window w) { return capture_when_still(d, w, 60, [] { usleep(60000); }); }

    // Saves with Ardour's own shortcut for Session > Save and returns the saved session.
    std::string save_session()
    {
        const long before = modified_ns(session_file);
        EXPECT_EQ(xdotool("windowactivate --sync " + std::to_string(main_window) + " key --clearmodifiers ctrl+s"), 0);
        const auto t0 = clock_type::now();
        while (modified_ns(session_file) == before && seconds_since(t0) < 15)
            usleep(50000);
        EXPECT_NE(modified_ns(session_file), before) << "Session > Save wrote nothing";
        // The file is renamed into place whole; read it once the rename is done.
        usleep(200000);
        return read_text_file(session_file);
    }

    // Ardour's control and the plug-in's port value, as saved, for the first instance's
    // parameter `title` (port `port`) hold `value` after `what`. The plug-in hands the
    // editor's messages to Ardour on its 20 ms timer, which a loaded machine delays: a
    // save that came first is made again (three at the most).
    void expect_saved(const std::string& title, int port, double value, const std::string& what)
    {
        std::map<std::string, double> saved;
        for (int i = 0; i < 3 && std::fabs(saved["control"] - value) > 1e-3; i++)
            saved = saved_values(save_session(), 0, title, port);
        EXPECT_NEAR(saved["control"], value, 1e-3) << "Ardour's control did not take " << what;
        EXPECT_NEAR(saved["port"], value, 1e-3) << "the saved port value did not take " << what;
    }

    // The mixer strip's plug-in entries once there are `count` of them at the same places
    // in two captures a fifth of a second apart (the strip is laid out while the session
    // loads); fewer when that does not happen within the time.
    std::vector<strip_entry> settled_entries(size_t count, int timeout_ms)
    {
        std::vector<strip_entry> last;
        const auto t0 = clock_type::now();
        while (seconds_since(t0) * 1000 < timeout_ms) {
            std::vector<strip_entry> now = find_plugin_entries(capture_window(d, main_window));
            if (now.size() == count && now == last)
                return now;
            last = now;
            usleep(200000);
        }
        return {};
    }

    // Double-clicks a plug-in entry and waits for what that opens: Ardour's plug-in
    // window (one not among `known`), the editor program and its window inside. Ardour
    // ignores a double-click that comes while it is busy, so a double-click that opened
    // no window within five seconds is made again, at most three times.
    struct opened_editor {
        Window plugin_window = 0;
        pid_t program = -1;
        std::string socket_dir;
        Window window = 0; // the editor program's
        int double_clicks = 0;
    };
    void open_from_mixer(const strip_entry& e, const std::vector<Window>& known, opened_editor* out)
    {
        while (out->double_clicks < 3 && !out->plugin_window) {
            out->double_clicks++;
            ASSERT_EQ(xdotool(pointer_to(main_window, e.cx(), e.cy()) + " click --repeat 2 --delay 80 1"), 0);
            out->plugin_window = wait_named_window(d, plugin_window_suffix, true, known, 5000);
        }
        ASSERT_NE(out->plugin_window, 0u) << "Ardour's plug-in window did not open";
        out->program = wait_new_program(ardour.pid, programs, 20000);
        ASSERT_GT(out->program, 0) << "no editor program started";
        programs.insert(out->program);
        out->socket_dir = side_channel_dir(out->program);
        ASSERT_EQ(out->socket_dir.rfind("/tmp/wexa-", 0), 0u) << out->socket_dir;
        socket_dirs.push_back(out->socket_dir);
        for (int i = 0; i < 200 && !out->window; i++, usleep(50000))
            out->window = find_class_below(d, out->plugin_window, "middleman");
        ASSERT_NE(out->window, 0u) << "the editor program's window is not inside Ardour's plug-in window";
    }
    // Every editor program seen, and its socket directory.
    std::set<pid_t> programs;
    std::vector<std::string> socket_dirs;

    static std::string clicks(const opened_editor& e)
    {
        return e.double_clicks > 1 ? " (" + std::to_string(e.double_clicks) + " double-clicks)" : "";
    }

    // Has the window manager move a top-level window (its frame's corner to x, y) and
    // waits until the window has left where it was.
    void move_to(Window w, int x, int y)
    {
        const auto before = root_position(d, w);
        ASSERT_EQ(xdotool("windowmove --sync " + std::to_string(w) + " " + std::to_string(x) + " " + std::to_string(y)), 0);
        const auto t0 = clock_type::now();
        while (root_position(d, w) == before && std::make_pair(x, y) != before && seconds_since(t0) < 5)
            usleep(20000);
        const auto [at_x, at_y] = root_position(d, w);
        // The frame's border and title bar lie between the corner and the window.
        ASSERT_TRUE(at_x >= x && at_x <= x + 40 && at_y >= y && at_y <= y + 60)
            << "window at " << at_x << "," << at_y << " instead of " << x << "," << y;
    }
};

TEST_F(ArdourGui, EditorOpensFromTheMixerEditsBothWaysAndLeavesNothing)
{
    auto t0 = clock_type::now();
    std::string failed = daw_prepare(&ws, ARDOUR_GUI_WORK_DIR);
    ASSERT_EQ(failed, "");
    const std::string session_dir = ws.work + "/session";
    process_result created = daw_create_session(&ws, session_dir, snapshot, sample_rate, {"instances=2"});
    ASSERT_TRUE(daw_script_finished(created)) << created.output;
    session_file = session_dir + "/" + snapshot + ".ardour";
    ASSERT_TRUE(ardour_seed_config(ws.work + "/config", sample_rate));
    ASSERT_TRUE(ardour_seed_session_view(session_dir));
    step("scan and session made headless", t0);

    t0 = clock_type::now();
    ASSERT_TRUE(ardour.start(session_file, ws.env, ws.work + "/logs/ardour.log"));
    main_window = wait_named_window(d, std::string(snapshot) + " - Ardour", false, {}, 90000);
    ASSERT_NE(main_window, 0u) << "Ardour's main window did not open";
    // At the top left, with room for the plug-in windows at its right.
    move_to(main_window, 0, 0);
    plugin_window_x = root_position(d, main_window).first + size_of(d, main_window).first + 20;
    ASSERT_LE(plugin_window_x + 810, screen_width) << "no room for the plug-in windows beside Ardour's";
    // The mixer shows the strip once the session is loaded. The entries stay where they
    // are (a selected one changes its colour).
    const std::vector<strip_entry> entries = settled_entries(2, 30000);
    ASSERT_EQ(entries.size(), 2u) << "the mixer strip does not show the two instances";
    step("Ardour up, mixer shown", t0);

    // First instance: a double-click on its entry opens its own editor in Ardour's
    // plug-in window. A client watching the root window sees the editor program's window
    // from its creation to its embedding.
    t0 = clock_type::now();
    Display* watch = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(watch, nullptr);
    XSelectInput(watch, DefaultRootWindow(watch), SubstructureNotifyMask);
    XSync(watch, False);
    opened_editor a;
    open_from_mixer(entries[0], {}, &a);
    if (HasFatalFailure())
        return;
    const Window plugin_a = a.plugin_window, editor_a = a.window;
    step("editor opened from the mixer" + clicks(a), t0);

    // Its parents from creation on: the root, then the plug-in's container; never a
    // window manager's frame.
    const Window container = parent_of(d, editor_a);
    const Window socket = parent_of(d, container);
    XSync(watch, False);
    std::vector<Window> parents;
    while (XPending(watch) > 0) {
        XEvent e;
        XNextEvent(watch, &e);
        if (e.type == CreateNotify && e.xcreatewindow.window == editor_a)
            parents.push_back(e.xcreatewindow.parent);
        else if (e.type == ReparentNotify && e.xreparent.window == editor_a)
            parents.push_back(e.xreparent.parent);
    }
    XCloseDisplay(watch);
    std::vector<Window> want_parents = {DefaultRootWindow(d), container};
    EXPECT_EQ(parents, want_parents) << "the editor program's window went through another parent";

    // Inside Ardour's socket, at the socket's size, which is the view's 800 x 400 below
    // the window's toolbar.
    move_to(plugin_a, plugin_window_x, 40);
    bool socket_in_plugin_window = false;
    for (Window w : descendants(d, plugin_a))
        socket_in_plugin_window |= w == socket;
    EXPECT_TRUE(socket_in_plugin_window);
    EXPECT_EQ(size_of(d, socket), std::make_pair(800, 400));
    EXPECT_EQ(size_of(d, container), size_of(d, socket));
    EXPECT_EQ(size_of(d, editor_a), size_of(d, socket));
    const auto [plugin_w, plugin_h] = size_of(d, plugin_a);
    const int toolbar = plugin_h - 400;
    EXPECT_EQ(plugin_w, 800);
    EXPECT_GT(toolbar, 0);

    // Drawn: the knobs, texts and bands of the editor, not an empty window.
    ASSERT_EQ(xdotool(pointer_to(main_window, 5, 5)), 0);
    const capture first = settle(editor_a);
    ASSERT_EQ(first.width, 800);
    std::map<uint32_t, long> colours;
    for (uint32_t p : first.pixels)
        colours[p]++;
    long most = 0;
    for (const auto& [colour, n] : colours)
        most = std::max(most, n);
    EXPECT_GT(colours.size(), 500u) << "the editor looks blank";
    EXPECT_LT(most, (long)first.pixels.size() / 2) << "one colour covers most of the editor";

    // A drag on Drive: 100 pixels up over the knob's 250-pixel travel, 50 -> 90, which
    // Ardour saves as its control's value and the plug-in's port value.
    t0 = clock_type::now();
    view_layout layout;
    view_layout_compute(&layout, 800, 400);
    const auto& drive = layout.knobs[0];
    std::string drag = pointer_to(editor_a, (int)drive.cx, (int)drive.cy) + " mousedown 1";
    for (int i = 1; i <= 10; i++)
        drag += " sleep 0.03 " + pointer_to(editor_a, (int)drive.cx, (int)drive.cy - 10 * i);
    ASSERT_EQ(xdotool(drag + " sleep 0.05 mouseup 1"), 0);
    ASSERT_EQ(xdotool(pointer_to(main_window, 5, 5)), 0);
    const capture dragged = settle(editor_a);
    const view_rect& k = drive.area;
    EXPECT_GT(capture_diff(first, dragged, (int)k.x, (int)k.y, (int)k.w, (int)k.h), 200) << "the knob did not move";
    expect_saved("Drive", 0, 90.0, "the drag");
    step("drag saved by Ardour", t0);

    // Ardour's side: its reset button sets every parameter to its default through the
    // controller, and the editor's knob goes back to where it was.
    t0 = clock_type::now();
    ASSERT_EQ(xdotool(pointer_to(plugin_a, plugin_w - reset_from_right, toolbar / 2) + " click 1"), 0);
    capture reset = settle(editor_a);
    for (int i = 0; i < 50 && capture_diff(first, reset, (int)k.x, (int)k.y, (int)k.w, (int)k.h) != 0; i++)
        reset = settle(editor_a);
    EXPECT_EQ(capture_diff(first, reset, (int)k.x, (int)k.y, (int)k.w, (int)k.h), 0)
        << "Ardour's reset did not move the knob back";
    step("Ardour's reset shown in the editor", t0);

    // A value typed into the editor, coming from Ardour's main window as a user would:
    // the click on Tone's value box makes the window manager hand the plug-in window
    // the focus, and the editor takes the keyboard focus from it; the keys typed then
    // reach the editor, not Ardour's shortcuts, and Enter gives the focus back to
    // Ardour's plug-in window. Ardour saves the value.
    t0 = clock_type::now();
    ASSERT_EQ(xdotool("windowactivate --sync " + std::to_string(main_window)), 0);
    const Window main_focus = input_focus(d);
    EXPECT_TRUE(main_focus == main_window || is_below(d, main_window, main_focus));
    const view_rect& tone_box = layout.value_boxes[1];
    ASSERT_EQ(xdotool(pointer_to(editor_a, (int)(tone_box.x + tone_box.w / 2), (int)(tone_box.y + tone_box.h / 2)) +
                      " click 1"),
              0);
    EXPECT_TRUE(wait_until([&] { return input_focus(d) == editor_a; }, 3000))
        << "the editor did not take the keyboard focus; it is at " << input_focus(d);
    // Held while the user types, whatever Ardour and the window manager did about the click.
    usleep(300000);
    EXPECT_EQ(input_focus(d), editor_a) << "the keyboard focus was taken back while typing";
    ASSERT_EQ(xdotool("type --delay 60 25.5"), 0);
    ASSERT_EQ(xdotool("key Return"), 0);
    EXPECT_TRUE(wait_until([&] { return input_focus(d) != editor_a; }, 3000)) << "the editor kept the focus";
    const Window given_back = input_focus(d);
    EXPECT_TRUE(given_back != editor_a && (given_back == plugin_a || is_below(d, plugin_a, given_back)))
        << "the focus went to " << given_back << ", not back to Ardour's plug-in window";
    expect_saved("Tone", 1, 25.5, "the typed value");
    step("typed value saved by Ardour", t0);

    // A preset chosen in the editor's menu ("Crunch", fourth in the factory bank): all
    // six values reach the saved session.
    t0 = clock_type::now();
    const view_rect& name_box = layout.preset_name;
    ASSERT_EQ(xdotool(pointer_to(editor_a, (int)(name_box.x + name_box.w / 2), (int)(name_box.y + name_box.h / 2)) +
                      " click 1"),
              0);
    const int crunch = 3;
    ASSERT_STREQ(factory_bank[crunch].name, "Crunch");
    const view_menu menu = {nullptr, factory_bank_size, factory_bank_size, 0, -1, 0};
    const view_rect item = view_menu_item(&layout, &menu, crunch);
    // The menu opens on the next redraw; the click on its item waits for it.
    usleep(300000);
    ASSERT_EQ(xdotool(pointer_to(editor_a, (int)(item.x + item.w / 2), (int)(item.y + item.h / 2)) + " click 1"), 0);
    const char* const titles[] = {"Drive", "Tone", "Heat", "Mix", "Volume", "Bypass"};
    std::string xml;
    bool all = false;
    for (int i = 0; i < 3 && !all; i++) {
        xml = save_session();
        all = true;
        for (int p = 0; p < 6; p++)
            all &= std::fabs(saved_values(xml, 0, titles[p], p)["control"] - factory_bank[crunch].values[p]) < 1e-3;
    }
    for (int p = 0; p < 6; p++) {
        std::map<std::string, double> v = saved_values(xml, 0, titles[p], p);
        EXPECT_NEAR(v["control"], factory_bank[crunch].values[p], 1e-3) << titles[p] << ": Ardour's control";
        EXPECT_NEAR(v["port"], factory_bank[crunch].values[p], 1e-3) << titles[p] << ": the saved port value";
    }
    step("preset chosen in the editor saved", t0);

    // Second instance: its editor opens beside the first, and removing the instance
    // (Shift and a right click on its entry) ends its program within two seconds and
    // removes its socket directory; the first editor stays.
    t0 = clock_type::now();
    opened_editor b;
    open_from_mixer(entries[1], {plugin_a}, &b);
    if (HasFatalFailure())
        return;
    move_to(b.plugin_window, plugin_window_x, 40);
    const auto removed_at = clock_type::now();
    ASSERT_EQ(xdotool(pointer_to(main_window, entries[1].cx(), entries[1].cy()) +
                      " keydown Shift_L click 3 keyup Shift_L"),
              0);
    const bool ended_b = wait_ended(b.program, 5000);
    const double end_b = seconds_since(removed_at);
    EXPECT_TRUE(ended_b) << "the editor program outlived its removed instance";
    EXPECT_LT(end_b, 2.0) << "the editor program took " << end_b << " s to end";
    RecordProperty("removed_editor_end_ms", (int)(end_b * 1000));
    // The plug-in removes the directory once it has reaped the program.
    EXPECT_TRUE(wait_gone(b.socket_dir, 2.0 - seconds_since(removed_at))) << b.socket_dir << " left behind";
    EXPECT_EQ(kill(a.program, 0), 0) << "the first editor ended with the second";
    step("second instance opened and removed" + clicks(b), t0);
    steps.push_back({"  its editor program ended after", end_b});

    // Quit with the first editor still open: Ardour ends, and nothing of its process
    // group nor any socket directory stays.
    t0 = clock_type::now();
    const pid_t group = ardour.pid;
    save_session();
    ASSERT_EQ(xdotool("windowactivate --sync " + std::to_string(main_window) + " key --clearmodifiers ctrl+q"), 0);
    EXPECT_TRUE(ardour.wait_exit(30.0)) << "Ardour did not quit";
    EXPECT_TRUE(wait_ended(a.program, 2000)) << "the editor program outlived Ardour";
    EXPECT_TRUE(wait_gone(a.socket_dir, 0)) << a.socket_dir << " left behind";
    EXPECT_TRUE(kill(-group, 0) != 0 && errno == ESRCH) << "a process of Ardour's group is left";
    step("quit", t0);
}

} // namespace
