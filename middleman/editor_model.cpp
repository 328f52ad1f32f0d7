#include "editor_model.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void send_param(editor_model* m, char kind, int index, float value)
{
    char text[32];
    int n = snprintf(text, sizeof text, "%c %08x %08x", kind, (unsigned)index,
                     std::bit_cast<uint32_t>(value));
    m->sink.send(m->sink.context, text, (size_t)n);
}

void model_init(editor_model* m, const editor_sink* sink)
{
    memset(m, 0, sizeof *m);
    m->sink = *sink;
    m->gesture_index = -1;
    for (int i = 0; i < mm_param_count; i++)
        m->values[i] = (float)mm_param_range(i).default_plain;
}

void model_begin(editor_model* m, int index, double value)
{
    if (m->gesture_index >= 0)
        model_end(m);
    m->gesture_index = index;
    m->dragging = false;
    m->values[index] = mm_param_clamp(index, value);
    send_param(m, 'b', index, m->values[index]);
}

void model_change(editor_model* m, double value)
{
    int i = m->gesture_index;
    if (i < 0)
        return;
    float v = mm_param_clamp(i, value);
    if (v == m->values[i])
        return;
    m->values[i] = v;
    send_param(m, 's', i, v);
}

void model_end(editor_model* m)
{
    int i = m->gesture_index;
    if (i < 0)
        return;
    m->gesture_index = -1;
    m->dragging = false;
    send_param(m, 'e', i, m->values[i]);
    if (m->sink.gesture_ended)
        m->sink.gesture_ended(m->sink.context, m->values);
}

void model_gesture(editor_model* m, int index, double value)
{
    model_begin(m, index, value);
    model_end(m);
}

void model_drag_start(editor_model* m, int y, bool fine)
{
    if (m->gesture_index < 0)
        return;
    m->dragging = true;
    m->drag_anchor_value = m->values[m->gesture_index];
    m->drag_anchor_y = y;
    m->drag_fine = fine;
}

void model_drag_to(editor_model* m, int y, bool fine)
{
    if (m->gesture_index < 0 || !m->dragging)
        return;
    const param_range& p = mm_param_range(m->gesture_index);
    if (fine != m->drag_fine) {
        // Switching between fine and coarse re-anchors where the knob now stands.
        m->drag_anchor_value = m->values[m->gesture_index];
        m->drag_anchor_y = y;
        m->drag_fine = fine;
        return;
    }
    double per_pixel = (p.max - p.min) / model_drag_pixels * (fine ? model_fine_factor : 1.0);
    double v = m->drag_anchor_value + (m->drag_anchor_y - y) * per_pixel;
    model_change(m, v);
}

void model_wheel(editor_model* m, int index, int notches, bool fine)
{
    const param_range& p = mm_param_range(index);
    if (p.toggle) {
        model_gesture(m, index, notches > 0 ? 1.0 : 0.0);
        return;
    }
    double step = (p.max - p.min) * model_wheel_step * (fine ? model_fine_factor : 1.0);
    model_gesture(m, index, m->values[index] + notches * step);
}

void model_apply_remote(editor_model* m, int index, float value)
{
    if (index < 0 || index >= mm_param_count || value != value)
        return;
    // The control under the user's hand stays where the user puts it: the host's
    // echoes of the gesture's own values arrive late and would pull it back.
    if (index == m->gesture_index)
        return;
    m->values[index] = mm_param_clamp(index, value);
}

static void apply_values(editor_model* m, const float values[mm_param_count], bool every)
{
    if (m->gesture_index >= 0)
        model_end(m);
    bool any = false;
    for (int i = 0; i < mm_param_count; i++) {
        float v = mm_param_clamp(i, values[i]);
        if (values[i] != values[i] || (v == m->values[i] && !every))
            continue;
        send_param(m, 'b', i, m->values[i]);
        m->values[i] = v;
        send_param(m, 's', i, v);
        send_param(m, 'e', i, v);
        any = true;
    }
    if (any && m->sink.gesture_ended)
        m->sink.gesture_ended(m->sink.context, m->values);
}

void model_recall(editor_model* m, const float values[mm_param_count]) { apply_values(m, values, false); }

void model_apply_preset(editor_model* m, const float values[mm_param_count]) { apply_values(m, values, true); }

int model_parse_param(const char* body, int* index, float* value)
{
    char* end;
    unsigned long i = strtoul(body, &end, 16);
    if (end == body || *end != ' ')
        return -1;
    const char* v = end + 1;
    unsigned long bits = strtoul(v, &end, 16);
    if (end == v || bits > 0xFFFFFFFFul || i >= (unsigned long)mm_param_count)
        return -1;
    *index = (int)i;
    *value = std::bit_cast<float>((uint32_t)bits);
    return 0;
}
