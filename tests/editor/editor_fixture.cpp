#include "editor_fixture.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

using namespace vst3;

// ---- the stand-in program's hand-over ----

void handoff::close_all()
{
    if (side >= 0)
        close(side);
    if (ws >= 0)
        close(ws);
    side = ws = -1;
}

bool control_socket::open()
{
    char dir[] = "/tmp/editor-test-XXXXXX";
    if (!mkdtemp(dir))
        return false;
    dir_ = dir;
    std::string path = dir_ + "/control";
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (listener_ < 0 || bind(listener_, (sockaddr*)&address, sizeof address) < 0 ||
        listen(listener_, 8) < 0)
        return false;
    setenv("VGS_DOUBLE_CONTROL", path.c_str(), 1);
    return true;
}

control_socket::~control_socket()
{
    if (listener_ >= 0)
        close(listener_);
    if (!dir_.empty()) {
        unlink((dir_ + "/control").c_str());
        rmdir(dir_.c_str());
    }
    unsetenv("VGS_DOUBLE_CONTROL");
}

bool control_socket::receive(handoff* out, int timeout_ms)
{
    pollfd p = {listener_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0)
        return false;
    char text[4096];
    int fds[2] = {-1, -1};
    char space[CMSG_SPACE(sizeof fds)] = {};
    iovec io = {text, sizeof text - 1};
    msghdr message = {};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    ssize_t got = recvmsg(connection, &message, MSG_CMSG_CLOEXEC);
    close(connection);
    if (got <= 0)
        return false;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (!header || header->cmsg_type != SCM_RIGHTS)
        return false;
    memcpy(fds, CMSG_DATA(header), sizeof fds);
    text[got] = '\0';
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line))
        all.push_back(line);
    if (all.size() < 6)
        return false;
    out->pid = (pid_t)atoi(all[0].c_str());
    out->argv.assign(all.begin() + 1, all.begin() + 5);
    out->status_line = all[5];
    out->notes.clear();
    for (size_t i = 6; i < all.size(); i++)
        out->notes += all[i] + "\n";
    out->side = fds[0];
    out->ws = fds[1];
    return true;
}

// ---- server messages ----

std::vector<std::string> ws_inbox::parse()
{
    std::vector<std::string> out;
    for (;;) {
        if (pending_.size() < 2)
            break;
        uint64_t length = pending_[1] & 0x7F;
        size_t header = 2;
        if (length == 126) {
            if (pending_.size() < 4)
                break;
            length = (uint64_t)pending_[2] << 8 | pending_[3];
            header = 4;
        } else if (length == 127) {
            if (pending_.size() < 10)
                break;
            length = 0;
            for (int i = 2; i < 10; i++)
                length = length << 8 | pending_[i];
            header = 10;
        }
        if (pending_.size() < header + length)
            break;
        if (pending_[0] == 0x81)
            out.emplace_back(pending_.begin() + (long)header, pending_.begin() + (long)(header + length));
        else
            out.push_back("<frame " + std::to_string(pending_[0]) + ">");
        pending_.erase(pending_.begin(), pending_.begin() + (long)(header + length));
    }
    return out;
}

std::vector<std::string> ws_inbox::take(int wait_ms)
{
    bytes more = read_available(fd_, wait_ms);
    pending_.insert(pending_.end(), more.begin(), more.end());
    return parse();
}

std::vector<std::string> ws_inbox::take_count(size_t count, int timeout_ms)
{
    std::vector<std::string> out;
    for (int waited = 0; out.size() < count && waited < timeout_ms; waited += 20) {
        bytes more = read_available(fd_, 20);
        pending_.insert(pending_.end(), more.begin(), more.end());
        std::vector<std::string> got = parse();
        out.insert(out.end(), got.begin(), got.end());
    }
    return out;
}

// ---- host frame and run loop ----

static host_frame* frame_of(IPlugFrame* self) { return reinterpret_cast<host_frame*>(self); }
static host_frame* frame_of(IRunLoop* self)
{
    return reinterpret_cast<host_frame*>(reinterpret_cast<char*>(self) - offsetof(host_frame, run_loop_iface));
}

static tresult frame_query_common(host_frame* frame, const TUID iid, void** obj)
{
    if (memcmp(iid, IRunLoop_iid, sizeof(TUID)) == 0 && !frame->refuse_run_loop) {
        frame->ref_count++;
        *obj = &frame->run_loop_iface;
        return kResultOk;
    }
    if (memcmp(iid, IPlugFrame_iid, sizeof(TUID)) == 0 || memcmp(iid, FUnknown_iid, sizeof(TUID)) == 0) {
        frame->ref_count++;
        *obj = &frame->frame_iface;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

static const IPlugFrameVtbl host_frame_vtbl = {
    .queryInterface = [](IPlugFrame* self, const TUID iid, void** obj) {
        return frame_query_common(frame_of(self), iid, obj);
    },
    .addRef = [](IPlugFrame* self) -> uint32 { return (uint32) ++frame_of(self)->ref_count; },
    .release = [](IPlugFrame* self) -> uint32 { return (uint32) --frame_of(self)->ref_count; },
    .resizeView = [](IPlugFrame*, IPlugView*, ViewRect*) -> tresult { return kResultFalse; },
};

static const IRunLoopVtbl host_run_loop_vtbl = {
    .queryInterface = [](IRunLoop* self, const TUID iid, void** obj) {
        return frame_query_common(frame_of(self), iid, obj);
    },
    .addRef = [](IRunLoop* self) -> uint32 { return (uint32) ++frame_of(self)->ref_count; },
    .release = [](IRunLoop* self) -> uint32 { return (uint32) --frame_of(self)->ref_count; },
    .registerEventHandler = [](IRunLoop*, IEventHandler*, FileDescriptor) -> tresult { return kNotImplemented; },
    .unregisterEventHandler = [](IRunLoop*, IEventHandler*) -> tresult { return kNotImplemented; },
    .registerTimer = [](IRunLoop* self, ITimerHandler* handler, TimerInterval ms) -> tresult {
        host_frame* frame = frame_of(self);
        if (frame->refuse_timer)
            return kResultFalse;
        frame->timer = handler;
        frame->interval = ms;
        frame->registrations++;
        if (frame->holds_timers) {
            handler->vtbl->addRef(handler);
            frame->held.push_back(handler);
        }
        return kResultOk;
    },
    .unregisterTimer = [](IRunLoop* self, ITimerHandler* handler) -> tresult {
        host_frame* frame = frame_of(self);
        if (handler == frame->timer)
            frame->timer = nullptr;
        frame->unregistrations++;
        return kResultOk;
    },
};

host_frame::host_frame()
{
    frame_iface.vtbl = &host_frame_vtbl;
    run_loop_iface.vtbl = &host_run_loop_vtbl;
}

void host_frame::tick()
{
    std::vector<ITimerHandler*> still;
    for (ITimerHandler* handler : held) {
        if (handler == timer)
            still.push_back(handler);
        else
            handler->vtbl->release(handler);
    }
    held = still;
    if (timer)
        timer->vtbl->onTimer(timer);
}

bool survives_reuse_of_freed_memory(const std::function<void()>& body)
{
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        // Freed blocks are handed out again first for their own size: take several of
        // every size up to 1 KiB and fill them with a pattern that is no valid pointer.
        for (size_t size = 16; size <= 1024; size += 16)
            for (int i = 0; i < 8; i++)
                memset(malloc(size), 0xa5, size);
        body();
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- component handler ----

static recording_handler* handler_of(IComponentHandler* self) { return reinterpret_cast<recording_handler*>(self); }

static const IComponentHandlerVtbl recording_handler_vtbl = {
    .queryInterface = [](IComponentHandler* self, const TUID, void** obj) -> tresult {
        *obj = self;
        handler_of(self)->ref_count++;
        return kResultOk;
    },
    .addRef = [](IComponentHandler* self) -> uint32 { return (uint32) ++handler_of(self)->ref_count; },
    .release = [](IComponentHandler* self) -> uint32 { return (uint32) --handler_of(self)->ref_count; },
    .beginEdit = [](IComponentHandler* self, ParamID id) -> tresult {
        handler_of(self)->calls.push_back("begin " + std::to_string(id));
        return kResultOk;
    },
    .performEdit = [](IComponentHandler* self, ParamID id, ParamValue value) -> tresult {
        char text[64];
        snprintf(text, sizeof text, "perform %u %.17g", id, value);
        handler_of(self)->calls.push_back(text);
        return kResultOk;
    },
    .endEdit = [](IComponentHandler* self, ParamID id) -> tresult {
        handler_of(self)->calls.push_back("end " + std::to_string(id));
        return kResultOk;
    },
    .restartComponent = [](IComponentHandler*, int32) -> tresult { return kResultOk; },
};

recording_handler::recording_handler() { iface.vtbl = &recording_handler_vtbl; }

// ---- process and file checks ----

// Linked with --wrap=mkdtemp: every directory made in this process passes here, so
// a test knows the exact directory a start-up made, whatever else runs on the machine.
static std::vector<std::string> made_dirs;

extern "C" char* __real_mkdtemp(char* name_template);
extern "C" char* __wrap_mkdtemp(char* name_template)
{
    char* made = __real_mkdtemp(name_template);
    if (made && strncmp(made, "/tmp/wexa-", 10) == 0)
        made_dirs.push_back(made);
    return made;
}

std::vector<std::string> take_made_dirs()
{
    std::vector<std::string> out;
    out.swap(made_dirs);
    return out;
}

std::set<pid_t> child_pids()
{
    std::set<pid_t> out;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return out;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string path = std::string("/proc/self/task/") + entry->d_name + "/children";
        FILE* f = fopen(path.c_str(), "r");
        if (!f)
            continue;
        int pid;
        while (fscanf(f, "%d", &pid) == 1)
            out.insert(pid);
        fclose(f);
    }
    closedir(tasks);
    return out;
}

bool process_exists(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); }

// ---- standard error ----

stderr_capture::stderr_capture()
{
    fflush(stderr);
    if (pipe2(pipe_, O_CLOEXEC) < 0)
        return;
    fcntl(pipe_[0], F_SETFL, O_NONBLOCK);
    saved_ = dup(2);
    dup2(pipe_[1], 2);
}

std::string stderr_capture::text()
{
    if (!done_) {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        close(pipe_[1]);
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipe_[0], buffer, sizeof buffer)) > 0)
            text_.append(buffer, (size_t)n);
        close(pipe_[0]);
        done_ = true;
    }
    return text_;
}

stderr_capture::~stderr_capture() { text(); }

std::string value_message(int index, float value)
{
    char text[32];
    uint32_t bits;
    memcpy(&bits, &value, 4);
    snprintf(text, sizeof text, "s %08x %08x", index, bits);
    return text;
}
