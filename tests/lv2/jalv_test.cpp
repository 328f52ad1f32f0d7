// The LV2 editor in jalv (Debian's jalv.gtk3, a JACK client): under a private Xvfb with
// openbox and a private JACK server with the dummy driver, the plug-in's editor opens embedded in
// jalv's window showing the value jalv gave the port, follows jalv's window size, a drag
// changes the port value jalv saves, the gesture's end reaches the shared store, and
// closing jalv ends `middleman`.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "editor_model.h"
#include "editor_view.h"
#include "processes.h"
#include "run_process.h"
#include "x_windows.h"
#include "window_manager.h"
#include "xvfb_server.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) { return std::chrono::duration<double>(clock_type::now() - t0).count(); }

// A program beside the test (start_process), ended with its whole group at the latest
// when the test is done.
struct child {
    pid_t pid = -1;
    std::string log;
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& path)
    {
        log = path;
        return (pid = start_process(argv, env, log)) > 0;
    }
    // Its exit, waited for at most `seconds` (then it is ended).
    process_result wait_exit(double seconds)
    {
        process_result r = wait_process(pid, log, seconds);
        pid = -1;
        return r;
    }
    ~child()
    {
        if (pid > 0) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The first window below `top` that `match` accepts, or 0.
template <typename F>
Window find_window(Display* d, Window top, const F& match)
{
    for (Window w : descendants(d, top))
        if (match(w))
            return w;
    return 0;
}

// The outermost of jalv's own windows that hold `w` (a window manager's frame, if one
// runs, lies above it), or 0 when no window of jalv holds it.
Window jalv_window_of(Display* d, Window w)
{
    const Window root = DefaultRootWindow(d);
    Window found = 0;
    for (Window p = parent_of(d, w); p && p != root; p = parent_of(d, p))
        if (class_of(d, p) == "Jalv.gtk3")
            found = p;
    return found;
}

// jalv's saved state: "lv2:symbol "x" ; pset:value v" pairs.
std::map<std::string, double> saved_ports(const std::string& ttl)
{
    std::map<std::string, double> values;
    for (size_t at = 0; (at = ttl.find("lv2:symbol \"", at)) != std::string::npos; at++) {
        const size_t start = at + 12, end = ttl.find('"', start);
        const size_t v = ttl.find("pset:value", end);
        if (end == std::string::npos || v == std::string::npos)
            break;
        values[ttl.substr(start, end - start)] = atof(ttl.c_str() + v + 10);
    }
    return values;
}

int xdotool(const std::string& display, const std::string& args)
{
    return system(("DISPLAY=" + display + " xdotool " + args + " >/dev/null 2>&1").c_str());
}

TEST(jalv, opens_the_editor_embedded_a_drag_moves_the_port_and_closing_ends_middleman)
{
    for (const char* program : {"/usr/bin/jalv.gtk3", "/usr/bin/jackd", "/usr/bin/jack_wait", "/usr/bin/xdotool"})
        ASSERT_EQ(access(program, X_OK), 0) << "missing program " << program
                                            << " (scripts/install-deps.sh installs jalv, jackd2 and xdotool)";
    const std::string work = LV2_TEST_WORK_DIR "/jalv";
    fs::remove_all(work);
    for (const char* sub : {"", "/lv2", "/home", "/data", "/config"})
        fs::create_directories(work + sub);
    fs::create_directory_symlink(VGS_LV2_BUNDLE_DIR, work + "/lv2/Vellum Grist Saturator.lv2");

    xvfb_server xvfb;
    ASSERT_TRUE(xvfb.start());
    const std::string display = xvfb.display();
    // A desktop's window manager frames jalv's window and its dialog, as a user sees them.
    window_manager wm;
    ASSERT_TRUE(wm.start(display)) << "openbox did not start (scripts/install-deps.sh installs it)";
    // A JACK server of this test's own (named after its process), so parallel runs and a
    // user's server are left alone.
    const std::string server = "vgs-lv2-" + std::to_string(getpid());
    const std::vector<std::string> env = {
        "DISPLAY=" + display, "JACK_DEFAULT_SERVER=" + server, "JACK_NO_AUDIO_RESERVATION=1",
        "LV2_PATH=" + work + "/lv2:/usr/lib/lv2", "HOME=" + work + "/home", "XDG_DATA_HOME=" + work + "/data",
        "XDG_CONFIG_HOME=" + work + "/config", "NO_AT_BRIDGE=1"};
    child jackd;
    ASSERT_TRUE(jackd.start({"jackd", "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"}, env,
                            work + "/jackd.log"));
    ASSERT_EQ(run_process({"jack_wait", "-w", "-t", "10"}, env, work + "/jack_wait.log", 20).exit_code, 0)
        << read_file(work + "/jackd.log");

    // jalv gives the Drive port 73.5 before the editor opens; port_event brings it there.
    child jalv;
    ASSERT_TRUE(jalv.start({"jalv.gtk3", "-c", "drive=73.5", VGS_LV2_URI}, env, work + "/jalv.log"));

    Display* d = XOpenDisplay(display.c_str());
    ASSERT_NE(d, nullptr);
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    Window editor = 0;
    for (auto t0 = clock_type::now(); !editor && seconds_since(t0) < 20; usleep(50000)) {
        Window w = find_window(d, DefaultRootWindow(d), [&](Window c) { return class_of(d, c) == "middleman"; });
        XWindowAttributes a;
        // Embedded: inside a window of jalv's, and shown.
        if (w && jalv_window_of(d, w) && XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable)
            editor = w;
    }
    ASSERT_NE(editor, 0u) << "no middleman window inside jalv's window\n" << read_file(work + "/jalv.log");
    const Window top = jalv_window_of(d, editor);
    std::vector<pid_t> programs;
    for (const proc_entry& p : processes_named("middleman"))
        if (p.ppid == jalv.pid && p.state != 'Z')
            programs.push_back(p.pid);
    ASSERT_EQ(programs.size(), 1u) << "jalv runs one middleman";
    EXPECT_EQ(size_of(d, editor), std::make_pair(800, 400));

    // jalv's window made larger: the container and the editor follow within a few ticks.
    ASSERT_EQ(xdotool(display, "windowsize " + std::to_string(top) + " 900 500"), 0);
    std::pair<int, int> followed;
    for (auto t0 = clock_type::now(); seconds_since(t0) < 5; usleep(50000))
        if ((followed = size_of(d, editor)).first == 900)
            break;
    EXPECT_EQ(followed.first, 900);
    EXPECT_GT(followed.second, 400);

    // Drag Drive up from the value jalv gave it: 60 pixels, in steps.
    view_layout layout;
    view_layout_compute(&layout, followed.first, followed.second);
    const auto& k = layout.knobs[0];
    const auto at = [&](double x, double y) {
        return "mousemove --window " + std::to_string(editor) + " " + std::to_string((int)x) + " " +
               std::to_string((int)y);
    };
    std::string drag = at(k.cx, k.cy) + " mousedown 1";
    for (int i = 1; i <= 5; i++)
        drag += " sleep 0.05 " + at(k.cx, k.cy - 12 * i);
    ASSERT_EQ(xdotool(display, drag + " sleep 0.1 mouseup 1"), 0);
    usleep(500000);

    // What jalv holds now, through its own File > Save As: the port values and the
    // plug-in's chunk in state.ttl.
    const std::string saved = work + "/saved";
    // The menu bar sits at the top left of jalv's window: File, then its first entry.
    ASSERT_EQ(xdotool(display, "mousemove --window " + std::to_string(top) +
                                   " 20 12 click 1 sleep 0.5 key Down sleep 0.2 key Return"),
              0);
    Window dialog = 0;
    for (auto t0 = clock_type::now(); !dialog && seconds_since(t0) < 10; usleep(100000))
        dialog = find_window(d, DefaultRootWindow(d), [&](Window c) { return name_of(d, c) == "Save State"; });
    ASSERT_NE(dialog, 0u) << "jalv's Save State dialog did not open";
    usleep(300000);
    // "type" takes the rest of its command line as text: the key press is a call of its own.
    ASSERT_EQ(xdotool(display, "type --delay 5 '" + saved + "'"), 0);
    usleep(500000);
    ASSERT_EQ(xdotool(display, "key Return"), 0);
    for (auto t0 = clock_type::now(); !fs::exists(saved + "/state.ttl") && seconds_since(t0) < 5;)
        usleep(100000);
    if (!fs::exists(saved + "/state.ttl")) {
        // A completion popup took the Return: press the dialog's Save button.
        const auto [w, h] = size_of(d, dialog);
        xdotool(display, "mousemove --window " + std::to_string(dialog) + " " + std::to_string(w - 50) + " " +
                             std::to_string(h - 25) + " click 1");
        for (auto t0 = clock_type::now(); !fs::exists(saved + "/state.ttl") && seconds_since(t0) < 5;)
            usleep(100000);
    }
    const std::map<std::string, double> ports = saved_ports(read_file(saved + "/state.ttl"));
    ASSERT_EQ(ports.size(), 6u) << read_file(saved + "/state.ttl");
    // The drag started where port_event had put the knob (73.5), not at the default, and
    // moved it by the editor's own law for 60 pixels.
    EXPECT_NEAR(ports.at("drive"), 73.5 + 60.0 * 100.0 / model_drag_pixels, 1e-3);
    EXPECT_LE(ports.at("drive"), 100.0);
    EXPECT_EQ(ports.at("tone"), 50.0);
    EXPECT_EQ(ports.at("mix"), 100.0);
    EXPECT_EQ(ports.at("volume"), 100.0);
    EXPECT_EQ(ports.at("bypass"), 0.0);
    EXPECT_NE(read_file(saved + "/state.ttl").find(VGS_LV2_URI "#chunk"), std::string::npos);

    // The gesture's end went to the store shared by every instance of both formats.
    bool latest = false;
    for (const auto& e : fs::recursive_directory_iterator(work + "/data"))
        latest = latest || e.path().filename() == "latest";
    EXPECT_TRUE(latest) << "no \"latest\" file in the shared store";

    // Closing jalv's window ends jalv, and with its editor `middleman`.
    close_window(d, top);
    const pid_t program = programs[0];
    const process_result closed = jalv.wait_exit(20);
    EXPECT_EQ(closed.exit_code, 0) << closed.output;
    EXPECT_TRUE(wait_ended(program, 5000)) << "middleman still runs after jalv closed";
    XCloseDisplay(d);
    kill(-jackd.pid, SIGTERM);
    jackd.wait_exit(10);
}

}  // namespace
