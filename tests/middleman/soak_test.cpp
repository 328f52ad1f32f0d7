// The soak: one host process (this test program, with the built bundle loaded through the
// host's own loader and the edit command's frame and run loop) opens, embeds and closes
// the real editor 100 times under a private Xvfb. Afterwards its descriptors and threads
// are back at their count after the first cycle, its resident memory has grown by less
// than 2 MB, and no editor program, window or socket directory is left. (Under
// AddressSanitizer it runs without the quarantine, which would keep every freed block.)
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "edit_frame.h"
#include "plugin_loader.h"
#include "support/processes.h"
#include "support/x_windows.h"
#include "support/xvfb_server.h"

namespace {

constexpr int cycles = 100;
constexpr long rss_growth_limit = 2L * 1024 * 1024;

size_t entries_in(const char* dir)
{
    size_t count = 0;
    DIR* d = opendir(dir);
    while (dirent* e = d ? readdir(d) : nullptr)
        count += e->d_name[0] != '.';
    if (d)
        closedir(d);
    return count;
}

struct host_counts {
    size_t descriptors;
    size_t threads;
    long resident_bytes;
};

host_counts counts_now()
{
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%*s %ld", &pages) != 1)
            pages = 0;
        fclose(statm);
    }
    return {entries_in("/proc/self/fd"), entries_in("/proc/self/task"), pages * sysconf(_SC_PAGESIZE)};
}

// This process's running editor programs.
std::vector<pid_t> own_programs()
{
    std::vector<pid_t> out;
    for (const proc_entry& p : processes_named("middleman"))
        if (p.ppid == getpid() && p.state != 'Z')
            out.push_back(p.pid);
    return out;
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(xvfb.start());
        char dir[] = "/tmp/soak-data-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        data_home = dir;
        setenv("XDG_DATA_HOME", dir, 1);
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        d = XOpenDisplay(xvfb.display().c_str());
        ASSERT_NE(d, nullptr);
        std::string error;
        ASSERT_TRUE(plugin_module_open(&module, VGS_BUNDLE_DIR, &error)) << error;
        host_application_init(&app);
        ASSERT_TRUE(plugin_instance_create(module, &app, &inst, &error)) << error;
        host_window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 800, 400, 0, 0, 0);
        XMapWindow(d, host_window);
        XSync(d, False);
        edit_frame_init(&frame, d, host_window);
    }
    void TearDown() override
    {
        plugin_instance_destroy(&inst);
        plugin_module_close(&module);
        if (d)
            XCloseDisplay(d);
        xvfb.stop();
        system(("rm -rf '" + data_home + "'").c_str());
        unsetenv("XDG_DATA_HOME");
    }

    // One editor's life as a DAW drives it: createView, setFrame, attached, the run
    // loop's timer until the program's window is embedded and shown, removed, release.
    // The program and its socket directory are recorded while it runs.
    void cycle(int n)
    {
        SCOPED_TRACE("cycle " + std::to_string(n));
        vst3::IEditController* ec = inst.controller;
        vst3::IPlugView* view = ec->vtbl->createView(ec, "editor");
        ASSERT_NE(view, nullptr);
        ASSERT_EQ(view->vtbl->setFrame(view, &frame.frame_iface), vst3::kResultOk);
        ASSERT_EQ(view->vtbl->attached(view, (void*)(uintptr_t)host_window, "X11EmbedWindowID"),
                  vst3::kResultOk);
        std::vector<pid_t> running = own_programs();
        ASSERT_EQ(running.size(), 1u);
        programs.push_back(running[0]);
        socket_dirs.push_back(side_channel_dir(running[0]));
        bool embedded = false;
        const auto start = std::chrono::steady_clock::now();
        while (!embedded && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
            edit_frame_run_timers(&frame, edit_now());
            usleep(5000);
            Window container = only_child(d, host_window);
            Window program = container ? only_child(d, container) : 0;
            XWindowAttributes a;
            embedded = program && XGetWindowAttributes(d, program, &a) && a.map_state == IsViewable;
        }
        EXPECT_TRUE(embedded) << "the program's window was not embedded";
        EXPECT_EQ(view->vtbl->removed(view), vst3::kResultOk);
        view->vtbl->setFrame(view, nullptr);
        EXPECT_EQ(view->vtbl->release(view), 0u);
        EXPECT_TRUE(frame.timers.empty()) << "the timer is still registered";
    }

    xvfb_server xvfb;
    std::string data_home;
    Display* d = nullptr;
    plugin_module module;
    host_application app;
    plugin_instance inst;
    Window host_window = 0;
    edit_frame frame;
    std::vector<pid_t> programs;
    std::vector<std::string> socket_dirs;
};

TEST_F(Soak, AHundredEditorsInOneHostLeaveNothingBehind)
{
    const unsigned top_level_windows = child_count(d, DefaultRootWindow(d));
    cycle(1);
    ASSERT_FALSE(HasFailure());
    const host_counts first = counts_now();
    for (int n = 2; n <= cycles && !HasFatalFailure(); n++)
        cycle(n);
    const host_counts last = counts_now();
    RecordProperty("resident_growth_bytes", std::to_string(last.resident_bytes - first.resident_bytes));
    printf("after cycle 1: %zu descriptors, %zu threads, %ld KiB resident; after cycle %d: %zu, %zu, %ld KiB\n",
           first.descriptors, first.threads, first.resident_bytes / 1024, cycles, last.descriptors, last.threads,
           last.resident_bytes / 1024);

    EXPECT_EQ(last.descriptors, first.descriptors);
    EXPECT_EQ(last.threads, first.threads);
    EXPECT_LT(last.resident_bytes - first.resident_bytes, rss_growth_limit);
    EXPECT_EQ(programs.size(), (size_t)cycles);
    EXPECT_TRUE(own_programs().empty());
    for (pid_t program : programs)
        EXPECT_TRUE(wait_ended(program, 0)) << "program " << program << " is still running";
    for (const std::string& dir : socket_dirs) {
        struct stat st;
        EXPECT_EQ(dir.rfind("/tmp/wexa-", 0), 0u) << dir;
        EXPECT_NE(stat(dir.c_str(), &st), 0) << dir << " is left";
    }
    XSync(d, False);
    EXPECT_EQ(child_count(d, host_window), 0u) << "a container window is left";
    EXPECT_EQ(child_count(d, DefaultRootWindow(d)), top_level_windows) << "a program's window is left";
}

}  // namespace
