// Test support for the editor under a real X server: an Xvfb of the test's own, the
// control socket through which the stand-in editor program hands over its
// connections, a host frame with a run loop, and a component handler that records.
// The X window helpers come with it.
#pragma once

// gtest before Xlib: Xlib's macros (None, Bool) would break gtest's templates.
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/x_windows.h"
#include "support/xvfb_server.h"
#include "vst3/vst3_interfaces.h"
#include "ws_peer.h"

// What the stand-in program hands over once both of its connections are up.
struct handoff {
    pid_t pid = -1;
    std::vector<std::string> argv;
    std::string status_line;
    // Lines the program added after the status line, each ending in a line feed.
    std::string notes;
    int side = -1;
    int ws = -1;
    void close_all();
};

// The Unix socket the stand-in program connects to (VGS_DOUBLE_CONTROL).
class control_socket {
public:
    bool open();
    ~control_socket();
    // Waits up to timeout_ms for the next program's hand-over.
    bool receive(handoff* out, int timeout_ms = 5000);

private:
    std::string dir_;
    int listener_ = -1;
};

// Text messages from the plug-in (unmasked server frames), gathered across reads.
class ws_inbox {
public:
    explicit ws_inbox(int fd) : fd_(fd) {}
    // Messages that arrived within wait_ms of silence.
    std::vector<std::string> take(int wait_ms = 100);
    // Waits until `count` messages have arrived (up to timeout_ms) and returns them.
    std::vector<std::string> take_count(size_t count, int timeout_ms = 3000);

private:
    int fd_;
    bytes pending_;
    std::vector<std::string> parse();
};

// A host frame that is also its run loop, as many hosts make it. Counts references
// and keeps the timer the view registers.
struct host_frame {
    vst3::IPlugFrame frame_iface;
    vst3::IRunLoop run_loop_iface;
    int ref_count = 1;
    vst3::ITimerHandler* timer = nullptr;
    vst3::TimerInterval interval = 0;
    int registrations = 0;
    int unregistrations = 0;
    bool refuse_timer = false;
    // A frame that offers no IRunLoop.
    bool refuse_run_loop = false;
    // A run loop that takes a reference to each timer it registers and gives back those
    // of unregistered timers only on its next round (tick), as some hosts' loops do.
    bool holds_timers = false;
    std::vector<vst3::ITimerHandler*> held;
    host_frame();
    vst3::IPlugFrame* frame() { return &frame_iface; }
    void tick();
};

// Runs body in a forked child after the heap's recently freed blocks of every small size
// have been handed out again and overwritten, as a busy host's allocations would; true
// when the child ended normally. A call that touches memory freed too early crashes
// there instead of passing by luck.
bool survives_reuse_of_freed_memory(const std::function<void()>& body);

// The plug-in's parameter message for a value: "s %08x %08x", index and float bits.
std::string value_message(int index, float value);

// Records the host calls an editor's edits make: "begin <id>", "perform <id> <value>",
// "end <id>".
struct recording_handler {
    vst3::IComponentHandler iface;
    int ref_count = 1;
    std::vector<std::string> calls;
    recording_handler();
};

// The /tmp/wexa-* directories the code under test made in this process since the last
// call (the test program wraps mkdtemp), oldest first.
std::vector<std::string> take_made_dirs();
// Process ids of this process's children (any state, zombies included).
std::set<pid_t> child_pids();
// Whether a process with that id still exists (zombies count).
bool process_exists(pid_t pid);

// Collects what the code under test writes to standard error.
class stderr_capture {
public:
    stderr_capture();
    ~stderr_capture();
    std::string text();

private:
    int saved_ = -1;
    int pipe_[2] = {-1, -1};
    std::string text_;
    bool done_ = false;
};

// A suite with an X server of its own, started once for the suite, and for each test
// the stand-in program's control socket, a connection to the display, a mapped host
// window to embed into and the children already running. A suite that adds to SetUp
// calls this one first and stops on its fatal failures.
class x_server_suite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(server.start()); }
    static void TearDownTestSuite() { server.stop(); }
    void SetUp() override
    {
        ASSERT_TRUE(control.open());
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
        host_window = mapped_window(display, 640, 480);
        children_before = child_pids();
    }
    void TearDown() override
    {
        if (display)
            XCloseDisplay(display);
    }

    static inline xvfb_server server;
    control_socket control;
    Display* display = nullptr;
    Window host_window = 0;
    std::set<pid_t> children_before;
};
