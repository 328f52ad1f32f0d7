#include "news_client.h"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "random_bytes.h"

static void send_parts(news_client* n, const char* a, const char* b, const char* c,
                       const char* d)
{
    const char* parts[4] = {a, b, c, d};
    size_t size = 0;
    for (const char* p : parts)
        size += p ? strlen(p) : 0;
    char* text = (char*)malloc(size + 1);
    if (!text)
        return;
    size_t at = 0;
    for (const char* p : parts) {
        if (!p)
            continue;
        size_t len = strlen(p);
        memcpy(text + at, p, len);
        at += len;
    }
    text[at] = 0;
    n->sink.send(n->sink.context, text, at);
    free(text);
}

static char* copy_text(const char* text, size_t size)
{
    char* p = (char*)malloc(size + 1);
    if (!p)
        return nullptr;
    memcpy(p, text, size);
    p[size] = 0;
    return p;
}

static void replace(char** slot, char* value)
{
    free(*slot);
    *slot = value;
}

void news_init(news_client* n, const news_sink* sink, char* bundled)
{
    memset(n, 0, sizeof *n);
    n->sink = *sink;
    n->bundled = bundled;
}

void news_free(news_client* n)
{
    free(n->bundled);
    free(n->notes);
    free(n->sid);
    free(n->latest);
    memset(n, 0, sizeof *n);
}

void news_start(news_client* n)
{
    replace(&n->latest, nullptr);
    send_parts(n, "m tidelV1 init ", news_token, nullptr, nullptr);
}

bool news_revision(const char* text, char revision[9])
{
    for (int i = 0; i < 8; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        revision[i] = text[i];
    }
    revision[8] = 0;
    return true;
}

const char* news_body(const char* text)
{
    char revision[9];
    if (!news_revision(text, revision))
        return text;
    const char* nl = strchr(text, '\n');
    return nl ? nl + 1 : text + strlen(text);
}

// The first non-blank line from `p` on.
static const char* skip_blank_lines(const char* p)
{
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r')
            p++;
        if (*p != '\n')
            return p;
        p++;
    }
}

const char* news_details(const char* text)
{
    const char* p = skip_blank_lines(news_body(text));
    const char* nl = strchr(p, '\n');
    if (!nl)
        return p + strlen(p);
    p = nl + 1;
    // Keep the details' own first-line indentation; drop only empty lines.
    while (*p == '\n' || (*p == '\r' && p[1] == '\n'))
        p += *p == '\r' ? 2 : 1;
    return p;
}

size_t news_headline(const char* text, char* out, size_t capacity)
{
    const char* p = skip_blank_lines(news_body(text));
    const char* end = strchr(p, '\n');
    if (!end)
        end = p + strlen(p);
    while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r'))
        end--;
    size_t size = (size_t)(end - p);
    if (capacity == 0)
        return 0;
    if (size > capacity - 1)
        size = capacity - 1;
    memcpy(out, p, size);
    out[size] = 0;
    return size;
}

// Shows the store's text, or the bundled notes when the store has none.
static void show(news_client* n, const char* text)
{
    const char* src = text && *text ? text : n->bundled;
    replace(&n->notes, src ? copy_text(src, strlen(src)) : nullptr);
}

// Brings the store up to the bundled notes when it holds none or an older revision.
// `stored` is the store's current text, or null when the file is absent.
static void sync_news(news_client* n, const char* stored)
{
    char bundled_rev[9], stored_rev[9];
    if (!n->bundled || !news_revision(n->bundled, bundled_rev)) {
        show(n, stored);
        return;
    }
    if (stored && *stored && news_revision(stored, stored_rev) &&
        strcmp(stored_rev, bundled_rev) >= 0) {
        show(n, stored); // as new as ours, or newer from a later version
        return;
    }
    if (n->sync_attempts >= 2) {
        show(n, stored); // the retry lost too: leave the store to the other writer
        return;
    }
    n->sync_attempts++;
    if (!stored || !*stored)
        send_parts(n, "m tidelV1 syncNews ", "- ", n->bundled, nullptr);
    else if (news_revision(stored, stored_rev))
        send_parts(n, "m tidelV1 syncNews ", stored_rev, " ", n->bundled);
    else
        // Not a notes text at all: a revision check can never match it.
        send_parts(n, "m tidelV1 syncNewsForce ", n->bundled, nullptr, nullptr);
    // An accepted replace is not answered; a conflict reply corrects this.
    show(n, n->bundled);
}

void news_format_latest(const float values[mm_param_count], char out[64])
{
    // The exact bits of each float, so a recall restores the very same values.
    int at = 0;
    for (int i = 0; i < mm_param_count; i++)
        at += snprintf(out + at, (size_t)(64 - at), i ? " %08x" : "%08x",
                       std::bit_cast<uint32_t>(values[i]));
}

bool news_parse_latest(const char* text, float values[mm_param_count])
{
    const char* p = text;
    float parsed[mm_param_count];
    for (int i = 0; i < mm_param_count; i++) {
        if (i > 0) {
            if (*p != ' ')
                return false;
            p++;
        }
        uint32_t bits = 0;
        for (int k = 0; k < 8; k++, p++) {
            char c = *p;
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0)
                return false;
            bits = bits << 4 | (uint32_t)d;
        }
        parsed[i] = std::bit_cast<float>(bits);
        if (parsed[i] != parsed[i])
            return false;
    }
    while (*p == ' ' || *p == '\n' || *p == '\r')
        p++;
    if (*p)
        return false;
    memcpy(values, parsed, sizeof parsed);
    return true;
}

static bool starts(const char* text, size_t size, const char* prefix, const char** rest)
{
    size_t len = strlen(prefix);
    if (size < len || memcmp(text, prefix, len) != 0)
        return false;
    *rest = text + len;
    return true;
}

static void on_init_done(news_client* n)
{
    if (!n->started) {
        n->started = true;
        if (!n->sid) {
            uint8_t id[16];
            char hex[33];
            if (random_bytes(id, sizeof id) == 0) {
                for (int i = 0; i < 16; i++)
                    snprintf(hex + 2 * i, 3, "%02x", id[i]);
                n->sid = copy_text(hex, 32);
                send_parts(n, "m tidelV1 newSid ", hex, nullptr, nullptr);
            }
        }
        char* stored = n->notes; // what the start-up found in the store
        n->notes = nullptr;
        sync_news(n, stored);
        free(stored);
    }
    if (n->recall_pending) {
        n->recall_pending = false;
        float values[mm_param_count];
        if (n->latest && news_parse_latest(n->latest, values) && n->sink.recall)
            n->sink.recall(n->sink.context, values);
    }
}

void news_handle(news_client* n, const char* text, size_t size)
{
    const char* rest;
    // Texts end at their first NUL, as the store keeps them.
    size = strnlen(text, size);
    if (starts(text, size, "tidelV1 initSid ", &rest)) {
        if (*rest && !n->started)
            replace(&n->sid, copy_text(rest, size - (size_t)(rest - text)));
    } else if (starts(text, size, "tidelV1 initNews ", &rest)) {
        if (!n->started)
            replace(&n->notes, copy_text(rest, size - (size_t)(rest - text)));
    } else if (starts(text, size, "tidelV1 initLatest ", &rest)) {
        replace(&n->latest, copy_text(rest, size - (size_t)(rest - text)));
    } else if (starts(text, size, "tidelV1 initDone ", &rest)) {
        on_init_done(n);
    } else if (starts(text, size, "tidelV1 syncNewsConflict ", &rest)) {
        char* current = copy_text(rest, size - (size_t)(rest - text));
        if (current)
            sync_news(n, current);
        free(current);
    }
}

void news_store_latest(news_client* n, const float values[mm_param_count])
{
    char latest[64];
    news_format_latest(values, latest);
    send_parts(n, "m tidelV1 syncLatestForce ", news_token, " ", latest);
}

void news_request_recall(news_client* n)
{
    n->recall_pending = true;
    news_start(n);
}
