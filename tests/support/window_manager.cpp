#include "window_manager.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace {

// The window that the running manager names on the root window, or 0.
Window supporting_wm_check(Display* d)
{
    Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    Window w = 0;
    if (XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, XA_WINDOW, &type, &format, &count,
                           &after, &data) == Success &&
        data && count == 1 && format == 32)
        w = (Window) * (unsigned long*)data;
    if (data)
        XFree(data);
    XWindowAttributes a;
    // A manager that ended leaves its property behind, naming a window that is gone.
    return w && XGetWindowAttributes(d, w, &a) ? w : 0;
}

// Whether the manager maps a new top-level window of ours within a fifth of a second.
// It names itself on the root window before it is ready, and a map request that comes
// during its start-up is lost, so the caller asks again with a fresh window.
bool maps_a_window(Display* d)
{
    Window probe = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
    XSelectInput(d, probe, StructureNotifyMask);
    XMapWindow(d, probe);
    XSync(d, False);
    bool mapped = false;
    for (int i = 0; i < 20 && !mapped; i++) {
        XEvent e;
        mapped = XCheckTypedWindowEvent(d, probe, MapNotify, &e);
        if (!mapped)
            usleep(10000);
    }
    XDestroyWindow(d, probe);
    XSync(d, False);
    return mapped;
}

} // namespace

bool window_manager::start(const std::string& display)
{
    Display* d = XOpenDisplay(display.c_str());
    if (!d)
        return false;
    XErrorHandler previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const Window before = supporting_wm_check(d);
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        setenv("DISPLAY", display.c_str(), 1);
        // The stock configuration, whatever the user running the tests keeps in theirs.
        const char* stock = "/etc/xdg/openbox/rc.xml";
        if (access(stock, R_OK) == 0)
            execlp("openbox", "openbox", "--sm-disable", "--config-file", stock, (char*)nullptr);
        else
            execlp("openbox", "openbox", "--sm-disable", (char*)nullptr);
        _exit(127);
    }
    bool ready = false;
    for (int i = 0; i < 50 && pid_ > 0 && !ready; i++) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        Window now = supporting_wm_check(d);
        ready = now && now != before && maps_a_window(d);
        if (!ready)
            usleep(10000);
    }
    XSetErrorHandler(previous);
    XCloseDisplay(d);
    if (!ready)
        stop();
    return ready;
}

void window_manager::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}
