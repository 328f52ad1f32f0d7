#include "xvfb_server.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

bool xvfb_server::start(int width, int height)
{
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    int fds[2];
    if (pipe(fds) < 0)
        return false;
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // The server must not outlive a test program that dies, nor hold its output.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        close(fds[0]);
        char fd_text[16];
        snprintf(fd_text, sizeof fd_text, "%d", fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd_text, "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", "-noreset", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    for (;;) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        char c;
        if (read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number += c;
    }
    close(fds[0]);
    pid_ = pid;
    if (number.empty()) {
        stop();
        return false;
    }
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    Display* d = XOpenDisplay(display_.c_str());
    if (!d) {
        stop();
        return false;
    }
    XCloseDisplay(d);
    return true;
}

void xvfb_server::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}
