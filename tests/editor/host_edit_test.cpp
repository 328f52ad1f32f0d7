// The host's `edit` command end to end: the built host loads a bundle holding the
// plug-in and the stand-in editor program, opens its window, and edits made in the
// editor reach the component through the host's component handler and its process
// calls, as in a DAW; closing the window takes everything down.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "controller/param_table.h"
#include "editor_fixture.h"
#include "state/state_archive.h"

namespace {

// Runs `vgs-host edit` with its standard output on a pipe.
class host_process {
public:
    bool start(const std::vector<std::string>& args)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) < 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            std::vector<char*> argv{(char*)VGS_HOST_PROGRAM, (char*)"edit"};
            for (const std::string& a : args)
                argv.push_back((char*)a.c_str());
            argv.push_back(nullptr);
            execv(VGS_HOST_PROGRAM, argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
        return pid_ > 0;
    }
    // The next line of output, or "" after timeout_ms or at the end.
    std::string line(int timeout_ms = 10000)
    {
        for (int waited = 0;; waited += 20) {
            size_t feed = buffer_.find('\n');
            if (feed != std::string::npos) {
                std::string l = buffer_.substr(0, feed);
                buffer_.erase(0, feed + 1);
                return l;
            }
            if (waited >= timeout_ms)
                return "";
            pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                char chunk[256];
                ssize_t n = read(out_, chunk, sizeof chunk);
                if (n <= 0)
                    return "";
                buffer_.append(chunk, (size_t)n);
            }
        }
    }
    // The exit status, or -1 when the host is still running after timeout_ms.
    int wait_exit(int timeout_ms = 10000)
    {
        for (int waited = 0; waited < timeout_ms; waited += 20) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(20000);
        }
        return -1;
    }
    ~host_process()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

template <typename F>
bool eventually(F condition, int timeout_ms = 3000)
{
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        if (condition())
            return true;
        usleep(20000);
    }
    return condition();
}

class HostEdit : public x_server_suite {
protected:
    void SetUp() override
    {
        x_server_suite::SetUp();
        if (HasFatalFailure())
            return;
        char dir[] = "/tmp/editor-host-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        work_dir = dir;
        state_path = work_dir + "/state";
    }
    void TearDown() override
    {
        unlink(state_path.c_str());
        rmdir(work_dir.c_str());
        x_server_suite::TearDown();
    }
    // Starts the host and takes the program's hand-over; fills the host window.
    void start_host(host_process* host, handoff* h)
    {
        ASSERT_TRUE(host->start({EDITOR_TEST_BUNDLE, "--save-state", state_path}));
        std::string attached = host->line(15000);
        ASSERT_EQ(attached.rfind("editor attached to window 0x", 0), 0u) << attached;
        host_window = strtoul(attached.c_str() + strlen("editor attached to window "), nullptr, 16);
        ASSERT_TRUE(control.receive(h, 10000));
    }

    std::string work_dir, state_path;
};

struct saved_values {
    float values[param_count] = {};
};

bool read_saved_values(const std::string& path, saved_values* out)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    state_sink sink = {};
    sink.context = out;
    sink.lock = [](void*) {};
    sink.unlock = [](void*) {};
    sink.set_value = [](void* context, int index, float value) { ((saved_values*)context)->values[index] = value; };
    return !chunk.empty() && load_state(&sink, chunk.data(), chunk.size()) == 0;
}

TEST_F(HostEdit, EditsReachTheComponentAndClosingTheWindowEndsAll)
{
    host_process host;
    handoff h;
    start_host(&host, &h);
    EXPECT_EQ(h.argv[0], "middleman");
    EXPECT_EQ(h.argv[3], std::string(EDITOR_TEST_BUNDLE) + "/Contents/Resources");

    // The window is the view's default size, holding the container.
    EXPECT_EQ(size_of(display, host_window), std::make_pair(800, 400));
    Window container = only_child(display, host_window);
    ASSERT_NE(container, 0u);
    ws_inbox inbox(h.ws);
    EXPECT_EQ(inbox.take_count(6).size(), 6u);

    Window program = mapped_window(display, 200, 100);
    std::string report = "w " + std::to_string(program);
    ASSERT_EQ(write(h.side, report.data(), report.size()), (ssize_t)report.size());
    EXPECT_TRUE(eventually([&] { return parent_of(display, program) == container; }));

    // A gesture on Drive up to 100 (42c80000), normalized 1.
    bytes gesture = client_text("b 0 42c80000");
    bytes end = client_text("e 0 42c80000");
    gesture.insert(gesture.end(), end.begin(), end.end());
    write_all(h.ws, gesture);
    EXPECT_EQ(host.line(), "beginEdit Drive");
    EXPECT_EQ(host.line(), "performEdit Drive 1");
    EXPECT_EQ(host.line(), "performEdit Drive 1");
    EXPECT_EQ(host.line(), "endEdit Drive");
    // The host echoes each value to the controller, which shows it in the editor.
    EXPECT_EQ(inbox.take_count(2), (std::vector<std::string>{"s 00000000 42c80000", "s 00000000 42c80000"}));

    // The window grows: the view is told, the container and the program follow.
    XResizeWindow(display, host_window, 900, 500);
    XSync(display, False);
    EXPECT_TRUE(eventually([&] { return size_of(display, program) == std::make_pair(900, 500); }));
    EXPECT_EQ(size_of(display, container), std::make_pair(900, 500));

    // Closing as a window manager does.
    close_window(display, host_window);
    EXPECT_EQ(host.line(), "editor closed");
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_FALSE(process_exists(h.pid));
    EXPECT_NE(access(h.argv[2].substr(0, h.argv[2].size() - 2).c_str(), F_OK), 0);
    EXPECT_EQ(parent_of(display, host_window), 0u) << "the host window is gone";

    // The component processed the edit: its saved state holds Drive 100.
    saved_values saved;
    ASSERT_TRUE(read_saved_values(state_path, &saved));
    EXPECT_EQ(saved.values[param_drive], 100.0f);
    for (int i = 1; i < param_count; i++)
        EXPECT_EQ(saved.values[i], (float)param_range_table[i].default_plain) << i;
    h.close_all();
}

TEST_F(HostEdit, AWindowDestroyedUnderTheEditorEndsTheHostCleanly)
{
    host_process host;
    handoff h;
    start_host(&host, &h);
    // Destroying the host's window takes the container with it; the editor's later
    // requests on it fail without ending the host.
    XDestroyWindow(display, host_window);
    XSync(display, False);
    EXPECT_EQ(host.line(), "editor closed");
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_FALSE(process_exists(h.pid));
    EXPECT_NE(access(h.argv[2].c_str(), F_OK), 0);
    h.close_all();
}

}  // namespace
