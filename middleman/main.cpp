// middleman: the editor program the plug-in starts with
//   middleman <websocket port> <side-channel socket path> <resources directory>
// It connects the side channel first, then the WebSocket, asks for all values ("g")
// and the news store's texts, shows its window and names it on the side channel
// ("w <id>") once mapped. It ends on SIGTERM, on a closed WebSocket or side channel,
// and when its window is destroyed.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <fontconfig/fontconfig.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "editor_model.h"
#include "editor_view.h"
#include "news_client.h"
#include "ws_client.h"
#include "x11_window.h"

namespace {

constexpr int default_width = 800;
constexpr int default_height = 400;
// The plug-in accepts the WebSocket only after the side channel; it gives up after
// about ten seconds itself.
constexpr int handshake_timeout_ms = 15000;
constexpr unsigned long double_click_ms = 400;
constexpr int double_click_slop = 6;

int signal_pipe[2] = {-1, -1};

void on_signal(int)
{
    int saved = errno;
    char c = 1;
    if (write(signal_pipe[1], &c, 1) < 0) {
        // The pipe is full: a wake-up is already pending.
    }
    errno = saved;
}

struct app {
    int side_fd;
    ws_client* ws;
    x11_window win;
    bool window_open;
    bool window_reported;
    bool quit;
    bool dirty;

    editor_model model;
    news_client news;
    view_layout layout;

    int hover_knob;
    view_target hover;
    // Pointer shapes: an up-down arrow over knobs, a hand over buttons and links.
    Cursor knob_cursor;
    Cursor hand_cursor;
    bool recall_pressed;
    bool notes_open;
    double notes_scroll;
    double notes_max_scroll;
    char headline[256];

    // Double-click detection on knobs.
    Time last_press_time;
    int last_press_knob;
    int last_press_x;
    int last_press_y;
};

void send_message(void* context, const char* text, size_t size)
{
    app* a = (app*)context;
    if (a->ws && ws_client_send_text(a->ws, text, size) < 0)
        a->quit = true;
}

void gesture_ended(void* context, const float values[mm_param_count])
{
    news_store_latest(&((app*)context)->news, values);
}

void recall_values(void* context, const float values[mm_param_count])
{
    app* a = (app*)context;
    model_recall(&a->model, values);
    a->dirty = true;
}

void on_ws_text(void* context, const char* text, size_t size)
{
    app* a = (app*)context;
    if (size >= 3 && text[0] == 's') {
        int index;
        float value;
        if (model_parse_param(text + 2, &index, &value) == 0) {
            model_apply_remote(&a->model, index, value);
            a->dirty = true;
        }
    } else if (size >= 1 && text[0] == 'm') {
        const char* body = size >= 2 ? text + 2 : "";
        news_handle(&a->news, body, size >= 2 ? size - 2 : 0);
        if (a->news.notes)
            news_headline(a->news.notes, a->headline, sizeof a->headline);
        else
            a->headline[0] = 0;
        a->dirty = true;
    }
}

char* read_bundled_notes(const char* resources_dir)
{
    char path[4096];
    if (snprintf(path, sizeof path, "%s/news.txt", resources_dir) >= (int)sizeof path)
        return nullptr;
    FILE* f = fopen(path, "rb");
    if (!f)
        return nullptr;
    size_t capacity = 1 << 18; // release notes, not a library
    char* text = (char*)malloc(capacity + 1);
    size_t size = text ? fread(text, 1, capacity, f) : 0;
    fclose(f);
    if (!text)
        return nullptr;
    text[size] = 0;
    return text;
}

// The inherited descriptors of the host (its listeners, files, pipes) are not ours to
// keep open.
void close_inherited()
{
    if (close_range(3, ~0u, 0) == 0)
        return;
    long max = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max > 0 && max < 65536 ? max : 1024); fd++)
        close((int)fd);
}

int connect_side_channel(const char* path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path)
        return -1;
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    while (connect(fd, (sockaddr*)&addr, sizeof addr) < 0) {
        if (errno == EINTR)
            continue;
        close(fd);
        return -1;
    }
    return fd;
}

void report_window(app* a)
{
    char text[32];
    int n = snprintf(text, sizeof text, "w %lu", (unsigned long)a->win.window);
    if (send(a->side_fd, text, (size_t)n, MSG_NOSIGNAL) != n)
        a->quit = true;
    a->window_reported = true;
}

void update_hover(app* a, int x, int y)
{
    int index = -1;
    view_target t = view_hit(&a->layout, a->notes_open, x, y, &index);
    int knob = t == target_knob ? index : -1;
    if (t != a->hover || knob != a->hover_knob) {
        a->hover = t;
        a->hover_knob = knob;
        a->dirty = true;
        Cursor c = None;
        if (t == target_knob)
            c = a->knob_cursor;
        else if (t == target_bypass || t == target_recall || t == target_notes_close ||
                 (t == target_headline && a->news.notes))
            c = a->hand_cursor;
        XDefineCursor(a->win.display, a->win.window, c);
    }
}

void scroll_notes(app* a, double by)
{
    double s = a->notes_scroll + by;
    a->notes_scroll = s < 0 ? 0 : (s > a->notes_max_scroll ? a->notes_max_scroll : s);
    a->dirty = true;
}

void on_button_press(app* a, const XButtonEvent& e)
{
    bool fine = e.state & ShiftMask;
    int index = -1;
    view_target t = view_hit(&a->layout, a->notes_open, e.x, e.y, &index);
    a->dirty = true;
    if (e.button == Button4 || e.button == Button5) {
        int notches = e.button == Button4 ? 1 : -1;
        if (a->notes_open)
            scroll_notes(a, -notches * 40 * a->layout.scale);
        else if (a->model.gesture_index >= 0)
            return; // a drag is under way
        else if (t == target_knob)
            model_wheel(&a->model, index, notches, fine);
        else if (t == target_bypass)
            model_wheel(&a->model, mm_param_bypass, notches, fine);
        return;
    }
    if (e.button != Button1)
        return;
    switch (t) {
    case target_notes_close:
        a->notes_open = false;
        update_hover(a, e.x, e.y);
        break;
    case target_knob: {
        bool double_click = index == a->last_press_knob &&
                            e.time - a->last_press_time < double_click_ms &&
                            abs(e.x - a->last_press_x) <= double_click_slop &&
                            abs(e.y - a->last_press_y) <= double_click_slop;
        if (double_click) {
            // Back to the default; this press does not drag.
            model_begin(&a->model, index, mm_param_range(index).default_plain);
            a->last_press_knob = -1;
        } else {
            model_begin(&a->model, index, a->model.values[index]);
            model_drag_start(&a->model, e.y, fine);
            a->last_press_knob = index;
            a->last_press_time = e.time;
            a->last_press_x = e.x;
            a->last_press_y = e.y;
        }
        break;
    }
    case target_bypass:
        model_gesture(&a->model, mm_param_bypass,
                      a->model.values[mm_param_bypass] >= 0.5f ? 0.0 : 1.0);
        break;
    case target_recall:
        a->recall_pressed = true;
        break;
    case target_headline:
        if (a->news.notes) {
            a->notes_open = true;
            a->notes_scroll = 0;
            update_hover(a, e.x, e.y);
        }
        break;
    default:
        break;
    }
}

void on_button_release(app* a, const XButtonEvent& e)
{
    if (e.button != Button1)
        return;
    if (a->model.gesture_index >= 0) {
        model_end(&a->model);
        a->dirty = true;
    }
    if (a->recall_pressed) {
        a->recall_pressed = false;
        int index;
        if (view_hit(&a->layout, a->notes_open, e.x, e.y, &index) == target_recall)
            news_request_recall(&a->news);
        a->dirty = true;
    }
    update_hover(a, e.x, e.y);
}

void handle_x_event(app* a, XEvent& e)
{
    Display* d = a->win.display;
    switch (e.type) {
    case MapNotify:
        if (e.xmap.window == a->win.window && !a->window_reported)
            report_window(a);
        break;
    case ConfigureNotify:
        if (e.xconfigure.window == a->win.window &&
            (e.xconfigure.width != a->win.width || e.xconfigure.height != a->win.height)) {
            a->win.width = e.xconfigure.width;
            a->win.height = e.xconfigure.height;
            view_layout_compute(&a->layout, a->win.width, a->win.height);
            a->dirty = true;
        }
        break;
    case Expose:
        if (e.xexpose.count == 0) {
            if (a->dirty || !a->win.back)
                a->dirty = true;
            else
                x11_window_present(&a->win);
        }
        break;
    case DestroyNotify:
        if (e.xdestroywindow.window == a->win.window) {
            a->window_open = false;
            a->quit = true;
        }
        break;
    case ClientMessage:
        if ((Atom)e.xclient.data.l[0] == a->win.wm_delete)
            a->quit = true;
        break;
    case ButtonPress:
        on_button_press(a, e.xbutton);
        break;
    case ButtonRelease:
        on_button_release(a, e.xbutton);
        break;
    case MotionNotify: {
        // Only the latest position matters.
        while (XCheckTypedWindowEvent(d, a->win.window, MotionNotify, &e)) {
        }
        if (a->model.dragging) {
            model_drag_to(&a->model, e.xmotion.y, e.xmotion.state & ShiftMask);
            a->dirty = true;
        } else {
            update_hover(a, e.xmotion.x, e.xmotion.y);
        }
        break;
    }
    case LeaveNotify:
        if (a->hover != target_none || a->hover_knob != -1) {
            a->hover = target_none;
            a->hover_knob = -1;
            a->dirty = true;
        }
        break;
    default:
        break;
    }
}

void redraw(app* a)
{
    cairo_t* cr = x11_window_begin_paint(&a->win);
    if (!cr)
        return;
    view_state st = {};
    st.values = a->model.values;
    st.active_knob = a->model.gesture_index < view_knob_count ? a->model.gesture_index : -1;
    st.hover_knob = a->hover_knob;
    st.hover = a->hover;
    st.recall_pressed = a->recall_pressed;
    st.notes_open = a->notes_open;
    st.notes_scroll = a->notes_scroll;
    st.headline = a->headline;
    st.notes = a->news.notes ? news_details(a->news.notes) : nullptr;
    st.sid = a->news.sid;
    a->notes_max_scroll = view_draw(cr, &a->layout, &st);
    cairo_destroy(cr);
    x11_window_present(&a->win);
    a->dirty = false;
}

int ignore_x_error(Display*, XErrorEvent*)
{
    // A window torn down by the host under our feet: the DestroyNotify ends us.
    return 0;
}

int run(app* a)
{
    Display* d = a->win.display;
    int x_fd = ConnectionNumber(d);
    while (!a->quit) {
        while (!a->quit && XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
            handle_x_event(a, e);
        }
        if (a->quit)
            break;
        if (a->dirty && a->window_open)
            redraw(a);
        XFlush(d);
        // The drawing's round trips may have read events into Xlib's queue: they are no
        // longer waiting on the connection, and poll would sleep on them until the next.
        if (XEventsQueued(d, QueuedAlready) > 0)
            continue;

        pollfd fds[4] = {{signal_pipe[0], POLLIN, 0},
                         {x_fd, POLLIN, 0},
                         {a->side_fd, POLLIN, 0},
                         {ws_client_fd(a->ws), POLLIN, 0}};
        int n = poll(fds, 4, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[0].revents)
            a->quit = true;
        if (fds[2].revents) {
            // The plug-in never writes here: readable means it went away.
            char buf[64];
            ssize_t got = recv(a->side_fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                a->quit = true;
        }
        if (fds[3].revents) {
            ws_client_sink sink = {a, on_ws_text};
            if (ws_client_read(a->ws, &sink) < 0)
                a->quit = true;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: middleman <port> <side-channel path> <resources directory>\n");
        return 2;
    }
    char* end;
    unsigned long port = strtoul(argv[1], &end, 10);
    if (*argv[1] == 0 || *end != 0 || port == 0 || port > 65535) {
        fprintf(stderr, "middleman: bad port\n");
        return 2;
    }
    close_inherited();

    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) < 0)
        return 1;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a blocked call returns so the loop can see the signal.
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    static app a;
    a.hover_knob = -1;
    a.last_press_knob = -1;

    a.side_fd = connect_side_channel(argv[2]);
    if (a.side_fd < 0) {
        fprintf(stderr, "middleman: side channel: %s\n", strerror(errno));
        return 1;
    }
    a.ws = ws_client_open((unsigned)port, signal_pipe[0], handshake_timeout_ms);
    if (!a.ws) {
        fprintf(stderr, "middleman: websocket handshake failed\n");
        close(a.side_fd);
        return 1;
    }

    editor_sink model_sink = {&a, send_message, gesture_ended};
    model_init(&a.model, &model_sink);
    news_sink news_out = {&a, send_message, recall_values};
    news_init(&a.news, &news_out, read_bundled_notes(argv[3]));

    send_message(&a, "g", 1);
    news_start(&a.news);

    XSetErrorHandler(ignore_x_error);
    if (x11_window_open(&a.win, default_width, default_height, "Vellum Grist Saturator") < 0) {
        fprintf(stderr, "middleman: cannot open display\n");
        ws_client_close(a.ws, 1001);
        ws_client_free(a.ws);
        close(a.side_fd);
        return 1;
    }
    a.window_open = true;
    a.knob_cursor = XCreateFontCursor(a.win.display, XC_sb_v_double_arrow);
    a.hand_cursor = XCreateFontCursor(a.win.display, XC_hand2);
    view_layout_compute(&a.layout, a.win.width, a.win.height);
    a.dirty = true;
    redraw(&a);
    XMapWindow(a.win.display, a.win.window);

    int rc = run(&a);

    ws_client_close(a.ws, 1001);
    ws_client_free(a.ws);
    // Also when the host has destroyed the window: its back buffer and cairo's record of
    // the display are still ours to give back (destroying the window again is an X error
    // that ignore_x_error passes over).
    x11_window_close(&a.win);
    close(a.side_fd);
    news_free(&a.news);
    // fontconfig's configuration, loaded for cairo's fonts, is given back too.
    FcFini();
    return rc;
}
