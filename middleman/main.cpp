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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "editor_model.h"
#include "editor_view.h"
#include "keyboard_focus.h"
#include "news_client.h"
#include "preset/vst_preset.h"
#include "preset_folders.h"
#include "preset_selector.h"
#include "text_field.h"
#include "typed_value.h"
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
// How long a note under the preset selector ("Saved ...") stays.
constexpr int64_t notice_ms = 2500;
constexpr unsigned all_values_known = (1u << mm_param_count) - 1;
constexpr size_t value_field_max_bytes = 24;

int64_t now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

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
    // Pointer shapes: an up-down arrow over knobs, a hand over buttons and links, a
    // text bar over what can be typed into.
    Cursor knob_cursor;
    Cursor hand_cursor;
    Cursor text_cursor;
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

    // Typing into a knob's value box (`editing_value`) or a name for "Save as"
    // (`naming`), with the keyboard focus held meanwhile.
    text_field field;
    char field_initial[text_field_capacity];
    int editing_value;
    bool naming;
    bool refused;
    bool replace_confirmed; // the typed name exists: the next Enter replaces it
    char message[256];
    bool message_is_error;
    keyboard_focus focus;

    preset_selector presets;
    const char* resources_dir;
    char* user_dir; // null when there is no home to keep presets in
    unsigned values_known; // a bit for each parameter the plug-in has told
    char notice[256];
    bool notice_is_error;
    int64_t notice_until_ms;
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
            a->values_known |= 1u << index;
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

// What the view shows besides the values; `menu` is filled when the menu is open.
void fill_state(const app* a, view_state* st, view_menu* menu)
{
    *st = {};
    st->values = a->model.values;
    st->active_knob = a->model.gesture_index < view_knob_count ? a->model.gesture_index : -1;
    st->hover_knob = a->hover_knob;
    st->hover = a->hover;
    st->recall_pressed = a->recall_pressed;
    st->notes_open = a->notes_open;
    st->notes_scroll = a->notes_scroll;
    st->headline = a->headline;
    st->notes = a->news.notes ? news_details(a->news.notes) : nullptr;
    st->sid = a->news.sid;
    const preset_selector& p = a->presets;
    st->preset = p.current >= 0 ? p.items[p.current].name : nullptr;
    st->preset_changed = p.changed;
    if (p.menu_open) {
        *menu = {p.names, p.factory_count, p.count, p.current, p.menu_hover, p.menu_scroll};
        st->menu = menu;
    }
    st->editing_value = a->editing_value;
    st->naming = a->naming;
    st->field = a->editing_value >= 0 || a->naming ? &a->field : nullptr;
    st->refused = a->refused;
    st->message = a->message[0] ? a->message : nullptr;
    st->message_is_error = a->message_is_error;
    st->notice = a->notice[0] ? a->notice : nullptr;
    st->notice_is_error = a->notice_is_error;
}

view_target hit(const app* a, int x, int y, int* index)
{
    view_state st;
    view_menu menu;
    fill_state(a, &st, &menu);
    return view_hit(&a->layout, &st, x, y, index);
}

void update_hover(app* a, int x, int y)
{
    int index = -1;
    view_target t = hit(a, x, y, &index);
    int knob = t == target_knob || t == target_value ? index : -1;
    int item = t == target_menu_item ? index : (t == target_menu_save ? view_menu_save_row : -1);
    if (t != a->hover || knob != a->hover_knob || item != a->presets.menu_hover) {
        a->hover = t;
        a->hover_knob = knob;
        a->presets.menu_hover = item;
        a->dirty = true;
        Cursor c = None;
        if (t == target_knob)
            c = a->knob_cursor;
        else if (t == target_value || t == target_field)
            c = a->text_cursor;
        else if (t == target_bypass || t == target_recall || t == target_notes_close ||
                 t == target_preset_prev || t == target_preset_name || t == target_preset_next ||
                 t == target_menu_item || t == target_menu_save ||
                 (t == target_headline && a->news.notes))
            c = a->hand_cursor;
        XDefineCursor(a->win.display, a->win.window, c);
    }
}

// ---- presets ----

bool values_known(const app* a) { return a->values_known == all_values_known; }

// Reads the bank and the user's folder again: another editor may have saved since.
void reload_presets(app* a)
{
    preset_item* items;
    int count, factory_count;
    preset_folders_read(a->resources_dir, a->user_dir, &items, &count, &factory_count);
    selector_set_items(&a->presets, items, count, factory_count, values_known(a) ? a->model.values : nullptr);
    a->dirty = true;
}

void show_notice(app* a, const char* text, bool error)
{
    snprintf(a->notice, sizeof a->notice, "%s", text);
    a->notice_is_error = error;
    a->notice_until_ms = now_ms() + notice_ms;
    a->dirty = true;
}

void choose_preset(app* a, int index)
{
    if (index < 0 || index >= a->presets.count)
        return;
    selector_choose(&a->presets, index);
    model_apply_preset(&a->model, a->presets.items[index].values);
    a->notice[0] = 0;
    a->dirty = true;
}

void open_menu(app* a)
{
    reload_presets(a);
    preset_selector& p = a->presets;
    p.menu_open = true;
    p.menu_scroll = 0;
    if (p.current >= 0) {
        // The chosen preset in view.
        view_menu menu = {p.names, p.factory_count, p.count, p.current, -1, 0};
        double max_scroll;
        view_rect panel = view_menu_panel(&a->layout, &menu, &max_scroll);
        view_rect item = view_menu_item(&a->layout, &menu, p.current);
        view_rect save = view_menu_save(&a->layout, &menu);
        double below = item.y + item.h - save.y;
        if (below > 0)
            p.menu_scroll = below + (save.y - panel.y) / 2 < max_scroll ? below + (save.y - panel.y) / 2 : max_scroll;
    }
    a->dirty = true;
}

void scroll_menu(app* a, double by)
{
    preset_selector& p = a->presets;
    view_menu menu = {p.names, p.factory_count, p.count, p.current, -1, 0};
    double max_scroll;
    view_menu_panel(&a->layout, &menu, &max_scroll);
    double s = p.menu_scroll + by;
    p.menu_scroll = s < 0 ? 0 : (s > max_scroll ? max_scroll : s);
    a->dirty = true;
}

// ---- typing ----

bool typing(const app* a) { return a->editing_value >= 0 || a->naming; }

void set_message(app* a, const char* text, bool error)
{
    snprintf(a->message, sizeof a->message, "%s", text);
    a->message_is_error = error;
    a->dirty = true;
}

const char* const value_hint = "Enter applies, Esc cancels";
const char* const name_hint = "Enter saves, Esc cancels";

void open_field(app* a, int value_index, const char* initial, size_t max_bytes)
{
    text_field_start(&a->field, initial, max_bytes);
    snprintf(a->field_initial, sizeof a->field_initial, "%s", a->field.text);
    a->editing_value = value_index;
    a->naming = value_index < 0;
    a->refused = false;
    a->replace_confirmed = false;
    a->notice[0] = 0;
    set_message(a, a->naming ? name_hint : value_hint, false);
    focus_take(&a->focus, a->win.display, a->win.window);
}

void open_value_field(app* a, int index)
{
    char text[32];
    if (mm_param_text(index, a->model.values[index], text, sizeof text) < 0)
        text[0] = 0;
    open_field(a, index, text, value_field_max_bytes);
}

// Ends typing. `give_back`: the focus returns to where it was; false when it has
// already gone elsewhere.
void close_field(app* a, bool give_back)
{
    a->editing_value = -1;
    a->naming = false;
    a->refused = false;
    a->message[0] = 0;
    if (give_back)
        focus_give_back(&a->focus, a->win.display, a->win.window);
    else
        focus_lost(&a->focus);
    a->dirty = true;
}

// Enter in a value box: the typed value as one gesture, or why not, with nothing sent.
bool apply_typed_value(app* a)
{
    int i = a->editing_value;
    if (strcmp(a->field.text, a->field_initial) == 0)
        return true; // nothing typed: nothing to apply
    typed_value v = typed_value_parse(i, a->field.text);
    if (v.verdict == typed_ok) {
        model_gesture(&a->model, i, v.value);
        return true;
    }
    a->refused = true;
    if (v.verdict == typed_unreadable) {
        set_message(a, "Not a number", true);
    } else {
        const param_range& r = mm_param_range(i);
        char range[64];
        const char* unit = mm_param_unit(i);
        snprintf(range, sizeof range, "From %g to %g%s%s", r.min, r.max, *unit ? " " : "", unit);
        set_message(a, range, true);
    }
    return false;
}

// Enter in "Save as": the current values as the user's preset, or why not.
void save_typed_name(app* a)
{
    char name[text_field_capacity];
    const char* from = a->field.text;
    while (*from == ' ')
        from++;
    snprintf(name, sizeof name, "%s", from);
    for (size_t n = strlen(name); n > 0 && name[n - 1] == ' ';)
        name[--n] = 0;
    const char* problem = preset_name_problem(name);
    if (!problem && !a->user_dir)
        problem = "There is no home folder to save presets in";
    if (problem) {
        a->refused = true;
        set_message(a, problem, true);
        return;
    }
    char line[256];
    switch (preset_folders_save(a->user_dir, name, a->model.values, a->replace_confirmed)) {
    case preset_exists:
        a->replace_confirmed = true;
        snprintf(line, sizeof line, "\xE2\x80\x9C%s\xE2\x80\x9D exists: Enter replaces it", name);
        set_message(a, line, false);
        return;
    case preset_save_failed:
        a->refused = true;
        snprintf(line, sizeof line, "Not saved: %s", strerror(errno));
        set_message(a, line, true);
        return;
    case preset_bad_name:
        a->refused = true;
        set_message(a, "That name cannot be a file name", true);
        return;
    case preset_saved:
        break;
    }
    close_field(a, true);
    reload_presets(a);
    selector_choose(&a->presets, selector_find_user(&a->presets, name));
    snprintf(line, sizeof line, "Saved \xE2\x80\x9C%s\xE2\x80\x9D", name);
    show_notice(a, line, false);
}

// The user turned to something else while typing: a value typed so far is applied
// (when it reads; else it is dropped), a name is dropped.
void leave_field(app* a, bool give_back)
{
    if (a->editing_value >= 0 && strcmp(a->field.text, a->field_initial) != 0) {
        typed_value v = typed_value_parse(a->editing_value, a->field.text);
        if (v.verdict == typed_ok)
            model_gesture(&a->model, a->editing_value, v.value);
    }
    close_field(a, give_back);
}

void on_key(app* a, XKeyEvent& e)
{
    if (!typing(a))
        return;
    char chars[16];
    KeySym keysym = NoSymbol;
    XLookupString(&e, chars, sizeof chars, &keysym, nullptr);
    switch (text_field_key(&a->field, keysym, e.state & ControlMask)) {
    case text_key_edited:
        a->refused = false;
        a->replace_confirmed = false;
        set_message(a, a->naming ? name_hint : value_hint, false);
        break;
    case text_key_moved:
        a->dirty = true;
        break;
    case text_key_enter:
        if (a->naming)
            save_typed_name(a);
        else if (apply_typed_value(a))
            close_field(a, true);
        a->dirty = true;
        break;
    case text_key_escape:
        close_field(a, true);
        break;
    case text_key_ignored:
        break;
    }
}

void on_focus_out(app* a, const XFocusChangeEvent& e)
{
    // A keyboard grab (a menu, the window manager's switcher) only borrows the keys.
    if (!typing(a) || e.window != a->win.window || e.mode == NotifyGrab || e.mode == NotifyUngrab ||
        e.detail == NotifyInferior || e.detail == NotifyPointer)
        return;
    leave_field(a, false);
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
    view_target t = hit(a, e.x, e.y, &index);
    a->dirty = true;
    if (t == target_field)
        return; // typing goes on
    if (typing(a))
        leave_field(a, true);
    if (e.button == Button4 || e.button == Button5) {
        int notches = e.button == Button4 ? 1 : -1;
        if (a->notes_open)
            scroll_notes(a, -notches * 40 * a->layout.scale);
        else if (a->presets.menu_open)
            scroll_menu(a, -notches * 48 * a->layout.scale);
        else if (a->model.gesture_index >= 0)
            return; // a drag is under way
        else if (t == target_knob || t == target_value)
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
    case target_value:
        open_value_field(a, index);
        break;
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
    case target_preset_prev:
    case target_preset_next:
        reload_presets(a);
        choose_preset(a, selector_step(&a->presets, t == target_preset_next ? 1 : -1));
        break;
    case target_preset_name:
        open_menu(a);
        update_hover(a, e.x, e.y);
        break;
    case target_menu_item:
        a->presets.menu_open = false;
        choose_preset(a, index);
        update_hover(a, e.x, e.y);
        break;
    case target_menu_save: {
        a->presets.menu_open = false;
        const preset_selector& p = a->presets;
        open_field(a, -1, p.current >= 0 ? p.items[p.current].name : "", 100);
        update_hover(a, e.x, e.y);
        break;
    }
    case target_menu_outside:
        a->presets.menu_open = false;
        update_hover(a, e.x, e.y);
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
        if (hit(a, e.x, e.y, &index) == target_recall)
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
    case KeyPress:
        on_key(a, e.xkey);
        break;
    case FocusOut:
        on_focus_out(a, e.xfocus);
        break;
    case MappingNotify:
        // Keys remapped (xdotool and input tools do it to type any character).
        XRefreshKeyboardMapping(&e.xmapping);
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
    // The selector follows every value shown, the user's and the host's alike.
    if (values_known(a))
        selector_values_moved(&a->presets, a->model.values);
    view_state st;
    view_menu menu;
    fill_state(a, &st, &menu);
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
        int timeout = -1;
        if (a->notice[0]) {
            int64_t left = a->notice_until_ms - now_ms();
            if (left <= 0) {
                a->notice[0] = 0;
                a->dirty = true;
                continue;
            }
            timeout = (int)left;
        }
        int n = poll(fds, 4, timeout);
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
    a.editing_value = -1;
    a.resources_dir = argv[3];
    a.user_dir = vst_preset_user_dir();
    selector_init(&a.presets);

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
    reload_presets(&a);

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
    a.text_cursor = XCreateFontCursor(a.win.display, XC_xterm);
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
    selector_free(&a.presets);
    free(a.user_dir);
    // fontconfig's configuration, loaded for cairo's fonts, is given back too.
    FcFini();
    return rc;
}
