// The editor link against the stand-in editor program under a real Xvfb: the exact
// command line, the loopback listener, the container window, and every failed
// start-up leaving nothing behind.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <regex>

#include "editor/editor_link.h"
#include "editor_fixture.h"

namespace {

std::string program_dir = EDITOR_TEST_DIR;
const char* module_dir_getter(void* context) { return ((std::string*)context)->c_str(); }
const char* resources_getter(void*) { return "/resources/for/test"; }

double seconds_since(const timespec& start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start.tv_sec) + (double)(now.tv_nsec - start.tv_nsec) * 1e-9;
}

class Link : public x_server_suite {
protected:
    void SetUp() override
    {
        x_server_suite::SetUp();
        if (HasFatalFailure())
            return;
        take_made_dirs();
        unsetenv("VGS_DOUBLE_MODE");
    }
    void TearDown() override
    {
        unsetenv("VGS_DOUBLE_MODE");
        x_server_suite::TearDown();
    }

    editor_link* start(const std::string* dir = &program_dir)
    {
        editor_link_config config = {};
        config.context = (void*)dir;
        config.get_module_dir = module_dir_getter;
        config.get_resources_dir = resources_getter;
        return editor_link_start(host_window, &config, nullptr, 800, 400, 6);
    }

    // A failed start prints exactly one line and leaves no child, socket or directory.
    void expect_failed_start(const char* mode, const char* message)
    {
        SCOPED_TRACE(mode);
        if (mode)
            setenv("VGS_DOUBLE_MODE", mode, 1);
        stderr_capture err;
        editor_link* link = start();
        EXPECT_EQ(link, nullptr);
        EXPECT_EQ(err.text(), message);
        expect_nothing_left();
    }

    // A start that waits the program's whole time-out and fails like any other: 101
    // waits of 100 ms, then the child gets SIGTERM and is waited for.
    void expect_timed_out_start(const char* mode)
    {
        timespec start_time;
        clock_gettime(CLOCK_MONOTONIC, &start_time);
        expect_failed_start(mode, "error wait\n");
        double waited = seconds_since(start_time);
        EXPECT_GT(waited, 10.0);
        EXPECT_LT(waited, 14.0);
    }

    void expect_nothing_left()
    {
        std::vector<std::string> dirs = take_made_dirs();
        EXPECT_EQ(dirs.size(), 1u);
        for (const std::string& dir : dirs)
            EXPECT_NE(access(dir.c_str(), F_OK), 0) << dir << " is left";
        EXPECT_EQ(child_pids(), children_before);
        EXPECT_EQ(child_count(display, host_window), 0u) << "no container window is left";
    }

};

TEST_F(Link, StartsTheProgramWithItsCommandLineAndMapsTheContainer)
{
    editor_link* link = start();
    ASSERT_NE(link, nullptr);
    handoff h;
    ASSERT_TRUE(control.receive(&h));

    ASSERT_EQ(h.argv.size(), 4u);
    EXPECT_EQ(h.argv[0], "middleman");
    EXPECT_TRUE(std::regex_match(h.argv[1], std::regex("[1-9][0-9]*")));
    EXPECT_TRUE(std::regex_match(h.argv[2], std::regex("/tmp/wexa-[A-Za-z0-9]{6}/s")));
    EXPECT_EQ(h.argv[3], "/resources/for/test");
    EXPECT_EQ(h.status_line, "HTTP/1.1 101 Switching Protocols");

    // The WebSocket listener is bound to the loopback address only: in /proc/net/tcp
    // a listening socket (state 0A) on 0100007F (127.0.0.1) with the program's port.
    char wanted[32];
    snprintf(wanted, sizeof wanted, "0100007F:%04X", (unsigned)atoi(h.argv[1].c_str()));
    FILE* tcp = fopen("/proc/net/tcp", "r");
    ASSERT_NE(tcp, nullptr);
    char line[512];
    bool loopback_listener = false, other_listener = false;
    snprintf(line, sizeof line, ":%04X", (unsigned)atoi(h.argv[1].c_str()));
    std::string port_suffix = line;
    while (fgets(line, sizeof line, tcp)) {
        char local[64], remote[64], state[8];
        if (sscanf(line, "%*s %63s %63s %7s", local, remote, state) != 3 || std::string(state) != "0A")
            continue;
        std::string address = local;
        if (address == wanted)
            loopback_listener = true;
        else if (address.size() > port_suffix.size() &&
                 address.compare(address.size() - port_suffix.size(), port_suffix.size(), port_suffix) == 0)
            other_listener = true;
    }
    fclose(tcp);
    EXPECT_TRUE(loopback_listener);
    EXPECT_FALSE(other_listener);

    // The container: the host window's only child, 800 x 400, mapped, declaring itself
    // to XEmbed hosts with version 0 and the mapped flag.
    Window container = editor_link_container(link);
    EXPECT_EQ(parent_of(display, container), host_window);
    EXPECT_EQ(size_of(display, container), std::make_pair(800, 400));
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(display, container, &attributes));
    EXPECT_EQ(attributes.map_state, IsViewable);
    // At (0, 0) without a border; only the link selects events on it, and just these.
    EXPECT_EQ(attributes.x, 0);
    EXPECT_EQ(attributes.y, 0);
    EXPECT_EQ(attributes.border_width, 0);
    EXPECT_EQ(attributes.all_event_masks, ExposureMask | StructureNotifyMask);
    // Size hints: a minimum size of 1 x 1 and nothing else.
    XSizeHints hints;
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(display, container, &hints, &supplied));
    EXPECT_EQ(hints.flags, PMinSize);
    EXPECT_EQ(hints.min_width, 1);
    EXPECT_EQ(hints.min_height, 1);
    Atom xembed = XInternAtom(display, "_XEMBED_INFO", False);
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    ASSERT_EQ(XGetWindowProperty(display, container, xembed, 0, 2, False, xembed, &type, &format,
                                 &items, &after, &data),
              Success);
    ASSERT_EQ(items, 2u);
    EXPECT_EQ(((long*)data)[0], 0);
    EXPECT_EQ(((long*)data)[1], 1);
    XFree(data);

    std::string socket_path = h.argv[2];
    std::string directory = socket_path.substr(0, socket_path.size() - 2);
    editor_link_free(link);
    EXPECT_FALSE(process_exists(h.pid));
    EXPECT_NE(access(socket_path.c_str(), F_OK), 0);
    EXPECT_NE(access(directory.c_str(), F_OK), 0);
    EXPECT_TRUE(peer_closed(h.ws)) << "the WebSocket is closed";
    EXPECT_TRUE(peer_closed(h.side)) << "the side channel is closed";
    expect_nothing_left();
    h.close_all();
}

TEST_F(Link, AProgramConnectingToTheWebSocketFirstIsServedAllTheSame)
{
    setenv("VGS_DOUBLE_MODE", "ws_first", 1);
    editor_link* link = start();
    ASSERT_NE(link, nullptr);
    handoff h;
    ASSERT_TRUE(control.receive(&h));
    EXPECT_EQ(h.status_line, "HTTP/1.1 101 Switching Protocols");
    editor_link_free(link);
    h.close_all();
    expect_nothing_left();
}

TEST_F(Link, OnlyTheStartedProgramIsTakenOnEitherChannel)
{
    // Another process gets to both sockets first, with a well-formed upgrade request:
    // both its connections are closed unanswered, and the program's own are served.
    setenv("VGS_DOUBLE_MODE", "usurped", 1);
    editor_link* link = start();
    ASSERT_NE(link, nullptr);
    handoff h;
    ASSERT_TRUE(control.receive(&h, 10000));
    EXPECT_EQ(h.status_line, "HTTP/1.1 101 Switching Protocols");
    EXPECT_EQ(h.notes, "other process: side closed, ws closed\n");

    // The WebSocket and the side channel the link kept are the program's.
    editor_link_send_param(link, 0, 50.0f);
    ws_inbox inbox(h.ws);
    EXPECT_EQ(inbox.take_count(1), std::vector<std::string>{"s 00000000 42480000"});
    Window program_window = mapped_window(display, 300, 200);
    std::string report = "w " + std::to_string(program_window);
    ASSERT_EQ(write(h.side, report.data(), report.size()), (ssize_t)report.size());
    for (int tick = 0; tick < 50 && parent_of(display, program_window) != editor_link_container(link); tick++) {
        usleep(20000);
        editor_link_pump(link);
    }
    EXPECT_EQ(parent_of(display, program_window), editor_link_container(link));

    editor_link_free(link);
    h.close_all();
    expect_nothing_left();
}

TEST_F(Link, TheSocketFileGoesOnceTheProgramHasConnected)
{
    // A host killed with the editor open cannot clean up: nothing may be left to clean.
    pid_t host = fork();
    if (host == 0) {
        editor_link* link = start();
        if (!link)
            _exit(1);
        pause();
    }
    handoff h;
    ASSERT_TRUE(control.receive(&h));
    std::string socket_path = h.argv[2];
    std::string directory = socket_path.substr(0, socket_path.size() - 2);
    EXPECT_NE(access(socket_path.c_str(), F_OK), 0) << "the socket file is gone while the editor runs";
    EXPECT_NE(access(directory.c_str(), F_OK), 0) << "and so is its directory";
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    EXPECT_NE(access(directory.c_str(), F_OK), 0) << "the killed host left its directory";
    h.close_all();
}

TEST_F(Link, AProgramSlowAtEveryStepHasOneBoundForTheWholeStart)
{
    // 3.5 s before the side channel, the WebSocket and the request: each step within
    // a bound of its own, 10.5 s in all. The start ends when 10.1 s have passed.
    timespec start_time;
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    expect_failed_start("slow", "error accept2\n");
    double waited = seconds_since(start_time);
    EXPECT_GT(waited, 9.8);
    EXPECT_LT(waited, 11.5);
}

TEST_F(Link, FailedStartsReportTheirStepAndLeaveNothing)
{
    expect_failed_start("exit1", "error waitpid\n");
    expect_failed_start("short_key", "error accept2\n");
    expect_failed_start("side_exit", "error child2\n");

    std::string nowhere = "/nonexistent/editor/dir";
    stderr_capture err;
    EXPECT_EQ(start(&nowhere), nullptr);
    EXPECT_EQ(err.text(), "error waitpid\n") << "a missing program ends with status 1";
    expect_nothing_left();
}

TEST_F(Link, RunningOutOfDescriptorsFailsAtTheFirstSocketThatCannotBeMade)
{
    // In a child process, with the descriptor limit set just above the descriptors in
    // use: with no room the WebSocket listener fails, with room for one the side
    // channel's socket does. Neither reaches the directory or the program.
    struct outcome {
        int limit_above_used;
        const char* message;
    };
    for (const outcome& o : {outcome{0, "error ws_server_init\n"}, outcome{1, "error socket\n"}}) {
        SCOPED_TRACE(o.message);
        int err[2];
        ASSERT_EQ(pipe(err), 0);
        pid_t child = fork();
        if (child == 0) {
            dup2(err[1], 2);
            close(err[0]);
            close(err[1]);
            int lowest_free = dup(0);
            close(lowest_free);
            rlimit limit;
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = (rlim_t)(lowest_free + o.limit_above_used);
            setrlimit(RLIMIT_NOFILE, &limit);
            editor_link* link = start();
            _exit(link == nullptr && take_made_dirs().empty() && child_pids().empty() ? 0 : 1);
        }
        close(err[1]);
        std::string text;
        char buffer[256];
        ssize_t n;
        while ((n = read(err[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, (size_t)n);
        close(err[0]);
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a link, a directory or a child was made";
        EXPECT_EQ(text, o.message);
    }
}

TEST_F(Link, NoXServerFailsAfterTheHandshake)
{
    std::string saved = getenv("DISPLAY");
    setenv("DISPLAY", ":4095", 1);
    expect_failed_start(nullptr, "error open_display\n");
    setenv("DISPLAY", saved.c_str(), 1);
    handoff h;
    if (control.receive(&h, 100))
        h.close_all();
}

TEST_F(Link, ASilentPeerFailsTheHandshakeInBoundedTime)
{
    timespec start_time;
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    expect_failed_start("silent", "error accept2\n");
    EXPECT_LT(seconds_since(start_time), 8.0);
}

TEST_F(Link, AProgramThatNeverOpensTheWebSocketTimesOut) { expect_timed_out_start("side_only"); }

// The side-channel wait is bounded like the WebSocket wait.
TEST_F(Link, AProgramThatNeverConnectsTimesOut) { expect_timed_out_start("absent"); }

// One of the signal masks or dispositions in /proc/<pid>/status ("SigBlk", "SigIgn").
uint64_t signal_set_of(pid_t pid, const std::string& field)
{
    FILE* status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!status)
        return ~0ull;
    char line[256];
    uint64_t bits = ~0ull;
    while (fgets(line, sizeof line, status))
        if (strncmp(line, (field + ":").c_str(), field.size() + 1) == 0)
            bits = strtoull(line + field.size() + 1, nullptr, 16);
    fclose(status);
    return bits;
}

TEST_F(Link, TheProgramInheritsNoBlockedOrIgnoredSignalFromTheHost)
{
    // Hosts block signals in the threads they start (here SIGHUP, SIGINT and SIGTERM:
    // SigBlk 0x4003) or set SIGTERM to be ignored. The stand-in program keeps the default
    // action, so whatever it inherits shows: it must start with nothing blocked or
    // ignored, and end on the SIGTERM of teardown rather than the SIGKILL 2 s later.
    const struct {
        const char* host;
        void (*before)();
        void (*after)();
    } hosts[] = {
        {"blocks SIGHUP, SIGINT and SIGTERM",
         [] {
             sigset_t set;
             sigemptyset(&set);
             for (int s : {SIGHUP, SIGINT, SIGTERM})
                 sigaddset(&set, s);
             pthread_sigmask(SIG_BLOCK, &set, nullptr);
         },
         [] {
             sigset_t none;
             sigemptyset(&none);
             pthread_sigmask(SIG_SETMASK, &none, nullptr);
         }},
        {"ignores SIGTERM", [] { signal(SIGTERM, SIG_IGN); }, [] { signal(SIGTERM, SIG_DFL); }},
    };
    for (const auto& host : hosts) {
        SCOPED_TRACE(host.host);
        host.before();
        editor_link* link = start();
        host.after();
        ASSERT_NE(link, nullptr);
        handoff h;
        ASSERT_TRUE(control.receive(&h));
        // The standard signals 1 to 31 (bits 0 to 30); 32 and 33 are the C library's own,
        // which it does not let a program change, and a shell may have left them ignored.
        EXPECT_EQ(signal_set_of(h.pid, "SigBlk") & 0x7fffffffu, 0u);
        EXPECT_EQ(signal_set_of(h.pid, "SigIgn") & 0x7fffffffu, 0u);
        timespec start_time;
        clock_gettime(CLOCK_MONOTONIC, &start_time);
        editor_link_free(link);
        EXPECT_LT(seconds_since(start_time), 1.0) << "the program did not obey SIGTERM";
        EXPECT_FALSE(process_exists(h.pid));
        h.close_all();
        expect_nothing_left();
    }
}

TEST_F(Link, TeardownKillsAChildThatIgnoresSigterm)
{
    setenv("VGS_DOUBLE_MODE", "stubborn", 1);
    editor_link* link = start();
    ASSERT_NE(link, nullptr);
    handoff h;
    ASSERT_TRUE(control.receive(&h));
    timespec start_time;
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    editor_link_free(link);
    double waited = seconds_since(start_time);
    // About 2 s of grace before SIGKILL.
    EXPECT_GT(waited, 1.5);
    EXPECT_LT(waited, 4.0);
    EXPECT_FALSE(process_exists(h.pid));
    h.close_all();
    expect_nothing_left();
}

}  // namespace
