#include "preset_selector.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

void selector_init(preset_selector* s)
{
    memset(s, 0, sizeof *s);
    s->current = -1;
    s->menu_hover = -1;
}

void selector_free(preset_selector* s)
{
    free(s->items);
    free(s->names);
    selector_init(s);
}

bool selector_values_match(const float a[mm_param_count], const float b[mm_param_count])
{
    for (int i = 0; i < mm_param_count; i++) {
        const param_range& r = mm_param_range(i);
        // The host carries values normalized in double precision; back in single
        // precision they may differ by an ulp or two, far below a millionth of the range.
        if (!(fabs((double)a[i] - (double)b[i]) <= (r.max - r.min) * 1e-6))
            return false;
    }
    return true;
}

static int find_match(const preset_selector* s, const float values[mm_param_count])
{
    for (int i = 0; i < s->count; i++)
        if (selector_values_match(s->items[i].values, values))
            return i;
    return -1;
}

void selector_set_items(preset_selector* s, preset_item* items, int count, int factory_count,
                        const float values[mm_param_count])
{
    char name[sizeof s->items[0].name] = "";
    bool user = false;
    if (s->current >= 0) {
        memcpy(name, s->items[s->current].name, sizeof name);
        user = s->items[s->current].user;
    }
    bool had = s->current >= 0;
    free(s->items);
    free(s->names);
    s->items = items;
    s->count = items ? count : 0;
    s->factory_count = factory_count < s->count ? factory_count : s->count;
    s->names = s->count ? (const char**)malloc(sizeof(const char*) * (size_t)s->count) : nullptr;
    if (!s->names)
        s->count = s->factory_count = 0;
    for (int i = 0; i < s->count; i++)
        s->names[i] = s->items[i].name;
    s->current = -1;
    if (had) {
        for (int i = 0; i < s->count && s->current < 0; i++)
            if (s->items[i].user == user && strcmp(s->items[i].name, name) == 0)
                s->current = i;
    }
    if (s->current < 0 && values)
        s->current = find_match(s, values);
    s->changed = s->current >= 0 && values && !selector_values_match(s->items[s->current].values, values);
    s->menu_hover = -1;
    s->menu_scroll = 0;
}

int selector_step(const preset_selector* s, int direction)
{
    if (s->count == 0)
        return -1;
    if (s->current < 0)
        return direction > 0 ? 0 : s->count - 1;
    return ((s->current + (direction > 0 ? 1 : -1)) % s->count + s->count) % s->count;
}

void selector_choose(preset_selector* s, int index)
{
    if (index < 0 || index >= s->count)
        return;
    s->current = index;
    s->changed = false;
}

void selector_values_moved(preset_selector* s, const float values[mm_param_count])
{
    if (s->current >= 0 && selector_values_match(s->items[s->current].values, values)) {
        s->changed = false;
        return;
    }
    // Values that are exactly another preset's came from it (the host's own preset
    // menu, a state load, an undo): show that one.
    int match = find_match(s, values);
    if (match >= 0) {
        s->current = match;
        s->changed = false;
    } else if (s->current >= 0) {
        s->changed = true;
    }
}

int selector_find_user(const preset_selector* s, const char* name)
{
    for (int i = s->factory_count; i < s->count; i++)
        if (strcmp(s->items[i].name, name) == 0)
            return i;
    return -1;
}
