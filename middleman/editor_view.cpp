#include "editor_view.h"

#include <cmath>
#include <cstdio>
#include <cstring>

// Knob sweep: from 135 degrees (lower left) clockwise through the top to 405 degrees.
static constexpr double sweep_start = 0.75 * M_PI;
static constexpr double sweep_span = 1.5 * M_PI;

struct rgb {
    double r, g, b;
};
static constexpr rgb col_bg_top = {0.165, 0.145, 0.129};
static constexpr rgb col_bg_bottom = {0.098, 0.086, 0.078};
static constexpr rgb col_band = {0.071, 0.063, 0.055};
static constexpr rgb col_text = {0.937, 0.890, 0.812};
static constexpr rgb col_muted = {0.573, 0.525, 0.463};
static constexpr rgb col_amber = {0.957, 0.639, 0.259};
static constexpr rgb col_ember = {0.878, 0.373, 0.165};
static constexpr rgb col_track = {0.231, 0.204, 0.180};
static constexpr rgb col_off = {0.470, 0.435, 0.400};

static void set(cairo_t* cr, rgb c, double a = 1.0)
{
    cairo_set_source_rgba(cr, c.r, c.g, c.b, a);
}

static bool inside(const view_rect& r, double x, double y)
{
    return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
}

static void rounded_rect(cairo_t* cr, double x, double y, double w, double h, double r)
{
    if (r > w / 2)
        r = w / 2;
    if (r > h / 2)
        r = h / 2;
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 1.5 * M_PI);
    cairo_close_path(cr);
}

enum text_align { align_left, align_center, align_right };

static void font(cairo_t* cr, const char* family, bool bold, double size)
{
    cairo_select_font_face(cr, family, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

static double text_width(cairo_t* cr, const char* text)
{
    cairo_text_extents_t e;
    cairo_text_extents(cr, text, &e);
    return e.x_advance;
}

// Draws `text` with its baseline at y; returns its advance.
static double text(cairo_t* cr, const char* s, double x, double y, text_align align)
{
    double w = text_width(cr, s);
    if (align == align_center)
        x -= w / 2;
    else if (align == align_right)
        x -= w;
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, s);
    return w;
}

// Shortens `s` with an ellipsis until it fits `max_width`.
static void fit_text(cairo_t* cr, const char* s, double max_width, char* out, size_t capacity)
{
    snprintf(out, capacity, "%s", s);
    if (text_width(cr, out) <= max_width)
        return;
    size_t n = strlen(out);
    while (n > 0) {
        n--;
        while (n > 0 && (out[n] & 0xC0) == 0x80) // keep UTF-8 sequences whole
            n--;
        if (n + 4 > capacity)
            continue;
        memcpy(out + n, "\xE2\x80\xA6", 4); // "..."
        if (text_width(cr, out) <= max_width)
            return;
    }
    out[0] = 0;
}

void view_layout_compute(view_layout* l, int width, int height)
{
    memset(l, 0, sizeof *l);
    l->width = width;
    l->height = height;
    double s = fmin(width / 800.0, height / 400.0);
    if (s < 0.35)
        s = 0.35;
    l->scale = s;

    double header_h = round(54 * s);
    double footer_h = round(44 * s);
    l->header = {0, 0, (double)width, header_h};
    l->footer = {0, height - footer_h, (double)width, footer_h};
    l->body = {0, header_h, (double)width, height - header_h - footer_h};

    double margin = 24 * s;
    double column_w = (width - 2 * margin) / view_knob_count;
    // Name above, value below: the knob takes what the body's height leaves.
    double label_room = 66 * s;
    double r = fmin(column_w * 0.36, (l->body.h - label_room - 24 * s) / 2);
    if (r < 8)
        r = 8;
    double block_h = 2 * r + label_room;
    double top = l->body.y + (l->body.h - block_h) / 2;
    for (int i = 0; i < view_knob_count; i++) {
        auto& k = l->knobs[i];
        k.r = r;
        k.cx = margin + column_w * (i + 0.5);
        k.cy = top + 30 * s + r;
        k.area = {margin + column_w * i, l->body.y, column_w, l->body.h};
    }

    double sw_h = 26 * s;
    double sw_w = 118 * s;
    l->bypass = {width - margin - sw_w, (header_h - sw_h) / 2, sw_w, sw_h};

    double btn_h = 28 * s;
    double btn_w = 112 * s;
    l->recall = {width - margin - btn_w, l->footer.y + (footer_h - btn_h) / 2, btn_w, btn_h};
    l->headline = {margin, l->footer.y, l->recall.x - 2 * margin, footer_h};

    double inset = 18 * s;
    l->notes = {margin, l->body.y + inset * 0.5, width - 2 * margin, l->body.h - inset};
    double close = 26 * s;
    l->notes_close = {l->notes.x + l->notes.w - close - 10 * s, l->notes.y + 10 * s, close, close};
}

view_target view_hit(const view_layout* l, bool notes_open, double x, double y, int* index)
{
    if (notes_open) {
        if (inside(l->notes_close, x, y) || !inside(l->notes, x, y))
            return target_notes_close;
        return target_notes;
    }
    if (inside(l->bypass, x, y))
        return target_bypass;
    if (inside(l->recall, x, y))
        return target_recall;
    if (inside(l->headline, x, y))
        return target_headline;
    for (int i = 0; i < view_knob_count; i++) {
        if (inside(l->knobs[i].area, x, y)) {
            *index = i;
            return target_knob;
        }
    }
    return target_none;
}

static void draw_background(cairo_t* cr, const view_layout* l)
{
    cairo_pattern_t* p = cairo_pattern_create_linear(0, 0, 0, l->height);
    cairo_pattern_add_color_stop_rgb(p, 0, col_bg_top.r, col_bg_top.g, col_bg_top.b);
    cairo_pattern_add_color_stop_rgb(p, 1, col_bg_bottom.r, col_bg_bottom.g, col_bg_bottom.b);
    cairo_set_source(cr, p);
    cairo_paint(cr);
    cairo_pattern_destroy(p);

    // A faint warm glow behind the knob row.
    const view_rect& b = l->body;
    cairo_pattern_t* glow = cairo_pattern_create_radial(
        b.x + b.w / 2, b.y + b.h / 2, 0, b.x + b.w / 2, b.y + b.h / 2, b.w * 0.55);
    cairo_pattern_add_color_stop_rgba(glow, 0, col_ember.r, col_ember.g, col_ember.b, 0.07);
    cairo_pattern_add_color_stop_rgba(glow, 1, col_ember.r, col_ember.g, col_ember.b, 0.0);
    cairo_set_source(cr, glow);
    cairo_rectangle(cr, b.x, b.y, b.w, b.h);
    cairo_fill(cr);
    cairo_pattern_destroy(glow);
}

static void draw_header(cairo_t* cr, const view_layout* l, const view_state* st)
{
    double s = l->scale;
    const view_rect& h = l->header;
    set(cr, col_band);
    cairo_rectangle(cr, h.x, h.y, h.w, h.h);
    cairo_fill(cr);
    cairo_pattern_t* line = cairo_pattern_create_linear(0, 0, l->width, 0);
    cairo_pattern_add_color_stop_rgba(line, 0, col_ember.r, col_ember.g, col_ember.b, 0.0);
    cairo_pattern_add_color_stop_rgba(line, 0.5, col_amber.r, col_amber.g, col_amber.b, 0.8);
    cairo_pattern_add_color_stop_rgba(line, 1, col_ember.r, col_ember.g, col_ember.b, 0.0);
    cairo_set_source(cr, line);
    cairo_rectangle(cr, 0, h.h - 1.5 * s, l->width, 1.5 * s);
    cairo_fill(cr);
    cairo_pattern_destroy(line);

    double x = 24 * s;
    double base = h.h / 2 + 7 * s;
    font(cr, "DejaVu Serif", true, 21 * s);
    set(cr, col_text);
    x += text(cr, "Vellum Grist", x, base, align_left);
    font(cr, "DejaVu Sans", false, 21 * s);
    set(cr, col_amber);
    x += text(cr, " Saturator", x, base, align_left);
    font(cr, "DejaVu Sans", false, 11 * s);
    set(cr, col_muted);
    if (x + 14 * s + text_width(cr, "TRESK.SONWAVE") < l->bypass.x - 12 * s)
        text(cr, "TRESK.SONWAVE", x + 14 * s, base, align_left);

    // Bypass: a label and a pill switch with a lamp.
    bool on = st->values[mm_param_bypass] >= 0.5f;
    const view_rect& b = l->bypass;
    double pill_w = 44 * s, pill_h = 22 * s;
    double px = b.x + b.w - pill_w, py = b.y + (b.h - pill_h) / 2;
    font(cr, "DejaVu Sans", true, 11 * s);
    set(cr, on ? col_amber : (st->hover == target_bypass ? col_text : col_muted));
    text(cr, "BYPASS", px - 10 * s, b.y + b.h / 2 + 4 * s, align_right);
    rounded_rect(cr, px, py, pill_w, pill_h, pill_h / 2);
    if (on)
        set(cr, col_ember, 0.85);
    else
        set(cr, col_track);
    cairo_fill_preserve(cr);
    set(cr, on ? col_amber : col_off, 0.6);
    cairo_set_line_width(cr, 1 * s);
    cairo_stroke(cr);
    double knob_r = pill_h / 2 - 3 * s;
    double kx = on ? px + pill_w - pill_h / 2 : px + pill_h / 2;
    cairo_arc(cr, kx, py + pill_h / 2, knob_r, 0, 2 * M_PI);
    set(cr, on ? col_text : col_off);
    cairo_fill(cr);
}

static void draw_knob(cairo_t* cr, const view_layout* l, const view_state* st, int i)
{
    double s = l->scale;
    const auto& k = l->knobs[i];
    const param_range& p = mm_param_range(i);
    bool bypassed = st->values[mm_param_bypass] >= 0.5f;
    bool active = st->active_knob == i;
    bool hover = st->hover_knob == i && !st->notes_open;
    double pos = (st->values[i] - p.min) / (p.max - p.min);
    if (!(pos >= 0))
        pos = 0;
    if (pos > 1)
        pos = 1;
    double angle = sweep_start + sweep_span * pos;

    // Name above the knob.
    font(cr, "DejaVu Sans", true, 13 * s);
    set(cr, active || hover ? col_text : col_muted);
    char name[32];
    snprintf(name, sizeof name, "%s", mm_param_name(i));
    for (char* c = name; *c; c++)
        if (*c >= 'a' && *c <= 'z')
            *c = (char)(*c - 32);
    text(cr, name, k.cx, k.cy - k.r - 14 * s, align_center);

    // Scale ticks around the sweep.
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_width(cr, 1.2 * s);
    for (int t = 0; t <= 10; t++) {
        double a = sweep_start + sweep_span * t / 10.0;
        double r0 = k.r * 1.06, r1 = k.r * (t % 5 == 0 ? 1.16 : 1.11);
        cairo_move_to(cr, k.cx + cos(a) * r0, k.cy + sin(a) * r0);
        cairo_line_to(cr, k.cx + cos(a) * r1, k.cy + sin(a) * r1);
        set(cr, col_muted, 0.55);
        cairo_stroke(cr);
    }

    // Track and value arc.
    double arc_r = k.r * 0.92;
    cairo_set_line_width(cr, k.r * 0.11);
    cairo_arc(cr, k.cx, k.cy, arc_r, sweep_start, sweep_start + sweep_span);
    set(cr, col_track);
    cairo_stroke(cr);
    if (pos > 0) {
        cairo_arc(cr, k.cx, k.cy, arc_r, sweep_start, angle);
        if (bypassed) {
            set(cr, col_off);
        } else {
            cairo_pattern_t* g = cairo_pattern_create_linear(k.cx - k.r, k.cy + k.r, k.cx + k.r,
                                                             k.cy - k.r);
            cairo_pattern_add_color_stop_rgb(g, 0, col_ember.r, col_ember.g, col_ember.b);
            cairo_pattern_add_color_stop_rgb(g, 1, col_amber.r, col_amber.g, col_amber.b);
            cairo_set_source(cr, g);
            cairo_pattern_destroy(g);
        }
        cairo_stroke(cr);
    }

    // Body: a soft shadow, then a domed cap lit from the upper left.
    double body_r = k.r * 0.74;
    cairo_arc(cr, k.cx, k.cy + 3 * s, body_r + 2 * s, 0, 2 * M_PI);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.45);
    cairo_fill(cr);
    cairo_pattern_t* cap = cairo_pattern_create_radial(k.cx - body_r * 0.35, k.cy - body_r * 0.45,
                                                       body_r * 0.1, k.cx, k.cy, body_r * 1.05);
    double lift = active ? 0.04 : (hover ? 0.02 : 0.0);
    cairo_pattern_add_color_stop_rgb(cap, 0, 0.36 + lift, 0.32 + lift, 0.29 + lift);
    cairo_pattern_add_color_stop_rgb(cap, 1, 0.13 + lift, 0.115 + lift, 0.10 + lift);
    cairo_arc(cr, k.cx, k.cy, body_r, 0, 2 * M_PI);
    cairo_set_source(cr, cap);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(cap);
    cairo_set_line_width(cr, 1.2 * s);
    set(cr, col_text, 0.12);
    cairo_stroke(cr);

    // Pointer.
    cairo_set_line_width(cr, fmax(2.0, k.r * 0.07));
    cairo_move_to(cr, k.cx + cos(angle) * body_r * 0.30, k.cy + sin(angle) * body_r * 0.30);
    cairo_line_to(cr, k.cx + cos(angle) * body_r * 0.86, k.cy + sin(angle) * body_r * 0.86);
    set(cr, bypassed ? col_off : col_text);
    cairo_stroke(cr);

    // Value, as the host shows it, in a small display window.
    char value[32], shown[40];
    if (mm_param_text(i, st->values[i], value, sizeof value) < 0)
        snprintf(value, sizeof value, "--");
    snprintf(shown, sizeof shown, "%s %s", value, mm_param_unit(i));
    font(cr, "DejaVu Sans Mono", false, 13 * s);
    double box_w = fmax(text_width(cr, "200.00 %") + 16 * s, k.r * 1.3);
    double box_h = 22 * s;
    double box_y = k.cy + k.r + 12 * s;
    rounded_rect(cr, k.cx - box_w / 2, box_y, box_w, box_h, 4 * s);
    set(cr, col_band);
    cairo_fill_preserve(cr);
    set(cr, active ? col_amber : col_track, active ? 0.7 : 1.0);
    cairo_set_line_width(cr, 1 * s);
    cairo_stroke(cr);
    set(cr, bypassed ? col_off : col_amber);
    text(cr, shown, k.cx, box_y + box_h / 2 + 4.5 * s, align_center);
}

static void draw_footer(cairo_t* cr, const view_layout* l, const view_state* st)
{
    double s = l->scale;
    const view_rect& f = l->footer;
    set(cr, col_band);
    cairo_rectangle(cr, f.x, f.y, f.w, f.h);
    cairo_fill(cr);
    set(cr, col_track);
    cairo_rectangle(cr, f.x, f.y, f.w, 1 * s);
    cairo_fill(cr);

    // "NEWS" tag and the notes' headline.
    double mid = f.y + f.h / 2;
    font(cr, "DejaVu Sans", true, 10 * s);
    double tag_w = text_width(cr, "NEWS") + 14 * s;
    double x = l->headline.x;
    rounded_rect(cr, x, mid - 9 * s, tag_w, 18 * s, 9 * s);
    set(cr, col_ember, 0.85);
    cairo_fill(cr);
    set(cr, col_text);
    text(cr, "NEWS", x + tag_w / 2, mid + 3.5 * s, align_center);
    x += tag_w + 10 * s;

    bool hover = st->hover == target_headline;
    font(cr, "DejaVu Sans", false, 12.5 * s);
    char line[256];
    const char* headline = st->headline && *st->headline ? st->headline : "No release notes";
    fit_text(cr, headline, l->headline.x + l->headline.w - x, line, sizeof line);
    set(cr, hover ? col_amber : col_text, st->headline && *st->headline ? 1.0 : 0.5);
    double w = text(cr, line, x, mid + 4.5 * s, align_left);
    if (hover && st->notes) {
        cairo_set_line_width(cr, 1 * s);
        cairo_move_to(cr, x, mid + 7.5 * s);
        cairo_line_to(cr, x + w, mid + 7.5 * s);
        cairo_stroke(cr);
    }

    // "Recall last".
    const view_rect& b = l->recall;
    bool over = st->hover == target_recall;
    rounded_rect(cr, b.x, b.y, b.w, b.h, b.h / 2);
    set(cr, st->recall_pressed ? col_ember : col_track, st->recall_pressed ? 0.9 : 1.0);
    cairo_fill_preserve(cr);
    set(cr, over ? col_amber : col_off, over ? 0.9 : 0.5);
    cairo_set_line_width(cr, 1 * s);
    cairo_stroke(cr);
    font(cr, "DejaVu Sans", true, 11.5 * s);
    set(cr, over || st->recall_pressed ? col_text : col_muted);
    text(cr, "Recall last", b.x + b.w / 2, b.y + b.h / 2 + 4 * s, align_center);
}

// Lays out and, when `draw` is set, draws the notes body as wrapped lines from `top`;
// returns the height used.
static double notes_text(cairo_t* cr, const char* body, double x, double top, double width,
                         double line_h, double clip_top, double clip_bottom)
{
    double y = top;
    const char* p = body;
    char line[1024];
    while (*p) {
        const char* eol = strchr(p, '\n');
        if (!eol)
            eol = p + strlen(p);
        // Greedy word wrap of one paragraph line.
        const char* q = p;
        if (q == eol)
            y += line_h * 0.6; // an empty line between paragraphs
        while (q < eol) {
            size_t fit = 0, last_space = 0;
            size_t max = (size_t)(eol - q) < sizeof line - 1 ? (size_t)(eol - q) : sizeof line - 1;
            while (fit < max) {
                size_t next = fit + 1;
                while (next < max && (q[next] & 0xC0) == 0x80)
                    next++;
                memcpy(line, q, next);
                line[next] = 0;
                if (text_width(cr, line) > width && fit > 0)
                    break;
                if (q[fit] == ' ')
                    last_space = fit;
                fit = next;
            }
            if (fit < (size_t)(eol - q) && last_space > 0)
                fit = last_space;
            memcpy(line, q, fit);
            line[fit] = 0;
            if (line[fit ? fit - 1 : 0] == '\r')
                line[fit - 1] = 0;
            y += line_h;
            if (y > clip_top && y - line_h < clip_bottom) {
                cairo_move_to(cr, x, y);
                cairo_show_text(cr, line);
            }
            q += fit;
            while (q < eol && *q == ' ')
                q++;
        }
        p = *eol ? eol + 1 : eol;
    }
    return y - top;
}

static double draw_notes(cairo_t* cr, const view_layout* l, const view_state* st)
{
    double s = l->scale;
    cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
    cairo_rectangle(cr, 0, 0, l->width, l->height);
    cairo_fill(cr);
    const view_rect& n = l->notes;
    rounded_rect(cr, n.x, n.y, n.w, n.h, 8 * s);
    set(cr, col_bg_bottom, 0.97);
    cairo_fill_preserve(cr);
    set(cr, col_amber, 0.5);
    cairo_set_line_width(cr, 1 * s);
    cairo_stroke(cr);

    double pad = 18 * s;
    font(cr, "DejaVu Sans", true, 15 * s);
    set(cr, col_amber);
    char title[256];
    fit_text(cr, st->headline && *st->headline ? st->headline : "Release notes",
             n.w - 2 * pad - l->notes_close.w - 10 * s, title, sizeof title);
    double title_y = n.y + pad + 10 * s;
    text(cr, title, n.x + pad, title_y, align_left);

    // Close button: a circled cross.
    const view_rect& c = l->notes_close;
    double ccx = c.x + c.w / 2, ccy = c.y + c.h / 2;
    cairo_arc(cr, ccx, ccy, c.w / 2, 0, 2 * M_PI);
    set(cr, st->hover == target_notes_close ? col_ember : col_track);
    cairo_fill(cr);
    set(cr, col_text);
    cairo_set_line_width(cr, 1.6 * s);
    double d = c.w * 0.18;
    cairo_move_to(cr, ccx - d, ccy - d);
    cairo_line_to(cr, ccx + d, ccy + d);
    cairo_move_to(cr, ccx + d, ccy - d);
    cairo_line_to(cr, ccx - d, ccy + d);
    cairo_stroke(cr);

    double footer_h = st->sid ? 22 * s : 0;
    double text_top = title_y + 10 * s;
    double text_bottom = n.y + n.h - pad - footer_h;
    double max_scroll = 0;
    cairo_save(cr);
    cairo_rectangle(cr, n.x, text_top, n.w, text_bottom - text_top);
    cairo_clip(cr);
    font(cr, "DejaVu Sans", false, 12.5 * s);
    set(cr, col_text, 0.9);
    const char* body = st->notes ? st->notes : "";
    double used = notes_text(cr, body, n.x + pad, text_top - st->notes_scroll, n.w - 2 * pad,
                             19 * s, text_top, text_bottom);
    double view_h = text_bottom - text_top;
    max_scroll = fmax(0, used + 6 * s - view_h);
    cairo_restore(cr);
    if (max_scroll > 0) {
        // More below or above: a thin bar on the right shows where the view is.
        double track_x = n.x + n.w - 8 * s;
        double bar_h = fmax(16 * s, view_h * view_h / (used + 6 * s));
        double bar_y = text_top + (view_h - bar_h) * fmin(1.0, st->notes_scroll / max_scroll);
        rounded_rect(cr, track_x, text_top, 3 * s, view_h, 1.5 * s);
        set(cr, col_track);
        cairo_fill(cr);
        rounded_rect(cr, track_x, bar_y, 3 * s, bar_h, 1.5 * s);
        set(cr, col_amber, 0.8);
        cairo_fill(cr);
    }

    if (st->sid) {
        font(cr, "DejaVu Sans Mono", false, 10 * s);
        set(cr, col_muted);
        char sid[96];
        snprintf(sid, sizeof sid, "installation %s", st->sid);
        text(cr, sid, n.x + pad, n.y + n.h - pad, align_left);
    }
    return max_scroll;
}

double view_draw(cairo_t* cr, const view_layout* l, const view_state* st)
{
    cairo_save(cr);
    draw_background(cr, l);
    draw_header(cr, l, st);
    for (int i = 0; i < view_knob_count; i++)
        draw_knob(cr, l, st, i);
    draw_footer(cr, l, st);
    double max_scroll = 0;
    if (st->notes_open)
        max_scroll = draw_notes(cr, l, st);
    cairo_restore(cr);
    return max_scroll;
}
