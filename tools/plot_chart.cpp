#include "plot_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

static const char* const font_family = "DejaVu Sans";

static double to_px_x(const plot_chart* c, double x)
{
    double t;
    if (c->log_x)
        t = (std::log10(x) - std::log10(c->x_min)) / (std::log10(c->x_max) - std::log10(c->x_min));
    else
        t = (x - c->x_min) / (c->x_max - c->x_min);
    return c->left + t * c->width;
}

static double to_px_y(const plot_chart* c, double y) { return c->top + (c->y_max - y) / (c->y_max - c->y_min) * c->height; }

void chart_text(cairo_t* cr, double x, double y, const std::string& text, double size, bool bold)
{
    cairo_select_font_face(cr, font_family, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, text.c_str());
}

static double text_width(cairo_t* cr, const std::string& text)
{
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

static std::string tick_label(double v, double step)
{
    char text[32];
    if (std::fabs(v) < step * 1e-6)
        v = 0.0;
    if (std::fabs(v) >= 1000 && std::fmod(v, 1000) == 0)
        snprintf(text, sizeof text, "%gk", v / 1000);
    else
        snprintf(text, sizeof text, "%g", v);
    return text;
}

void chart_frame(plot_chart* c, const std::string& title, const std::string& x_label, const std::string& y_label,
                 double x_step, double y_step)
{
    cairo_t* cr = c->cr;
    cairo_save(cr);
    cairo_set_source_rgb(cr, 0.985, 0.985, 0.98);
    cairo_rectangle(cr, c->left, c->top, c->width, c->height);
    cairo_fill(cr);

    // Tick positions in data units.
    std::vector<double> xs, ys;
    if (c->log_x) {
        for (double decade = std::pow(10.0, std::floor(std::log10(c->x_min))); decade <= c->x_max; decade *= 10)
            for (double m : {1.0, 2.0, 5.0})
                if (decade * m >= c->x_min * 0.999 && decade * m <= c->x_max * 1.001)
                    xs.push_back(decade * m);
    } else {
        for (double x = std::ceil(c->x_min / x_step) * x_step; x <= c->x_max + x_step * 1e-9; x += x_step)
            xs.push_back(x);
    }
    for (double y = std::ceil(c->y_min / y_step) * y_step; y <= c->y_max + y_step * 1e-9; y += y_step)
        ys.push_back(y);

    cairo_set_line_width(cr, 1.0);
    cairo_set_source_rgb(cr, 0.86, 0.86, 0.86);
    for (double x : xs) {
        double px = std::round(to_px_x(c, x)) + 0.5;
        cairo_move_to(cr, px, c->top);
        cairo_line_to(cr, px, c->top + c->height);
    }
    for (double y : ys) {
        double py = std::round(to_px_y(c, y)) + 0.5;
        cairo_move_to(cr, c->left, py);
        cairo_line_to(cr, c->left + c->width, py);
    }
    cairo_stroke(cr);

    cairo_set_source_rgb(cr, 0.25, 0.25, 0.25);
    cairo_rectangle(cr, c->left + 0.5, c->top + 0.5, c->width - 1, c->height - 1);
    cairo_stroke(cr);

    cairo_select_font_face(cr, font_family, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 12);
    for (double x : xs) {
        std::string label = tick_label(x, c->log_x ? x : x_step);
        chart_text(cr, to_px_x(c, x) - text_width(cr, label) / 2, c->top + c->height + 16, label, 12);
    }
    for (double y : ys) {
        std::string label = tick_label(y, y_step);
        cairo_set_font_size(cr, 12);
        chart_text(cr, c->left - 8 - text_width(cr, label), to_px_y(c, y) + 4, label, 12);
    }

    cairo_set_font_size(cr, 13);
    chart_text(cr, c->left + c->width / 2 - text_width(cr, x_label) / 2, c->top + c->height + 36, x_label, 13);
    cairo_save(cr);
    cairo_translate(cr, c->left - 48, c->top + c->height / 2);
    cairo_rotate(cr, -M_PI / 2);
    cairo_set_font_size(cr, 13);
    chart_text(cr, -text_width(cr, y_label) / 2, 0, y_label, 13);
    cairo_restore(cr);

    chart_text(cr, c->left, c->top - 8, title, 14, true);
    cairo_restore(cr);
}

static void clip_to_area(plot_chart* c)
{
    cairo_rectangle(c->cr, c->left + 1, c->top + 1, c->width - 2, c->height - 2);
    cairo_clip(c->cr);
}

void chart_line(plot_chart* c, const std::vector<double>& xs, const std::vector<double>& ys, plot_color color,
                double line_width, bool dashed)
{
    cairo_t* cr = c->cr;
    cairo_save(cr);
    clip_to_area(c);
    cairo_set_source_rgb(cr, color.r, color.g, color.b);
    cairo_set_line_width(cr, line_width);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    if (dashed) {
        const double dash[] = {6.0, 4.0};
        cairo_set_dash(cr, dash, 2, 0);
    }
    bool pen_down = false;
    for (size_t i = 0; i < xs.size() && i < ys.size(); i++) {
        if (!std::isfinite(ys[i]) || (c->log_x && xs[i] <= 0)) {
            pen_down = false;
            continue;
        }
        double px = to_px_x(c, xs[i]), py = to_px_y(c, std::clamp(ys[i], c->y_min - 1e3, c->y_max + 1e3));
        if (pen_down)
            cairo_line_to(cr, px, py);
        else
            cairo_move_to(cr, px, py);
        pen_down = true;
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}

void chart_waveform(plot_chart* c, const std::vector<float>& samples, double rate, plot_color color)
{
    cairo_t* cr = c->cr;
    cairo_save(cr);
    clip_to_area(c);
    cairo_set_source_rgb(cr, color.r, color.g, color.b);
    cairo_set_line_width(cr, 1.0);
    const int columns = (int)c->width;
    const double seconds_per_column = (c->x_max - c->x_min) / columns;
    for (int col = 0; col < columns; col++) {
        const double t0 = c->x_min + col * seconds_per_column;
        size_t first = (size_t)std::max(0.0, std::floor(t0 * rate));
        size_t last = (size_t)std::max(0.0, std::ceil((t0 + seconds_per_column) * rate));
        if (first >= samples.size())
            break;
        last = std::min(last, samples.size() - 1);
        float lo = samples[first], hi = samples[first];
        for (size_t i = first; i <= last; i++) {
            lo = std::min(lo, samples[i]);
            hi = std::max(hi, samples[i]);
        }
        const double px = c->left + col + 0.5;
        cairo_move_to(cr, px, to_px_y(c, hi) - 0.5);
        cairo_line_to(cr, px, to_px_y(c, lo) + 0.5);
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}

void chart_legend(plot_chart* c, const std::vector<std::string>& names, const std::vector<plot_color>& colors, bool right)
{
    cairo_t* cr = c->cr;
    cairo_save(cr);
    cairo_select_font_face(cr, font_family, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 12);
    double widest = 0;
    for (const std::string& n : names)
        widest = std::max(widest, text_width(cr, n));
    const double box_w = widest + 44, box_h = 8 + 18.0 * names.size();
    const double x = right ? c->left + c->width - box_w - 10 : c->left + 10, y = c->top + 10;
    cairo_set_source_rgba(cr, 1, 1, 1, 0.9);
    cairo_rectangle(cr, x, y, box_w, box_h);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.7, 0.7, 0.7);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    for (size_t i = 0; i < names.size(); i++) {
        const double row = y + 16 + 18.0 * i;
        cairo_set_source_rgb(cr, colors[i].r, colors[i].g, colors[i].b);
        cairo_set_line_width(cr, 2.5);
        cairo_move_to(cr, x + 8, row - 4);
        cairo_line_to(cr, x + 30, row - 4);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        chart_text(cr, x + 36, row, names[i], 12);
    }
    cairo_restore(cr);
}

cairo_surface_t* chart_image(int width, int height, const std::string& heading, cairo_t** cr)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    *cr = cairo_create(surface);
    cairo_set_source_rgb(*cr, 1, 1, 1);
    cairo_paint(*cr);
    cairo_set_source_rgb(*cr, 0.1, 0.1, 0.1);
    chart_text(*cr, 20, 30, heading, 17, true);
    return surface;
}

bool chart_save(cairo_surface_t* surface, cairo_t* cr, const std::string& path)
{
    cairo_destroy(cr);
    const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
}
