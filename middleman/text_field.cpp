#include "text_field.h"

#include <X11/keysym.h>

#include <cstring>

static bool continuation(char c) { return ((unsigned char)c & 0xC0) == 0x80; }

static size_t limit_of(const text_field* f)
{
    return f->max_bytes < text_field_capacity - 1 ? f->max_bytes : text_field_capacity - 1;
}

static void clear(text_field* f)
{
    f->text[0] = 0;
    f->length = 0;
    f->cursor = 0;
    f->all_selected = false;
}

void text_field_start(text_field* f, const char* initial, size_t max_bytes)
{
    memset(f, 0, sizeof *f);
    f->max_bytes = max_bytes;
    size_t n = strlen(initial);
    size_t limit = limit_of(f);
    if (n > limit) {
        n = limit;
        while (n > 0 && continuation(initial[n]))
            n--;
    }
    memcpy(f->text, initial, n);
    f->text[n] = 0;
    f->length = n;
    f->cursor = n;
    f->all_selected = n > 0;
}

static size_t encode_utf8(uint32_t c, char out[4])
{
    if (c < 0x80) {
        out[0] = (char)c;
        return 1;
    }
    if (c < 0x800) {
        out[0] = (char)(0xC0 | (c >> 6));
        out[1] = (char)(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF)
            return 0; // a surrogate is no character
        out[0] = (char)(0xE0 | (c >> 12));
        out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
        return 3;
    }
    if (c < 0x110000) {
        out[0] = (char)(0xF0 | (c >> 18));
        out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
        out[2] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[3] = (char)(0x80 | (c & 0x3F));
        return 4;
    }
    return 0;
}

static text_key_result insert(text_field* f, uint32_t c)
{
    char bytes[4];
    size_t n = encode_utf8(c, bytes);
    if (n == 0)
        return text_key_ignored;
    if (f->all_selected)
        clear(f);
    if (f->length + n > limit_of(f))
        return text_key_ignored; // full: the key does nothing
    memmove(f->text + f->cursor + n, f->text + f->cursor, f->length - f->cursor + 1);
    memcpy(f->text + f->cursor, bytes, n);
    f->length += n;
    f->cursor += n;
    return text_key_edited;
}

static void erase(text_field* f, size_t from, size_t to)
{
    memmove(f->text + from, f->text + to, f->length - to + 1);
    f->length -= to - from;
    f->cursor = from;
}

static size_t previous_boundary(const text_field* f, size_t at)
{
    if (at == 0)
        return 0;
    at--;
    while (at > 0 && continuation(f->text[at]))
        at--;
    return at;
}

static size_t next_boundary(const text_field* f, size_t at)
{
    if (at >= f->length)
        return f->length;
    at++;
    while (at < f->length && continuation(f->text[at]))
        at++;
    return at;
}

static text_key_result move_to(text_field* f, size_t at)
{
    f->all_selected = false;
    f->cursor = at;
    return text_key_moved;
}

text_key_result text_field_key(text_field* f, unsigned long keysym, bool control)
{
    switch (keysym) {
    case XK_Return:
    case XK_KP_Enter:
        return text_key_enter;
    case XK_Escape:
        return text_key_escape;
    case XK_BackSpace:
        if (f->all_selected) {
            clear(f);
            return text_key_edited;
        }
        if (f->cursor == 0)
            return text_key_moved;
        erase(f, previous_boundary(f, f->cursor), f->cursor);
        return text_key_edited;
    case XK_Delete:
    case XK_KP_Delete:
        if (f->all_selected) {
            clear(f);
            return text_key_edited;
        }
        if (f->cursor == f->length)
            return text_key_moved;
        erase(f, f->cursor, next_boundary(f, f->cursor));
        return text_key_edited;
    case XK_Left:
    case XK_KP_Left:
        return move_to(f, f->all_selected ? 0 : previous_boundary(f, f->cursor));
    case XK_Right:
    case XK_KP_Right:
        return move_to(f, f->all_selected ? f->length : next_boundary(f, f->cursor));
    case XK_Home:
    case XK_KP_Home:
        return move_to(f, 0);
    case XK_End:
    case XK_KP_End:
        return move_to(f, f->length);
    default:
        break;
    }
    if (control) {
        if (keysym == XK_a || keysym == XK_A) {
            f->all_selected = f->length > 0;
            f->cursor = f->length;
            return text_key_moved;
        }
        return text_key_ignored; // no control key types a character
    }
    uint32_t c = keysym_code_point(keysym);
    return c ? insert(f, c) : text_key_ignored;
}

uint32_t keysym_code_point(unsigned long keysym)
{
    // Latin-1 keysyms are their own code points; Unicode keysyms carry theirs below
    // 0x01000000 (as xdotool and input methods send characters without a key).
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF))
        return (uint32_t)keysym;
    if (keysym >= 0x01000100 && keysym <= 0x0110FFFF) {
        uint32_t c = (uint32_t)(keysym - 0x01000000);
        return c >= 0xD800 && c <= 0xDFFF ? 0 : c; // a surrogate is no character
    }
    if (keysym >= XK_KP_0 && keysym <= XK_KP_9)
        return (uint32_t)('0' + (keysym - XK_KP_0));
    switch (keysym) {
    case XK_KP_Decimal:
        return '.';
    case XK_KP_Separator:
        return ',';
    case XK_KP_Subtract:
        return '-';
    case XK_KP_Add:
        return '+';
    case XK_KP_Space:
        return ' ';
    default:
        return 0;
    }
}
