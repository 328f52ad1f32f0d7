// `edit BUNDLE [options]`: the plug-in's editor in a top-level X11 window, with the
// component processing silence in the background so that edits reach it as in a DAW.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "edit_frame.h"
#include "edit_handler.h"
#include "param_args.h"
#include "plugin_loader.h"

using namespace vst3;

static const char edit_usage[] =
    "usage: vgs-host edit BUNDLE [options]\n"
    "  -r, --rate HZ            sample rate of the background processing (default 48000)\n"
    "  -b, --block N            samples per process call (default 480)\n"
    "  --load-state FILE        load a state chunk into the component and the controller first\n"
    "  --save-state FILE        save the component's state chunk when the window closes\n"
    "  --at SECONDS:NAME=VALUE  host automation: at SECONDS after the editor is attached,\n"
    "                           NAME goes to VALUE (plain units, e.g. --at 2:Drive=70) in the\n"
    "                           controller, so the editor shows it, and in the next process call\n"
    "  -q, --quiet              print no edits and no automation\n"
    "Opens the editor in a window of its own on $DISPLAY and runs until the window is\n"
    "closed (or on SIGINT or SIGTERM). Every edit is printed as the host receives it, and\n"
    "every change of the host's automation as it plays it:\n"
    "  beginEdit NAME / performEdit NAME NORMALIZED / endEdit NAME\n"
    "  automation NAME NORMALIZED\n";

static volatile sig_atomic_t stop_requested;

static void request_stop(int) { stop_requested = 1; }

static bool read_file(const char* path, std::vector<uint8_t>* bytes)
{
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    uint8_t buf[4096];
    size_t n;
    bytes->clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes->insert(bytes->end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

static bool write_file(const char* path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

struct edit_options {
    std::string bundle;
    double rate = 48000.0;
    int32_t block = 480;
    std::string load_state;
    std::string save_state;
    std::vector<param_event> automation;
    bool quiet = false;
};

// 0 to run, otherwise the exit status.
static int parse_options(int argc, char** argv, edit_options* o)
{
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "-h" || a == "--help") {
            std::fputs(edit_usage, stdout);
            return -1;
        } else if (a == "-r" || a == "--rate" || a == "-b" || a == "--block") {
            const char* v = value();
            char* end = nullptr;
            double number = v ? std::strtod(v, &end) : NAN;
            if (!v || *end != 0 || !std::isfinite(number) || number < 1 || number > 1e6) {
                std::fprintf(stderr, "vgs-host edit: %s needs a positive number\n", a.c_str());
                return 2;
            }
            if (a == "-r" || a == "--rate")
                o->rate = number;
            else
                o->block = (int32_t)number;
        } else if (a == "--load-state" || a == "--save-state") {
            const char* v = value();
            if (!v) {
                std::fprintf(stderr, "vgs-host edit: %s needs a file\n", a.c_str());
                return 2;
            }
            (a == "--load-state" ? o->load_state : o->save_state) = v;
        } else if (a == "--at") {
            const char* v = value();
            param_event e;
            if (!v || !parse_event(v, &e)) {
                std::fprintf(stderr, "vgs-host edit: bad --at \"%s\" (SECONDS:NAME=VALUE)\n", v ? v : "");
                return 2;
            }
            o->automation.push_back(e);
        } else if (a == "-q" || a == "--quiet") {
            o->quiet = true;
        } else if (o->bundle.empty() && a[0] != '-') {
            o->bundle = a;
        } else {
            std::fprintf(stderr, "vgs-host edit: unexpected \"%s\"\n%s", a.c_str(), edit_usage);
            return 2;
        }
    }
    if (o->bundle.empty()) {
        std::fputs(edit_usage, stderr);
        return 2;
    }
    return 0;
}

// The window a DAW would give the plug-in: top-level, closable by the window manager.
static Window open_host_window(Display* display, int width, int height, Atom* delete_atom)
{
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, (unsigned)width,
                                        (unsigned)height, 0, 0, 0);
    XStoreName(display, window, "Vellum Grist Saturator");
    *delete_atom = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, delete_atom, 1);
    XSelectInput(display, window, StructureNotifyMask);
    XMapWindow(display, window);
    XSync(display, False);
    return window;
}

// One change of the host's automation, resolved against the controller.
struct automation_point {
    double time;  // seconds after the editor is attached
    ParamID id;
    double normalized;
};

struct edit_session {
    edit_options options;
    plugin_module module;
    host_application host;
    plugin_instance instance;
    edit_handler handler;
    param_changes changes;
    std::vector<float> silence;
    Display* display = nullptr;
    Window window = 0;
    Atom delete_atom = 0;
    edit_frame frame;
    IPlugView* view = nullptr;
    bool window_gone = false;
    // In time order; `next_automation` is the first not yet played.
    std::vector<automation_point> automation;
    size_t next_automation = 0;
    double attached_at = 0.0;
};

static void process_block(edit_session* s)
{
    edit_handler_take_pending(&s->handler, &s->changes);
    std::fill(s->silence.begin(), s->silence.end(), 0.0f);
    plugin_instance_process(&s->instance, s->silence.data(), s->silence.data(), s->options.block, &s->changes.iface);
}

// One pass over the window's events; false once the window is closed or destroyed.
static bool handle_window_events(edit_session* s)
{
    while (XPending(s->display) > 0) {
        XEvent event;
        XNextEvent(s->display, &event);
        if (event.type == ClientMessage && (Atom)event.xclient.data.l[0] == s->delete_atom)
            return false;
        if (event.type == DestroyNotify && event.xdestroywindow.window == s->window) {
            s->window_gone = true;
            return false;
        }
        if (event.type == ConfigureNotify && event.xconfigure.window == s->window && s->view) {
            // A DAW tells the view its new size.
            ViewRect rect{0, 0, event.xconfigure.width, event.xconfigure.height};
            s->view->vtbl->onSize(s->view, &rect);
        }
    }
    return true;
}

// Plays the automation that is due, as a DAW does: the controller and, through the
// handler's queue, the component's next process call. Returns the seconds until the
// next change (1 s when none is left).
static double play_automation(edit_session* s, double now)
{
    while (s->next_automation < s->automation.size()) {
        const automation_point& p = s->automation[s->next_automation];
        double due = s->attached_at + p.time;
        if (due > now)
            return due - now;
        edit_handler_automate(&s->handler, p.id, p.normalized);
        s->next_automation++;
    }
    return 1.0;
}

static void run_loop(edit_session* s)
{
    const double block_seconds = (double)s->options.block / s->options.rate;
    double next_block = edit_now();
    while (!stop_requested) {
        double now = edit_now();
        if (now >= next_block) {
            process_block(s);
            next_block += block_seconds;
            if (next_block <= now)
                next_block = now + block_seconds;
        }
        double automation_wait = play_automation(s, edit_now());
        double timer_wait = edit_frame_run_timers(&s->frame, edit_now());
        if (!handle_window_events(s))
            return;
        XFlush(s->display);

        std::vector<pollfd> fds{{ConnectionNumber(s->display), POLLIN, 0}};
        for (const edit_fd_handler& h : s->frame.fd_handlers)
            fds.push_back({h.fd, POLLIN, 0});
        double wait = std::min({timer_wait, automation_wait, next_block - edit_now()});
        int timeout_ms = wait > 0 ? (int)std::ceil(wait * 1000.0) : 0;
        if (poll(fds.data(), fds.size(), timeout_ms) > 0) {
            std::vector<int> ready;
            for (size_t i = 1; i < fds.size(); i++)
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                    ready.push_back(fds[i].fd);
            edit_frame_run_fd_handlers(&s->frame, ready);
        }
    }
}

// Opens everything up to an attached view; false with a message on failure.
static bool open_session(edit_session* s)
{
    std::string error;
    if (!plugin_module_open(&s->module, s->options.bundle, &error)) {
        std::fprintf(stderr, "vgs-host edit: %s\n", error.c_str());
        return false;
    }
    host_application_init(&s->host);
    if (!plugin_instance_create(s->module, &s->host, &s->instance, &error)) {
        std::fprintf(stderr, "vgs-host edit: %s\n", error.c_str());
        return false;
    }
    if (!s->options.load_state.empty()) {
        std::vector<uint8_t> chunk;
        if (!read_file(s->options.load_state.c_str(), &chunk) ||
            !plugin_instance_load_state(&s->instance, chunk, &error)) {
            std::fprintf(stderr, "vgs-host edit: cannot load state from %s %s\n", s->options.load_state.c_str(),
                         error.c_str());
            return false;
        }
    }
    for (const param_event& e : s->options.automation) {
        automation_point p{e.time, 0, 0.0};
        if (!param_resolve(&s->instance, e.name, e.plain, &p.id, &p.normalized, &error)) {
            std::fprintf(stderr, "vgs-host edit: --at %s\n", error.c_str());
            return false;
        }
        s->automation.push_back(p);
    }
    std::stable_sort(s->automation.begin(), s->automation.end(),
                     [](const automation_point& a, const automation_point& b) { return a.time < b.time; });
    if (!plugin_instance_activate(&s->instance, s->options.rate, s->options.block, &error)) {
        std::fprintf(stderr, "vgs-host edit: %s\n", error.c_str());
        return false;
    }
    s->silence.assign((size_t)s->options.block, 0.0f);
    param_changes_init(&s->changes);
    IEditController* ec = s->instance.controller;
    edit_handler_init(&s->handler, ec, s->options.quiet);
    ec->vtbl->setComponentHandler(ec, &s->handler.iface);

    s->view = ec->vtbl->createView(ec, "editor");
    if (s->view == nullptr) {
        std::fputs("vgs-host edit: the controller offers no editor\n", stderr);
        return false;
    }
    if (s->view->vtbl->isPlatformTypeSupported(s->view, kPlatformTypeX11EmbedWindowID) != kResultTrue) {
        std::fputs("vgs-host edit: the editor does not embed in X11 windows\n", stderr);
        return false;
    }
    s->display = XOpenDisplay(nullptr);
    if (s->display == nullptr) {
        std::fputs("vgs-host edit: cannot open the X display (is DISPLAY set?)\n", stderr);
        return false;
    }
    ViewRect size{0, 0, 800, 400};
    s->view->vtbl->getSize(s->view, &size);
    s->window = open_host_window(s->display, std::max(size.right - size.left, 1),
                                 std::max(size.bottom - size.top, 1), &s->delete_atom);
    edit_frame_init(&s->frame, s->display, s->window);
    if (s->view->vtbl->setFrame(s->view, &s->frame.frame_iface) != kResultOk ||
        s->view->vtbl->attached(s->view, (void*)(uintptr_t)s->window, kPlatformTypeX11EmbedWindowID) != kResultOk) {
        std::fputs("vgs-host edit: the editor did not start\n", stderr);
        return false;
    }
    s->attached_at = edit_now();
    std::printf("editor attached to window 0x%lx\n", (unsigned long)s->window);
    std::fflush(stdout);
    return true;
}

static int close_session(edit_session* s, bool ran)
{
    int status = ran ? 0 : 1;
    if (s->view != nullptr) {
        s->view->vtbl->removed(s->view);
        s->view->vtbl->setFrame(s->view, nullptr);
        s->view->vtbl->release(s->view);
        s->view = nullptr;
    }
    if (s->display != nullptr) {
        if (!s->window_gone)
            XDestroyWindow(s->display, s->window);
        XCloseDisplay(s->display);
    }
    if (ran) {
        // Edits still pending reach the component before its state is saved.
        process_block(s);
        if (!s->options.save_state.empty()) {
            std::vector<uint8_t> chunk;
            if (!plugin_instance_save_state(&s->instance, &chunk) ||
                !write_file(s->options.save_state.c_str(), chunk)) {
                std::fprintf(stderr, "vgs-host edit: cannot save state to %s\n", s->options.save_state.c_str());
                status = 1;
            }
        }
    }
    if (s->instance.controller != nullptr)
        s->instance.controller->vtbl->setComponentHandler(s->instance.controller, nullptr);
    plugin_instance_destroy(&s->instance);
    plugin_module_close(&s->module);
    return status;
}

int edit_command(int argc, char** argv)
{
    edit_session session;
    int parsed = parse_options(argc, argv, &session.options);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;

    // No SA_RESTART: the signal wakes the poll so the editor is taken down cleanly.
    struct sigaction action = {};
    action.sa_handler = request_stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    bool ran = open_session(&session);
    if (ran) {
        run_loop(&session);
        if (!session.options.quiet) {
            std::puts("editor closed");
            std::fflush(stdout);
        }
    }
    return close_session(&session, ran);
}
