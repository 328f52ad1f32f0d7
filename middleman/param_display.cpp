#include "param_display.h"

const mm_param mm_params[mm_param_count] = {
    {"Drive", "%", 0, 100, 50, false},
    {"Tone", "%", 0, 100, 50, false},
    {"Heat", "%", 0, 100, 50, false},
    {"Mix", "%", 0, 100, 100, false},
    {"Volume", "%", 0, 200, 100, false},
    {"Bypass", "", 0, 1, 0, true},
};

float mm_param_clamp(int index, double plain)
{
    const mm_param& p = mm_params[index];
    if (p.toggle)
        plain = plain >= 0.5 ? 1.0 : 0.0;
    if (plain < p.min)
        plain = p.min;
    else if (plain > p.max)
        plain = p.max;
    return (float)plain;
}

int mm_param_text(int index, double plain, char* out, size_t capacity)
{
    if (index < 0 || index >= mm_param_count || capacity < 2)
        return -1;
    const mm_param& p = mm_params[index];
    double normalized = (plain - p.min) / (p.max - p.min);
    double v = p.min + (p.max - p.min) * normalized;
    if (!(v == v) || v > 1e15 || v < -1e15)
        return -1;

    // Digits are produced with the same running products of 10 and 0.1 as the host's
    // text, so truncation lands on the same digit.
    char text[48];
    size_t n = 0;
    if (v < 0) {
        text[n++] = '-';
        v = -v;
    }
    if (v < 1) {
        text[n++] = '0';
    } else {
        double g = 10;
        while (v >= g)
            g *= 10;
        g *= 0.1;
        while (g >= 1) {
            int d = (int)(v / g);
            text[n++] = (char)('0' + d);
            v -= d * g;
            g *= 0.1;
        }
    }
    text[n++] = '.';
    int d1 = (int)(v / 0.1);
    text[n++] = (char)('0' + d1);
    v -= d1 * 0.1;
    int d2 = (int)(v / (0.1 * 0.1));
    text[n++] = (char)('0' + d2);
    if (n + 1 > capacity)
        return -1;
    for (size_t i = 0; i < n; i++)
        out[i] = text[i];
    out[n] = 0;
    return (int)n;
}
