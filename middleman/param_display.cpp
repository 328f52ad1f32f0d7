#include "param_display.h"

#include <cstring>

// Titles and units are 16-bit strings in the table; the editor draws ASCII.
static void narrow(const vst3::TChar* in, char* out, size_t capacity)
{
    size_t n = 0;
    for (; in[n] && n + 1 < capacity; n++)
        out[n] = in[n] < 128 ? (char)in[n] : '?';
    out[n] = 0;
}

const char* mm_param_name(int index)
{
    static char names[mm_param_count][32];
    if (!names[index][0])
        narrow(param_info_table[index].title, names[index], sizeof names[index]);
    return names[index];
}

const char* mm_param_unit(int index)
{
    static char units[mm_param_count][8];
    static bool done[mm_param_count];
    if (!done[index]) {
        narrow(param_info_table[index].units, units[index], sizeof units[index]);
        done[index] = true;
    }
    return units[index];
}

float mm_param_clamp(int index, double plain)
{
    return (float)param_clamp_plain(index, plain);
}

int mm_param_text(int index, double plain, char* out, size_t capacity)
{
    if (index < 0 || index >= mm_param_count)
        return -1;
    vst3::TChar text[128];
    if (param_format(index, param_to_normalized(index, plain), text) < 0)
        return -1;
    size_t n = 0;
    while (text[n])
        n++;
    if (n + 1 > capacity)
        return -1;
    narrow(text, out, capacity);
    return (int)n;
}
