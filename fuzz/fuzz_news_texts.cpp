// The editor program's news client on arbitrary replies from the plug-in. An input is
// a series of records separated by zero bytes: the first is the bundled notes (empty:
// none); each further one begins with an action byte, taken modulo 4 (a reply to
// handle, a recall, a gesture's values to store, a latest text to parse), followed by
// its text. After each record the shown notes go through what the window draws of
// them. What the client sends must be one whole news message, a recall must carry six
// values that are not NaN, and a latest text that parses must format back to the same
// values.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "news_client.h"

static void on_send(void*, const char* text, size_t size)
{
    if (strlen(text) != size || strncmp(text, "m tidelV1 ", 10) != 0)
        abort();
}

static void on_recall(void*, const float values[mm_param_count])
{
    for (int i = 0; i < mm_param_count; ++i)
        if (std::isnan(values[i]))
            abort();
}

// What the window takes from the notes: headline, details, body and revision, all
// within the text.
static void draw_notes(const char* notes)
{
    if (!notes)
        return;
    const char* end = notes + strlen(notes);
    char headline[96];
    size_t length = news_headline(notes, headline, sizeof headline);
    if (length >= sizeof headline || strlen(headline) != length)
        abort();
    const char* details = news_details(notes);
    const char* body = news_body(notes);
    if (details < notes || details > end || body < notes || body > end)
        abort();
    char revision[9];
    if (news_revision(notes, revision) && strlen(revision) != 8)
        abort();
}

static void check_latest(const std::string& text)
{
    float values[mm_param_count];
    if (!news_parse_latest(text.c_str(), values))
        return;
    char again[64];
    news_format_latest(values, again);
    float reparsed[mm_param_count];
    if (!news_parse_latest(again, reparsed) || memcmp(values, reparsed, sizeof values) != 0)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    size_t end = input.find('\0');
    if (end == std::string::npos)
        end = input.size();
    const std::string bundled = input.substr(0, end);
    start = end + 1;

    news_client n;
    const news_sink sink = {nullptr, on_send, on_recall};
    news_init(&n, &sink, bundled.empty() ? nullptr : strdup(bundled.c_str()));
    news_start(&n);
    for (int record = 0; record < 16 && start < input.size(); ++record) {
        end = input.find('\0', start);
        if (end == std::string::npos)
            end = input.size();
        if (end == start) {
            ++start;  // an empty record
            continue;
        }
        const char action = input[start];
        const std::string text = input.substr(start + 1, end - start - 1);
        start = end + 1;
        switch (static_cast<unsigned char>(action) % 4) {
        case 0:
            news_handle(&n, text.data(), text.size());
            break;
        case 1:
            news_request_recall(&n);
            break;
        case 2: {
            float values[mm_param_count] = {};
            memcpy(values, text.data(), std::min(sizeof values, text.size()));
            news_store_latest(&n, values);
            break;
        }
        default:
            check_latest(text);
            break;
        }
        draw_notes(n.notes);
    }
    news_free(&n);
    return 0;
}
