#include "editor_view.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

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
static constexpr rgb col_well = {0.110, 0.098, 0.086};
static constexpr rgb col_refused = {0.945, 0.361, 0.302};

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

static void italic_font(cairo_t* cr, double size)
{
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_OBLIQUE, CAIRO_FONT_WEIGHT_NORMAL);
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
        double box_w = fmax(80 * s, r * 1.3);
        l->value_boxes[i] = {k.cx - box_w / 2, k.cy + r + 12 * s, box_w, 22 * s};
    }

    double sw_h = 26 * s;
    double sw_w = 118 * s;
    l->bypass = {width - margin - sw_w, (header_h - sw_h) / 2, sw_w, sw_h};

    double pill_w = 236 * s, pill_h = 28 * s, arrow_w = 26 * s;
    double pill_y = (header_h - pill_h) / 2;
    l->preset = {l->bypass.x - 16 * s - pill_w, pill_y, pill_w, pill_h};
    l->preset_prev = {l->preset.x, pill_y, arrow_w, pill_h};
    l->preset_name = {l->preset.x + arrow_w, pill_y, pill_w - 2 * arrow_w, pill_h};
    l->preset_next = {l->preset.x + pill_w - arrow_w, pill_y, arrow_w, pill_h};

    double btn_h = 28 * s;
    double btn_w = 112 * s;
    l->recall = {width - margin - btn_w, l->footer.y + (footer_h - btn_h) / 2, btn_w, btn_h};
    l->headline = {margin, l->footer.y, l->recall.x - 2 * margin, footer_h};

    double inset = 18 * s;
    l->notes = {margin, l->body.y + inset * 0.5, width - 2 * margin, l->body.h - inset};
    double close = 26 * s;
    l->notes_close = {l->notes.x + l->notes.w - close - 10 * s, l->notes.y + 10 * s, close, close};
}

// The menu's rows: a heading above each non-empty group, items below it; "Save as..."
// sits apart at the foot and does not scroll.
struct menu_metrics {
    double pad, heading_h, row_h, save_h;
};

static menu_metrics metrics_of(const view_layout* l)
{
    double s = l->scale;
    return {6 * s, 20 * s, 22 * s, 32 * s};
}

static double menu_content_height(const view_layout* l, const view_menu* m)
{
    menu_metrics mm = metrics_of(l);
    int user = m->count - m->factory_count;
    double h = 2 * mm.pad;
    if (m->count == 0)
        return h + mm.row_h; // "No presets found"
    if (m->factory_count > 0)
        h += mm.heading_h + m->factory_count * mm.row_h;
    if (user > 0)
        h += mm.heading_h + user * mm.row_h;
    return h;
}

view_rect view_menu_panel(const view_layout* l, const view_menu* m, double* max_scroll)
{
    menu_metrics mm = metrics_of(l);
    double top = l->header.h + 4 * l->scale;
    double room = l->height - top - 8 * l->scale;
    double want = menu_content_height(l, m) + mm.save_h;
    double h = want < room ? want : room;
    if (h < mm.save_h + mm.row_h)
        h = mm.save_h + mm.row_h;
    if (max_scroll)
        *max_scroll = want - h > 0 ? want - h : 0;
    return {l->preset.x, top, l->preset.w, h};
}

view_rect view_menu_item(const view_layout* l, const view_menu* m, int item)
{
    menu_metrics mm = metrics_of(l);
    view_rect panel = view_menu_panel(l, m, nullptr);
    double y = panel.y + mm.pad - m->scroll;
    if (m->factory_count > 0)
        y += mm.heading_h;
    if (item >= m->factory_count)
        y += (m->factory_count > 0 ? m->factory_count * mm.row_h : 0) + mm.heading_h +
             (item - m->factory_count) * mm.row_h;
    else
        y += item * mm.row_h;
    return {panel.x + mm.pad, y, panel.w - 2 * mm.pad, mm.row_h};
}

view_rect view_menu_save(const view_layout* l, const view_menu* m)
{
    view_rect panel = view_menu_panel(l, m, nullptr);
    double h = metrics_of(l).save_h;
    return {panel.x, panel.y + panel.h - h, panel.w, h};
}

// The field being typed into, when one is open.
static bool field_rect(const view_layout* l, const view_state* st, view_rect* r)
{
    if (!st || !st->field)
        return false;
    if (st->naming)
        *r = l->preset;
    else if (st->editing_value >= 0 && st->editing_value < view_knob_count)
        *r = l->value_boxes[st->editing_value];
    else
        return false;
    return true;
}

view_target view_hit(const view_layout* l, const view_state* st, double x, double y, int* index)
{
    if (st && st->notes_open) {
        if (inside(l->notes_close, x, y) || !inside(l->notes, x, y))
            return target_notes_close;
        return target_notes;
    }
    if (st && st->menu) {
        const view_menu* m = st->menu;
        view_rect panel = view_menu_panel(l, m, nullptr);
        if (!inside(panel, x, y))
            return target_menu_outside;
        view_rect save = view_menu_save(l, m);
        if (inside(save, x, y))
            return target_menu_save;
        for (int i = 0; i < m->count; i++) {
            if (inside(view_menu_item(l, m, i), x, y)) {
                *index = i;
                return target_menu_item;
            }
        }
        return target_menu;
    }
    view_rect field;
    if (field_rect(l, st, &field) && inside(field, x, y))
        return target_field;
    if (inside(l->bypass, x, y))
        return target_bypass;
    if (inside(l->preset_prev, x, y))
        return target_preset_prev;
    if (inside(l->preset_name, x, y))
        return target_preset_name;
    if (inside(l->preset_next, x, y))
        return target_preset_next;
    if (inside(l->recall, x, y))
        return target_recall;
    if (inside(l->headline, x, y))
        return target_headline;
    for (int i = 0; i < view_knob_count; i++) {
        if (inside(l->value_boxes[i], x, y)) {
            *index = i;
            return target_value;
        }
    }
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

// A raised panel (menu, notes, a note under the selector): dark, with a thin border.
static void draw_panel(cairo_t* cr, const view_rect& r, double radius, double fill_alpha, rgb border,
                       double border_alpha, double line_width)
{
    rounded_rect(cr, r.x, r.y, r.w, r.h, radius);
    set(cr, col_bg_bottom, fill_alpha);
    cairo_fill_preserve(cr);
    set(cr, border, border_alpha);
    cairo_set_line_width(cr, line_width);
    cairo_stroke(cr);
}

// A field's text from x on the baseline: the selection behind it, the cursor in it.
static void draw_field_text(cairo_t* cr, const text_field* f, double x, double base, double line_h,
                            rgb colour, double s)
{
    double w = text_width(cr, f->text);
    if (f->all_selected && f->length > 0) {
        cairo_rectangle(cr, x - 1 * s, base - line_h * 0.78, w + 2 * s, line_h);
        set(cr, col_ember, 0.5);
        cairo_fill(cr);
    }
    set(cr, colour);
    cairo_move_to(cr, x, base);
    cairo_show_text(cr, f->text);
    if (!f->all_selected) {
        char before[text_field_capacity];
        memcpy(before, f->text, f->cursor);
        before[f->cursor] = 0;
        double cx = x + text_width(cr, before);
        cairo_set_line_width(cr, 1.5 * s);
        cairo_move_to(cr, cx, base - line_h * 0.72);
        cairo_line_to(cr, cx, base + line_h * 0.2);
        set(cr, col_text, 0.9);
        cairo_stroke(cr);
    }
}

// A small chevron pointing left (-1) or right (+1).
static void chevron(cairo_t* cr, double cx, double cy, double size, int direction)
{
    cairo_move_to(cr, cx - direction * size * 0.35, cy - size * 0.6);
    cairo_line_to(cr, cx + direction * size * 0.35, cy);
    cairo_line_to(cr, cx - direction * size * 0.35, cy + size * 0.6);
    cairo_stroke(cr);
}

// A line under the preset selector: a hint, a refusal or a passing note.
static void draw_bubble(cairo_t* cr, const view_layout* l, const char* line, bool error)
{
    double s = l->scale;
    font(cr, "DejaVu Sans", false, 11 * s);
    char fitted[256];
    const view_rect& p = l->preset;
    fit_text(cr, line, 320 * s, fitted, sizeof fitted);
    double w = fmax(p.w, text_width(cr, fitted) + 20 * s);
    double x = p.x + p.w - w;
    double y = p.y + p.h + 6 * s, h = 24 * s;
    rounded_rect(cr, x + 2 * s, y + 3 * s, w, h, 5 * s);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.4);
    cairo_fill(cr);
    draw_panel(cr, {x, y, w, h}, 5 * s, 0.98, error ? col_refused : col_track, error ? 0.9 : 1.0, 1 * s);
    set(cr, error ? col_refused : col_text, error ? 1.0 : 0.85);
    text(cr, fitted, x + 10 * s, y + h / 2 + 4 * s, align_left);
}

static void draw_preset_selector(cairo_t* cr, const view_layout* l, const view_state* st)
{
    double s = l->scale;
    const view_rect& p = l->preset;
    bool naming = st->naming && st->field;
    rounded_rect(cr, p.x, p.y, p.w, p.h, 6 * s);
    set(cr, col_well);
    cairo_fill_preserve(cr);
    if (naming)
        set(cr, st->refused ? col_refused : col_amber, 0.9);
    else if (st->menu)
        set(cr, col_amber, 0.6);
    else
        set(cr, col_track);
    cairo_set_line_width(cr, (naming ? 1.5 : 1) * s);
    cairo_stroke(cr);
    double base = p.y + p.h / 2 + 4.5 * s;

    if (naming) {
        // The name being typed, scrolled so that the cursor stays in view.
        font(cr, "DejaVu Sans", false, 13 * s);
        double pad = 10 * s, room = p.w - 2 * pad;
        cairo_save(cr);
        cairo_rectangle(cr, p.x + 3 * s, p.y, p.w - 6 * s, p.h);
        cairo_clip(cr);
        if (st->field->length == 0) {
            italic_font(cr, 12.5 * s);
            set(cr, col_muted);
            text(cr, "Name of the new preset", p.x + pad, base, align_left);
            font(cr, "DejaVu Sans", false, 13 * s);
        }
        char before[text_field_capacity];
        memcpy(before, st->field->text, st->field->cursor);
        before[st->field->cursor] = 0;
        double shift = fmax(0, text_width(cr, before) - room);
        draw_field_text(cr, st->field, p.x + pad - shift, base, 16 * s, st->refused ? col_refused : col_text, s);
        cairo_restore(cr);
        return;
    }

    // Arrows in their own cells, divided from the name.
    cairo_set_line_width(cr, 1 * s);
    set(cr, col_track);
    for (double x : {l->preset_prev.x + l->preset_prev.w, l->preset_next.x}) {
        cairo_move_to(cr, x, p.y + 5 * s);
        cairo_line_to(cr, x, p.y + p.h - 5 * s);
        cairo_stroke(cr);
    }
    cairo_set_line_width(cr, 1.6 * s);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    const view_rect& a = l->preset_prev;
    const view_rect& b = l->preset_next;
    set(cr, st->hover == target_preset_prev ? col_amber : col_muted);
    chevron(cr, a.x + a.w / 2, a.y + a.h / 2, 8 * s, -1);
    set(cr, st->hover == target_preset_next ? col_amber : col_muted);
    chevron(cr, b.x + b.w / 2, b.y + b.h / 2, 8 * s, 1);

    // The name, a mark once a control moved, and the menu's caret.
    const view_rect& n = l->preset_name;
    bool over = st->hover == target_preset_name || st->menu;
    double caret_x = n.x + n.w - 12 * s, caret_y = n.y + n.h / 2 + 1 * s;
    cairo_move_to(cr, caret_x - 4 * s, caret_y - 2.5 * s);
    cairo_line_to(cr, caret_x, caret_y + 2 * s);
    cairo_line_to(cr, caret_x + 4 * s, caret_y - 2.5 * s);
    set(cr, over ? col_amber : col_muted);
    cairo_stroke(cr);
    double room = n.w - 36 * s;
    char name[160];
    if (st->preset) {
        font(cr, "DejaVu Sans", true, 13 * s);
        double mark_w = st->preset_changed ? text_width(cr, " *") : 0;
        fit_text(cr, st->preset, room - mark_w, name, sizeof name);
        double w = text_width(cr, name) + mark_w;
        double x = n.x + 10 * s + (room - w) / 2;
        set(cr, col_text, st->preset_changed ? 0.75 : 1.0);
        x += text(cr, name, x, base, align_left);
        if (st->preset_changed) {
            set(cr, col_amber);
            text(cr, " *", x, base, align_left);
        }
    } else {
        italic_font(cr, 12.5 * s);
        set(cr, col_muted);
        text(cr, "No preset", n.x + 10 * s + room / 2, base, align_center);
    }
}

static void draw_menu(cairo_t* cr, const view_layout* l, const view_menu* m)
{
    double s = l->scale;
    menu_metrics mm = metrics_of(l);
    double max_scroll;
    view_rect panel = view_menu_panel(l, m, &max_scroll);
    rounded_rect(cr, panel.x + 3 * s, panel.y + 4 * s, panel.w, panel.h, 7 * s);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.5);
    cairo_fill(cr);
    draw_panel(cr, panel, 7 * s, 0.985, col_amber, 0.35, 1 * s);

    view_rect save = view_menu_save(l, m);
    cairo_save(cr);
    cairo_rectangle(cr, panel.x, panel.y + 1 * s, panel.w, save.y - panel.y - 1 * s);
    cairo_clip(cr);
    auto heading = [&](const char* title, double y) {
        font(cr, "DejaVu Sans", true, 9.5 * s);
        set(cr, col_muted);
        text(cr, title, panel.x + 14 * s, y + mm.heading_h - 7 * s, align_left);
    };
    if (m->count == 0) {
        italic_font(cr, 12 * s);
        set(cr, col_muted);
        text(cr, "No presets found", panel.x + 14 * s, panel.y + mm.pad + mm.row_h / 2 + 4 * s, align_left);
    }
    for (int i = 0; i < m->count; i++) {
        view_rect r = view_menu_item(l, m, i);
        if (i == 0 && m->factory_count > 0)
            heading("FACTORY", r.y - mm.heading_h);
        if (i == m->factory_count)
            heading("USER", r.y - mm.heading_h);
        if (r.y + r.h < panel.y || r.y > save.y)
            continue;
        bool over = m->hover == i, chosen = m->current == i;
        if (over) {
            rounded_rect(cr, r.x, r.y + 1 * s, r.w, r.h - 2 * s, 4 * s);
            set(cr, col_track, 0.9);
            cairo_fill(cr);
        }
        if (chosen) {
            cairo_arc(cr, r.x + 10 * s, r.y + r.h / 2, 3 * s, 0, 2 * M_PI);
            set(cr, col_amber);
            cairo_fill(cr);
        }
        font(cr, "DejaVu Sans", chosen, 12.5 * s);
        char name[160];
        fit_text(cr, m->names[i], r.w - 30 * s, name, sizeof name);
        set(cr, chosen ? col_amber : col_text, over || chosen ? 1.0 : 0.88);
        text(cr, name, r.x + 22 * s, r.y + r.h / 2 + 4.5 * s, align_left);
    }
    cairo_restore(cr);
    if (max_scroll > 0) {
        // More above or below: a thin bar at the right shows where the list is.
        double track_top = panel.y + mm.pad, track_h = save.y - track_top - mm.pad;
        double content = track_h + max_scroll;
        double bar_h = fmax(16 * s, track_h * track_h / content);
        double bar_y = track_top + (track_h - bar_h) * fmin(1.0, m->scroll / max_scroll);
        rounded_rect(cr, panel.x + panel.w - 7 * s, bar_y, 3 * s, bar_h, 1.5 * s);
        set(cr, col_amber, 0.7);
        cairo_fill(cr);
    }

    // "Save as..." apart at the foot.
    set(cr, col_track);
    cairo_rectangle(cr, save.x + 8 * s, save.y, save.w - 16 * s, 1 * s);
    cairo_fill(cr);
    bool over = m->hover == view_menu_save_row;
    if (over) {
        rounded_rect(cr, save.x + mm.pad, save.y + 4 * s, save.w - 2 * mm.pad, save.h - 8 * s, 4 * s);
        set(cr, col_track, 0.9);
        cairo_fill(cr);
    }
    font(cr, "DejaVu Sans", true, 12 * s);
    set(cr, over ? col_text : col_amber);
    text(cr, "Save as\xE2\x80\xA6", save.x + 22 * s + mm.pad, save.y + save.h / 2 + 4.5 * s, align_left);
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
    if (x + 14 * s + text_width(cr, "TRESK.SONWAVE") < l->preset.x - 12 * s)
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

    draw_preset_selector(cr, l, st);
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

    // Value, as the host shows it, in a small display window; a click types into it.
    const view_rect& box = l->value_boxes[i];
    bool editing = st->editing_value == i && st->field;
    bool over = st->hover == target_value && st->hover_knob == i && !st->notes_open;
    rounded_rect(cr, box.x, box.y, box.w, box.h, 4 * s);
    set(cr, editing ? col_well : col_band);
    cairo_fill_preserve(cr);
    if (editing && st->refused)
        set(cr, col_refused, 0.9);
    else if (editing || active)
        set(cr, col_amber, editing ? 0.9 : 0.7);
    else
        set(cr, over ? col_off : col_track);
    cairo_set_line_width(cr, (editing ? 1.5 : 1) * s);
    cairo_stroke(cr);
    font(cr, "DejaVu Sans Mono", false, 13 * s);
    double base = box.y + box.h / 2 + 4.5 * s;
    if (editing) {
        // The typed text and the unit after it, centred as the value was.
        const char* unit = mm_param_unit(i);
        double unit_w = *unit ? text_width(cr, " ") + text_width(cr, unit) : 0;
        double w = text_width(cr, st->field->text);
        double x = fmax(box.x + 6 * s, k.cx - (w + unit_w) / 2);
        cairo_save(cr);
        cairo_rectangle(cr, box.x + 2 * s, box.y, box.w - 4 * s, box.h);
        cairo_clip(cr);
        draw_field_text(cr, st->field, x, base, 15 * s, st->refused ? col_refused : col_amber, s);
        if (*unit) {
            set(cr, col_muted);
            text(cr, unit, x + w + text_width(cr, " "), base, align_left);
        }
        cairo_restore(cr);
        if (st->message) {
            font(cr, "DejaVu Sans", false, 10.5 * s);
            set(cr, st->message_is_error ? col_refused : col_muted);
            text(cr, st->message, k.cx, box.y + box.h + 15 * s, align_center);
        }
    } else {
        char value[32], shown[40];
        if (mm_param_text(i, st->values[i], value, sizeof value) < 0)
            snprintf(value, sizeof value, "--");
        snprintf(shown, sizeof shown, "%s %s", value, mm_param_unit(i));
        set(cr, bypassed ? col_off : col_amber);
        text(cr, shown, k.cx, base, align_center);
    }
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
    draw_panel(cr, n, 8 * s, 0.97, col_amber, 0.5, 1 * s);

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
    // Over everything but the notes: the line under the preset selector, the menu.
    if (st->naming && st->field && st->message)
        draw_bubble(cr, l, st->message, st->message_is_error);
    else if (st->notice && !st->menu)
        draw_bubble(cr, l, st->notice, st->notice_is_error);
    if (st->menu)
        draw_menu(cr, l, st->menu);
    double max_scroll = 0;
    if (st->notes_open)
        max_scroll = draw_notes(cr, l, st);
    cairo_restore(cr);
    return max_scroll;
}
