#include "controller/param_table.h"

using namespace vst3;

// Host-visible records, index order. Volume's range is 0..200, so its default of 100
// sits at normalized 0.5; Mix defaults to its maximum.
const ParameterInfo param_info_table[param_count] = {
    {.id = 0x74888ACA, .title = u"Drive", .shortTitle = u"Drive", .units = u"%", .stepCount = 0,
     .defaultNormalizedValue = 0.5, .unitId = kRootUnitId, .flags = kCanAutomate},
    {.id = 0x4C2D6AF2, .title = u"Tone", .shortTitle = u"Tone", .units = u"%", .stepCount = 0,
     .defaultNormalizedValue = 0.5, .unitId = kRootUnitId, .flags = kCanAutomate},
    {.id = 0x18E203D0, .title = u"Heat", .shortTitle = u"Heat", .units = u"%", .stepCount = 0,
     .defaultNormalizedValue = 0.5, .unitId = kRootUnitId, .flags = kCanAutomate},
    {.id = 0x3615B43C, .title = u"Mix", .shortTitle = u"Mix", .units = u"%", .stepCount = 0,
     .defaultNormalizedValue = 1.0, .unitId = kRootUnitId, .flags = kCanAutomate},
    {.id = 0x06DC463A, .title = u"Volume", .shortTitle = u"Volume", .units = u"%", .stepCount = 0,
     .defaultNormalizedValue = 0.5, .unitId = kRootUnitId, .flags = kCanAutomate},
    {.id = 0x08FC0058, .title = u"Bypass", .shortTitle = u"Bypass", .units = u"", .stepCount = 1,
     .defaultNormalizedValue = 0.0, .unitId = kRootUnitId, .flags = kCanAutomate | kIsBypass},
};

const param_range param_range_table[param_count] = {
    {.index = 0, .min = 0.0, .max = 100.0, .default_plain = 50.0, .toggle = false},
    {.index = 1, .min = 0.0, .max = 100.0, .default_plain = 50.0, .toggle = false},
    {.index = 2, .min = 0.0, .max = 100.0, .default_plain = 50.0, .toggle = false},
    {.index = 3, .min = 0.0, .max = 100.0, .default_plain = 100.0, .toggle = false},
    {.index = 4, .min = 0.0, .max = 200.0, .default_plain = 100.0, .toggle = false},
    {.index = 5, .min = 0.0, .max = 1.0, .default_plain = 0.0, .toggle = true},
};

const char* const param_state_keys[param_count] = {"drive", "tone", "heat", "mix", "volume", "bypass"};

static_assert(param_count == 6);

int param_index_of(ParamID id)
{
    for (int i = 0; i < param_count; i++)
        if (param_info_table[i].id == id)
            return i;
    return -1;
}

static bool valid_index(int index) { return index >= 0 && index < param_count; }

double param_to_plain(int index, double normalized)
{
    const param_range& r = param_range_table[index];
    return r.min + (r.max - r.min) * normalized;
}

double param_to_normalized(int index, double plain)
{
    const param_range& r = param_range_table[index];
    return (plain - r.min) / (r.max - r.min);
}

double param_clamp_plain(int index, double plain)
{
    const param_range& r = param_range_table[index];
    if (r.toggle)
        plain = plain >= 0.5 ? 1.0 : 0.0;
    if (plain < r.min)
        return r.min;
    if (plain > r.max)
        return r.max;
    return plain;  // a NaN passes through; callers that must not see one check first
}

double param_apply_normalized(int index, double normalized)
{
    return param_clamp_plain(index, param_to_plain(index, normalized));
}

// The longest text the 128-unit buffer holds: sign, integer digits, ".", two
// decimals and the terminating zero.
static constexpr int max_integer_digits = 128 - 1 - 1 - 2 - 1;

int param_format(int index, double normalized, TChar* buffer)
{
    if (!valid_index(index))
        return -1;
    double v = param_to_plain(index, normalized);
    if (!(v - v == 0.0))  // NaN or an infinity: no digits to print
        return -1;

    TChar text[128];
    int p = 0;
    if (v < 0) {
        text[p++] = u'-';
        v = -v;
    }
    if (v < 1) {
        text[p++] = u'0';
    } else {
        // g becomes the smallest running power of ten above v; count the digits first
        // so that a huge value is refused instead of overrunning the buffer.
        double g = 10;
        int digits = 1;
        while (v >= g) {
            g = g * 10;
            if (++digits > max_integer_digits)
                return -1;
        }
        g = g * 0.1;
        while (g >= 1) {
            int d = (int)(v / g);
            text[p++] = (TChar)(u'0' + d);
            v = v - d * g;
            g = g * 0.1;
        }
    }
    text[p++] = u'.';
    int d1 = (int)(v / 0.1);
    text[p++] = (TChar)(u'0' + d1);
    v = v - d1 * 0.1;
    const double hundredth = 0.1 * 0.1;  // 0.010000000000000002, the running product
    int d2 = (int)(v / hundredth);
    text[p++] = (TChar)(u'0' + d2);
    text[p++] = 0;
    for (int i = 0; i < p; i++)
        buffer[i] = text[i];
    return 0;
}

int param_parse(int index, const TChar* text, double* normalized)
{
    if (!valid_index(index))
        return -1;
    bool negative = false;
    if (*text == u'-') {
        negative = true;
        text++;
    }
    double value = 0;
    while (*text >= u'0' && *text <= u'9') {
        value = value * 10 + (double)(*text - u'0');
        text++;
    }
    if (negative)
        value = -value;
    *normalized = param_to_normalized(index, value);
    return 0;
}
