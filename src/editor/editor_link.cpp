#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "editor/deadline.h"
#include "editor/editor_link_record.h"
#include "editor/peer_owner.h"
#include "editor/x11_error_trap.h"

namespace {

// The whole start-up (side channel, WebSocket connection, handshake) shares one bound,
// so a program slow at every step cannot hold the host longer than a program that never
// connects. Waits go in steps of 100 ms, checking on the child in between; a handshake
// request must come within 5 s of the connection and inside the bound.
constexpr int wait_step_ms = 100;
constexpr int64_t start_bound_ns = 10100 * 1000000LL;
constexpr int handshake_wait_ms = 5000;
// Teardown gives the child this long to obey SIGTERM before it is killed.
constexpr int child_exit_wait_ms = 2000;

void report(const char* step)
{
    // One line per failed step: "error <step>\n".
    char line[64];
    int length = snprintf(line, sizeof line, "error %s\n", step);
    fwrite(line, 1, (size_t)length, stderr);
}

// Whether the child has ended; a child reaped here (or by the host, which makes
// waitpid fail with ECHILD) is forgotten, so that no signal can reach a reused id.
bool child_ended(editor_link* link)
{
    if (link->child <= 0)
        return true;
    pid_t result = waitpid(link->child, nullptr, WNOHANG);
    if (result > 0 || (result < 0 && errno == ECHILD)) {
        link->child = 0;
        return true;
    }
    return false;
}

// SIGTERM, a bounded wait, then SIGKILL and a final wait: teardown never hangs on a
// child that ignores SIGTERM.
void end_child(editor_link* link)
{
    if (link->child <= 0)
        return;
    kill(link->child, SIGTERM);
    for (int waited = 0; waited < child_exit_wait_ms; waited += 10) {
        if (child_ended(link))
            return;
        usleep(10000);
    }
    if (child_ended(link))
        return;
    kill(link->child, SIGKILL);
    while (waitpid(link->child, nullptr, 0) < 0 && errno == EINTR) {
    }
    link->child = 0;
}

void close_fd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

void remove_side_path(editor_link* link)
{
    if (link->temp_dir[0] == '\0')
        return;
    unlink(link->side_address.sun_path);
    rmdir(link->temp_dir);
    link->temp_dir[0] = '\0';
}

editor_link* fail_start(editor_link* link, int* side_listener)
{
    if (link->reader.connection >= 0)
        close_fd(&link->reader.connection);
    close_fd(&link->side_channel);
    end_child(link);
    remove_side_path(link);
    close_fd(side_listener);
    close_fd(&link->ws_listener);
    free(link->param_mirror);
    free(link);
    return nullptr;
}

// poll that sees through signals the host may be handling meanwhile.
int poll_listener(int fd, int timeout_ms)
{
    struct pollfd waiting = {fd, POLLIN | POLLPRI, 0};
    int ready;
    do
        ready = poll(&waiting, 1, timeout_ms);
    while (ready < 0 && errno == EINTR);
    return ready;
}

// The report lines of one connection's wait: poll failed, child ended, bound reached,
// accept failed.
struct wait_steps {
    const char* poll;
    const char* child;
    const char* wait;
    const char* accept;
};

// Accepts the first connection on `listener` that comes from the child and closes any
// other (another process racing the child to the socket), until the deadline. The
// connection, or -1 after reporting the step that failed.
int accept_from_child(editor_link* link, int listener, bool (*from_child)(int, pid_t),
                      int64_t deadline_ns, const wait_steps* steps)
{
    for (;;) {
        int left = ms_until(deadline_ns);
        int ready = poll_listener(listener, left < wait_step_ms ? left : wait_step_ms);
        if (ready < 0) {
            report(steps->poll);
            return -1;
        }
        if (ready > 0) {
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0 && from_child(connection, link->child))
                return connection;
            if (connection >= 0) {
                close(connection);
            } else if (errno != ECONNABORTED && errno != EINTR && errno != EAGAIN) {
                report(steps->accept);
                return -1;
            }
        } else if (child_ended(link)) {
            report(steps->child);
            return -1;
        }
        if (ms_until(deadline_ns) == 0) {
            report(steps->wait);
            return -1;
        }
    }
}

int open_ws_listener(editor_link* link)
{
    // Loopback only: this channel edits parameters and writes the user's files, so it
    // must not be reachable from the network.
    link->ws_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (link->ws_listener < 0)
        return -1;
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(link->ws_listener, (struct sockaddr*)&address, sizeof address) < 0)
        return -1;
    socklen_t size = sizeof address;
    if (getsockname(link->ws_listener, (struct sockaddr*)&address, &size) < 0)
        return -1;
    link->ws_port = ntohs(address.sin_port);
    if (listen(link->ws_listener, 1) < 0)
        return -1;
    return 0;
}

}  // namespace

editor_link* editor_link_start(unsigned long parent, const editor_link_config* config,
                               editor_text_handler on_text, uint32_t width, uint32_t height,
                               uint64_t param_count)
{
    editor_link* link = (editor_link*)calloc(1, sizeof *link);
    if (!link)
        return nullptr;
    link->config = *config;
    link->on_text = on_text;
    link->param_count = param_count;
    link->pump_budget_ns = editor_pump_budget_ns;
    link->param_mirror = (float*)calloc(param_count ? param_count : 1, sizeof(float));
    link->ws_listener = -1;
    link->side_channel = -1;
    link->reader.connection = -1;
    int side_listener = -1;
    if (!link->param_mirror) {
        free(link);
        return nullptr;
    }

    if (open_ws_listener(link) < 0) {
        report("ws_server_init");
        return fail_start(link, &side_listener);
    }

    side_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (side_listener < 0) {
        report("socket");
        return fail_start(link, &side_listener);
    }
    memcpy(link->temp_dir, "/tmp/wexa-XXXXXX", sizeof link->temp_dir);
    if (!mkdtemp(link->temp_dir)) {
        link->temp_dir[0] = '\0';
        return fail_start(link, &side_listener);
    }
    link->side_address.sun_family = AF_UNIX;
    snprintf(link->side_address.sun_path, sizeof link->side_address.sun_path, "%s/s",
             link->temp_dir);
    if (bind(side_listener, (struct sockaddr*)&link->side_address, sizeof link->side_address) < 0) {
        report("bind");
        return fail_start(link, &side_listener);
    }
    if (listen(side_listener, 1) < 0) {
        report("listen");
        return fail_start(link, &side_listener);
    }

    // Everything the child needs is made before fork: the child of a multi-threaded
    // host may only run async-signal-safe calls: sigaction, sigprocmask, execl, _exit.
    const char* module_dir = config->get_module_dir ? config->get_module_dir(config->context) : nullptr;
    const char* resources_dir =
        config->get_resources_dir ? config->get_resources_dir(config->context) : nullptr;
    if (!module_dir || !resources_dir)
        return fail_start(link, &side_listener);
    size_t path_size = strlen(module_dir) + 11;
    char* executable = (char*)malloc(path_size);
    if (!executable)
        return fail_start(link, &side_listener);
    snprintf(executable, path_size, "%s/middleman", module_dir);
    char port_text[16];
    snprintf(port_text, sizeof port_text, "%u", link->ws_port);

    // Hosts block signals in the threads they start and may ignore some; both would be
    // inherited through exec, and a program that cannot see SIGTERM outlives its view.
    // Every signal stays blocked across fork, so none of the host's handlers can run in
    // the child; there every disposition is reset and the mask emptied before exec.
    sigset_t all, host_mask, none;
    sigfillset(&all);
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &all, &host_mask);
    pid_t child = fork();
    if (child == 0) {
        struct sigaction default_action = {};
        default_action.sa_handler = SIG_DFL;
        for (int signal_number = 1; signal_number < NSIG; signal_number++)
            sigaction(signal_number, &default_action, nullptr);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execl(executable, "middleman", port_text, link->side_address.sun_path, resources_dir,
              (char*)nullptr);
        _exit(1);
    }
    pthread_sigmask(SIG_SETMASK, &host_mask, nullptr);
    free(executable);
    if (child < 0)
        return fail_start(link, &side_listener);
    link->child = child;

    int64_t deadline_ns = monotonic_ns() + start_bound_ns;
    static constexpr wait_steps side_steps = {"poll", "waitpid", "wait", "accept"};
    link->side_channel = accept_from_child(link, side_listener, unix_peer_is, deadline_ns, &side_steps);
    if (link->side_channel < 0)
        return fail_start(link, &side_listener);
    // The program is connected: the socket file and its directory have served, and a
    // host killed from now on leaves nothing behind in /tmp.
    close_fd(&side_listener);
    remove_side_path(link);

    static constexpr wait_steps ws_steps = {"poll2", "child2", "wait", "accept2"};
    int connection = accept_from_child(link, link->ws_listener, tcp_peer_is, deadline_ns, &ws_steps);
    if (connection < 0)
        return fail_start(link, &side_listener);
    ws_reader_init(&link->reader, connection);
    int handshake_ms = ms_until(deadline_ns);
    if (ws_handshake(&link->reader, handshake_ms < handshake_wait_ms ? handshake_ms : handshake_wait_ms) < 0) {
        report("accept2");
        return fail_start(link, &side_listener);
    }
    // Sends to an editor that stops reading wait a bounded time, then give up.
    struct timeval send_timeout = {0, ws_send_timeout_ms * 1000};
    setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);

    link->display = XOpenDisplay(nullptr);
    if (!link->display) {
        report("open_display");
        return fail_start(link, &side_listener);
    }
    if (container_create(link, parent, width, height) < 0) {
        report("sizeHints");
        x11_error_trap trap;
        x11_trap_begin(&trap, link->display);
        XCloseDisplay(link->display);
        x11_trap_end(&trap);
        link->display = nullptr;
        return fail_start(link, &side_listener);
    }
    link->message = nullptr;
    link->message_capacity = 0;
    link->message_length = 0;
    link->discard = 0;
    return link;
}

void editor_link_free(editor_link* link)
{
    if (!link)
        return;
    close_fd(&link->side_channel);
    end_child(link);
    if (link->display) {
        // The host may already have destroyed its window, and the container with it.
        x11_error_trap trap;
        x11_trap_begin(&trap, link->display);
        XDestroyWindow(link->display, link->container_window);
        XCloseDisplay(link->display);
        x11_trap_end(&trap);
    }
    close_fd(&link->ws_listener);
    close_fd(&link->reader.connection);
    free(link->message);
    free(link->param_mirror);
    free(link);
}

unsigned long editor_link_container(const editor_link* link) { return link->container_window; }
