#include "preset/preset_metadata.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "preset/vst_preset.h"

// The length of the UTF-8 character at text (at most len bytes), or 0 when the bytes are
// not a valid shortest-form character.
static size_t utf8_char_length(const uint8_t* s, size_t len) {
    const uint8_t b = s[0];
    if (b < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        cp = b & 0x07u;
    } else {
        return 0;  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF
    }
    if (len < n) return 0;
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0u) != 0x80u) return 0;
        cp = cp << 6 | (s[i] & 0x3Fu);
    }
    const uint32_t shortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < shortest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool preset_text_ok(const char* text, size_t len) {
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    for (size_t i = 0; i < len;) {
        if (s[i] < 0x20 || s[i] == 0x7F) return false;
        const size_t n = utf8_char_length(s + i, len - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

size_t preset_text_fit(const char* text, size_t len, size_t limit) {
    if (len <= limit) return len;
    size_t n = limit;
    // Step back over continuation bytes to the start of the character that does not fit.
    while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0u) == 0x80u) n--;
    return n;
}

// ---- writing ----

namespace {
struct text_buffer {
    char* data;
    size_t size, capacity;
    bool failed;
};
}  // namespace

static void put(text_buffer* b, const char* text, size_t len) {
    if (b->failed) return;
    if (b->size + len + 1 > b->capacity) {
        size_t capacity = b->capacity ? b->capacity : 512;
        while (b->size + len + 1 > capacity) capacity *= 2;
        char* grown = static_cast<char*>(realloc(b->data, capacity));
        if (!grown) {
            b->failed = true;
            return;
        }
        b->data = grown;
        b->capacity = capacity;
    }
    memcpy(b->data + b->size, text, len);
    b->size += len;
    b->data[b->size] = '\0';
}

static void put_str(text_buffer* b, const char* text) { put(b, text, strlen(text)); }

// The text as an attribute value: the five characters XML gives meaning escaped.
static void put_escaped(text_buffer* b, const char* text) {
    for (const char* c = text; *c; c++) {
        switch (*c) {
            case '&': put_str(b, "&amp;"); break;
            case '<': put_str(b, "&lt;"); break;
            case '>': put_str(b, "&gt;"); break;
            case '"': put_str(b, "&quot;"); break;
            case '\'': put_str(b, "&apos;"); break;
            default: put(b, c, 1);
        }
    }
}

static void put_attr(text_buffer* b, const char* id, const char* value, bool fixed) {
    put_str(b, "\t<Attr id=\"");
    put_str(b, id);
    put_str(b, "\" value=\"");
    put_escaped(b, value);
    // The plug-in's own descriptions are not the user's to edit in a preset browser.
    put_str(b, fixed ? "\" type=\"string\" flags=\"writeProtected\"/>\n" : "\" type=\"string\"/>\n");
}

// A text field that ends within its array and passes preset_text_ok.
template <size_t N>
static bool field_ok(const char (&field)[N]) {
    const void* end = memchr(field, '\0', N);
    return end && preset_text_ok(field, static_cast<size_t>(static_cast<const char*>(end) - field));
}

char* preset_metadata_write(const vst_preset* p, size_t* size) {
    if (!field_ok(p->name) || !field_ok(p->category)) {
        errno = EINVAL;
        return nullptr;
    }
    text_buffer b = {};
    put_str(&b, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<MetaInfo>\n");
    put_attr(&b, "MediaType", "VstPreset", true);
    put_attr(&b, "PlugInName", "Vellum Grist Saturator", true);
    put_attr(&b, "PlugInCategory", "Fx|Distortion", true);
    put_attr(&b, "Name", p->name, false);
    if (p->category[0]) put_attr(&b, "MusicalCategory", p->category, false);
    put_str(&b, "</MetaInfo>\n");
    if (b.failed) {
        free(b.data);
        errno = ENOMEM;
        return nullptr;
    }
    *size = b.size;
    return b.data;
}

// ---- reading ----

namespace {
struct xml_cursor {
    const uint8_t* at;
    const uint8_t* end;
};

// An attribute value as found: the raw bytes between the quotes.
struct raw_text {
    const uint8_t* bytes;
    size_t len;
};
}  // namespace

constexpr int max_depth = 32;

static bool is_xml_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

static void skip_space(xml_cursor* x) {
    while (x->at < x->end && is_xml_space(*x->at)) x->at++;
}

static bool starts_with(const xml_cursor* x, const char* text) {
    const size_t n = strlen(text);
    return static_cast<size_t>(x->end - x->at) >= n && memcmp(x->at, text, n) == 0;
}

// Moves past the next occurrence of text; false when there is none.
static bool skip_past(xml_cursor* x, const char* text) {
    const size_t n = strlen(text);
    for (const uint8_t* p = x->at; static_cast<size_t>(x->end - p) >= n; p++) {
        if (memcmp(p, text, n) == 0) {
            x->at = p + n;
            return true;
        }
    }
    return false;
}

static bool is_name_byte(uint8_t c, bool first) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80) return true;
    return !first && ((c >= '0' && c <= '9') || c == '-' || c == '.');
}

static bool read_name(xml_cursor* x, raw_text* name) {
    name->bytes = x->at;
    while (x->at < x->end && is_name_byte(*x->at, x->at == name->bytes)) x->at++;
    name->len = static_cast<size_t>(x->at - name->bytes);
    return name->len > 0;
}

static bool name_is(const raw_text& name, const char* text) {
    return name.len == strlen(text) && memcmp(name.bytes, text, name.len) == 0;
}

static size_t put_utf8(uint32_t cp, uint8_t* out) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | cp >> 6);
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | cp >> 12);
        out[1] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | cp >> 18);
    out[1] = static_cast<uint8_t>(0x80 | (cp >> 12 & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
}

// The entity after '&' (up to and including ';') as a character; 0 when unknown or
// not a character XML allows.
static uint32_t read_entity(const uint8_t** at, const uint8_t* end) {
    static const struct {
        const char* name;
        uint32_t cp;
    } named[] = {{"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
    const uint8_t* p = *at;
    for (const auto& e : named) {
        const size_t n = strlen(e.name);
        if (static_cast<size_t>(end - p) >= n && memcmp(p, e.name, n) == 0) {
            *at = p + n;
            return e.cp;
        }
    }
    if (p >= end || *p != '#') return 0;
    p++;
    const bool hex = p < end && *p == 'x';
    if (hex) p++;
    uint32_t cp = 0;
    const uint8_t* digits = p;
    for (; p < end && *p != ';'; p++) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else if (hex && *p >= 'a' && *p <= 'f')
            d = *p - 'a' + 10;
        else if (hex && *p >= 'A' && *p <= 'F')
            d = *p - 'A' + 10;
        else
            return 0;
        cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
        if (cp > 0x10FFFF) return 0;
    }
    if (p >= end || p == digits) return 0;
    if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
    if (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') return 0;
    *at = p + 1;
    return cp;
}

// Decodes an attribute value's entities into out (which has room for raw.len bytes);
// the decoded length, or -1 when an entity is malformed.
static long decode_value(const raw_text& raw, uint8_t* out) {
    size_t n = 0;
    const uint8_t* end = raw.bytes + raw.len;
    for (const uint8_t* p = raw.bytes; p < end;) {
        if (*p != '&') {
            out[n++] = *p++;
            continue;
        }
        p++;
        const uint32_t cp = read_entity(&p, end);
        if (cp == 0) return -1;
        // An entity is never shorter than the character it stands for.
        n += put_utf8(cp, out + n);
    }
    return static_cast<long>(n);
}

// Copies a decoded attribute value into a text field: checked, then cut to fit.
template <size_t N>
static bool store_text(const raw_text& raw, char (&field)[N]) {
    uint8_t* decoded = static_cast<uint8_t*>(malloc(raw.len + 1));
    if (!decoded) return false;
    const long n = decode_value(raw, decoded);
    const char* text = reinterpret_cast<const char*>(decoded);
    const bool ok = n >= 0 && preset_text_ok(text, static_cast<size_t>(n));
    if (ok) {
        const size_t kept = preset_text_fit(text, static_cast<size_t>(n), N - 1);
        memcpy(field, text, kept);
        field[kept] = '\0';
    }
    free(decoded);
    return ok;
}

// One start tag after its '<': the name, attributes until '>' or "/>". For an "Attr"
// element, its "id" and "value" attributes are kept.
static bool read_start_tag(xml_cursor* x, raw_text* name, bool* empty, raw_text* id, raw_text* value) {
    if (!read_name(x, name)) return false;
    *id = *value = {nullptr, 0};
    for (;;) {
        const uint8_t* before = x->at;
        skip_space(x);
        if (x->at >= x->end) return false;
        if (*x->at == '>' || starts_with(x, "/>")) {
            *empty = *x->at == '/';
            x->at += *empty ? 2 : 1;
            return true;
        }
        raw_text attr;
        // Attributes are separated from the name and each other by white space.
        if (x->at == before || !read_name(x, &attr)) return false;
        skip_space(x);
        if (x->at >= x->end || *x->at != '=') return false;
        x->at++;
        skip_space(x);
        if (x->at >= x->end || (*x->at != '"' && *x->at != '\'')) return false;
        const uint8_t quote = *x->at++;
        raw_text text = {x->at, 0};
        while (x->at < x->end && *x->at != quote) {
            if (*x->at == '<') return false;
            x->at++;
        }
        if (x->at >= x->end) return false;
        text.len = static_cast<size_t>(x->at - text.bytes);
        x->at++;
        // Every value's entities must be well formed, kept or not.
        uint8_t scratch[8];
        for (const uint8_t* p = text.bytes; p < text.bytes + text.len;) {
            if (*p++ != '&') continue;
            const uint32_t cp = read_entity(&p, text.bytes + text.len);
            if (cp == 0) return false;
            (void)put_utf8(cp, scratch);
        }
        if (name_is(attr, "id")) *id = text;
        if (name_is(attr, "value")) *value = text;
    }
}

int preset_metadata_read(const uint8_t* xml, size_t size, vst_preset* p) {
    xml_cursor x = {xml, xml + size};
    if (starts_with(&x, "\xEF\xBB\xBF")) x.at += 3;  // a byte order mark
    raw_text open[max_depth];
    int depth = 0;
    bool had_root = false, got_name = false, got_category = false;
    p->name[0] = p->category[0] = '\0';
    while (x.at < x.end) {
        if (*x.at != '<') {
            // Character data: only white space outside the document's element.
            if (depth == 0 && !is_xml_space(*x.at)) goto malformed;
            x.at++;
            continue;
        }
        if (starts_with(&x, "<?")) {
            if (!skip_past(&x, "?>")) goto malformed;
        } else if (starts_with(&x, "<!--")) {
            if (!skip_past(&x, "-->")) goto malformed;
        } else if (starts_with(&x, "<!")) {
            goto malformed;  // no document type declarations, no CDATA
        } else if (starts_with(&x, "</")) {
            x.at += 2;
            raw_text name;
            if (!read_name(&x, &name)) goto malformed;
            skip_space(&x);
            if (depth == 0 || x.at >= x.end || *x.at != '>') goto malformed;
            const raw_text& top = open[depth - 1];
            if (top.len != name.len || memcmp(top.bytes, name.bytes, name.len) != 0) goto malformed;
            depth--;
            x.at++;
        } else {
            x.at++;
            raw_text name, id, value;
            bool empty = false;
            if (!read_start_tag(&x, &name, &empty, &id, &value)) goto malformed;
            if (depth == 0 && had_root) goto malformed;  // one document element
            had_root = true;
            if (name_is(name, "Attr") && id.bytes && value.bytes) {
                const raw_text key = id;
                if (!got_name && name_is(key, "Name")) {
                    if (!store_text(value, p->name)) goto malformed;
                    got_name = true;
                } else if (!got_category && name_is(key, "MusicalCategory")) {
                    if (!store_text(value, p->category)) goto malformed;
                    got_category = true;
                }
            }
            if (!empty) {
                if (depth == max_depth) goto malformed;
                open[depth++] = name;
            }
        }
    }
    if (depth != 0) goto malformed;
    return 0;

malformed:
    p->name[0] = p->category[0] = '\0';
    errno = EINVAL;
    return -1;
}
