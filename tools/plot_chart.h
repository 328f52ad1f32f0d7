// Line charts drawn with cairo: a framed plot area with ticks, labels and a legend.
#pragma once

#include <cairo.h>

#include <string>
#include <vector>

struct plot_color {
    double r, g, b;
};

inline constexpr plot_color color_input = {0.45, 0.45, 0.50};
inline constexpr plot_color color_output = {0.80, 0.27, 0.10};
inline constexpr plot_color color_series[3] = {{0.16, 0.42, 0.75}, {0.85, 0.55, 0.05}, {0.75, 0.12, 0.20}};

// One plot area on a cairo surface: its place in pixels and the data ranges it shows.
struct plot_chart {
    cairo_t* cr = nullptr;
    double left = 0, top = 0, width = 0, height = 0;
    double x_min = 0, x_max = 1, y_min = 0, y_max = 1;
    bool log_x = false;  // x drawn on a base-10 logarithmic scale
};

// Background, grid, ticks every `x_step`/`y_step` data units (on a log axis: at 1, 2, 5
// times the powers of ten), the axis labels and a title above the plot area.
void chart_frame(plot_chart* c, const std::string& title, const std::string& x_label, const std::string& y_label,
                 double x_step, double y_step);

// A polyline through the points; points outside the ranges are clipped.
void chart_line(plot_chart* c, const std::vector<double>& xs, const std::vector<double>& ys, plot_color color,
                double line_width, bool dashed = false);

// A waveform too dense to draw sample by sample: the minimum-to-maximum span of the samples
// of each pixel column. Sample i lies at i / rate seconds on the x axis.
void chart_waveform(plot_chart* c, const std::vector<float>& samples, double rate, plot_color color);

// A legend box in the plot's top-left corner (or top-right).
void chart_legend(plot_chart* c, const std::vector<std::string>& names, const std::vector<plot_color>& colors,
                  bool right = false);

// A line of text at a pixel position, in the chart's font.
void chart_text(cairo_t* cr, double x, double y, const std::string& text, double size, bool bold = false);

// A white image of the given size with a heading; the caller draws charts into it.
cairo_surface_t* chart_image(int width, int height, const std::string& heading, cairo_t** cr);
// Writes the image as PNG; false on failure.
bool chart_save(cairo_surface_t* surface, cairo_t* cr, const std::string& path);
