#include "typed_value.h"

#include <cmath>
#include <cstring>

#include "param_display.h"
#include "text_field.h"

static bool is_digit(char c) { return c >= '0' && c <= '9'; }
static bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The text the box shows for a typed number: whole digits without leading zeros, then
// the first two decimals, as the host's two truncated decimals read.
static void shown_text(const char* whole, size_t whole_n, const char* fraction, size_t fraction_n,
                       char* out, size_t capacity)
{
    while (whole_n > 1 && *whole == '0') {
        whole++;
        whole_n--;
    }
    size_t n = 0;
    if (whole_n == 0)
        out[n++] = '0';
    for (size_t i = 0; i < whole_n && n + 4 < capacity; i++)
        out[n++] = whole[i];
    out[n++] = '.';
    out[n++] = fraction_n > 0 ? fraction[0] : '0';
    out[n++] = fraction_n > 1 ? fraction[1] : '0';
    out[n] = 0;
}

typed_value typed_value_parse(int index, const char* text)
{
    typed_value out = {typed_unreadable, 0.0f};
    if (index < 0 || index >= mm_param_count || strlen(text) >= text_field_capacity)
        return out;
    const char* p = text;
    while (is_blank(*p))
        p++;
    const char* number = p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    const char* whole = p;
    while (is_digit(*p))
        p++;
    size_t whole_n = (size_t)(p - whole);
    const char* fraction = p;
    size_t fraction_n = 0;
    if (*p == '.' || *p == ',') {
        fraction = ++p;
        while (is_digit(*p))
            p++;
        fraction_n = (size_t)(p - fraction);
    }
    if (whole_n + fraction_n == 0)
        return out;
    while (is_blank(*p))
        p++;
    const char* unit = mm_param_unit(index);
    size_t unit_n = strlen(unit);
    if (unit_n > 0 && strncmp(p, unit, unit_n) == 0)
        p += unit_n;
    while (is_blank(*p))
        p++;
    if (*p)
        return out;

    // The sign and whole digits, read as the host reads its text entries ("+" is not
    // the table's: it reads the digits after it).
    vst3::TChar wide[text_field_capacity];
    size_t n = 0;
    for (const char* c = number[0] == '+' ? number + 1 : number; c < whole + whole_n; c++)
        wide[n++] = (vst3::TChar)*c;
    wide[n] = 0;
    double normalized;
    if (param_parse(index, wide, &normalized) < 0)
        return out;
    double plain = param_to_plain(index, normalized);
    double decimals = 0, scale = 1;
    for (size_t i = 0; i < fraction_n && i < 9; i++) {
        decimals = decimals * 10 + (fraction[i] - '0');
        scale *= 10;
    }
    plain += (negative ? -decimals : decimals) / scale;
    plain += 0.0; // "-0" is 0
    const param_range& r = mm_param_range(index);
    if (!(plain >= r.min && plain <= r.max)) {
        out.verdict = typed_out_of_range;
        return out;
    }

    // The host shows two truncated decimals of a float, so the float nearest 57 reads
    // "56.99". A few steps up (millionths of a percent) find the float that reads as
    // typed, when there is one.
    float value = (float)plain;
    char want[48], got[48];
    shown_text(whole, whole_n, fraction, fraction_n, want, sizeof want);
    if (negative && plain != 0.0) {
        memmove(want + 1, want, strlen(want) + 1);
        want[0] = '-';
    }
    float step = value;
    for (int i = 0; i < 8 && step <= (float)r.max; i++, step = nextafterf(step, INFINITY)) {
        if (mm_param_text(index, step, got, sizeof got) >= 0 && strcmp(got, want) == 0) {
            value = step;
            break;
        }
    }
    out.verdict = typed_ok;
    out.value = value;
    return out;
}
