#include "news/news_messages.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "news/data_files.h"

template <size_t N>
static constexpr size_t prefix_length(const char (&)[N])
{
    return N - 1;
}

static constexpr char init_prefix[] = "tidelV1 init ";
static constexpr char get_news_prefix[] = "tidelV1 getNews ";
static constexpr char new_sid_prefix[] = "tidelV1 newSid ";
static constexpr char sync_news_prefix[] = "tidelV1 syncNews ";
static constexpr char sync_latest_prefix[] = "tidelV1 syncLatest ";
static constexpr char sync_news_force_prefix[] = "tidelV1 syncNewsForce ";
static constexpr char sync_latest_force_prefix[] = "tidelV1 syncLatestForce ";

// A reply is "m " (which the link puts in front), a head and a text of at most
// news_text_limit bytes: every reply fits in one message the editor program accepts.
static_assert(2 + prefix_length("tidelV1 syncLatestConflict ") + news_text_limit <= (1u << 20));

static_assert(prefix_length(init_prefix) == 13 && prefix_length(get_news_prefix) == 16 &&
              prefix_length(new_sid_prefix) == 15 && prefix_length(sync_news_prefix) == 17 &&
              prefix_length(sync_latest_prefix) == 19 &&
              prefix_length(sync_news_force_prefix) == 22 &&
              prefix_length(sync_latest_force_prefix) == 24);

// Sends head + text as one reply. -1 when the reply cannot be built.
static int send_reply(editor_link* link, const char* head, const char* text)
{
    char* reply = concat_strings(head, text, nullptr);
    if (!reply)
        return -1;
    editor_link_send_text(link, reply);
    free(reply);
    return 0;
}

// A token comes from the editor and names the directory under the shared data directory
// that holds its "latest" file. Each of its components must be a plain name: not one
// that climbs out (".."), not one that only repeats a directory (".", or the empty
// component of "a//b", "/a" and "a/"), so that no two tokens reach the same file, and
// not a name of the store's own files, which would otherwise be made as directories
// and break every later read of them, for every instance. The empty token itself names
// "latest" in the data directory.
static bool token_is_plain(const char* token, size_t length)
{
    if (length == 0)
        return true;
    static constexpr std::string_view refused[] = {"", ".", "..", "latest", "tidel-news",
                                                   "tidel-system"};
    size_t start = 0;
    while (start <= length) {
        size_t end = start;
        while (end < length && token[end] != '/')
            ++end;
        const std::string_view component(token + start, end - start);
        for (std::string_view name : refused)
            if (component == name)
                return false;
        start = end + 1;
    }
    return true;
}

static void handle_init(editor_link* link, const char* token)
{
    if (!token_is_plain(token, strlen(token)))
        return;
    char* texts[3] = {};
    if (read_data_file(&texts[0], "tidel-system", nullptr) != 0 ||
        read_data_file(&texts[1], "tidel-news", nullptr) != 0 ||
        read_data_file(&texts[2], token, "latest", nullptr) != 0) {
        for (char* t : texts)
            free(t);
        return;
    }
    // The editor relies on this order and on "initDone" coming last.
    static constexpr const char* heads[3] = {
        "tidelV1 initSid ", "tidelV1 initNews ", "tidelV1 initLatest "};
    for (int i = 0; i < 3; ++i) {
        if (!texts[i])
            continue;
        char* reply = concat_strings(heads[i], texts[i], nullptr);
        free(texts[i]);
        texts[i] = nullptr;
        if (!reply) {
            for (char* t : texts)
                free(t);
            return;
        }
        editor_link_send_text(link, reply);
        free(reply);
    }
    send_reply(link, "tidelV1 initDone ", "");
}

static void handle_get_news(editor_link* link)
{
    char* news = nullptr;
    if (read_data_file(&news, "tidel-news", nullptr) != 0)
        return;
    send_reply(link, get_news_prefix, news ? news : "");
    free(news);
}

static void sync_and_answer(editor_link* link, const char* token, const char* name,
                            const char* payload, const char* conflict_head)
{
    char* current = nullptr;
    if (sync_data_file(token, name, payload, &current) == sync_conflict)
        send_reply(link, conflict_head, current);
    free(current);
}

// Splits "token text" into a copy of the token and the text after the first space.
// Null (message ignored) when there is no space, the copy fails, or the token is not
// plain.
static char* split_token(const char* payload, const char** rest)
{
    const char* space = strchr(payload, ' ');
    if (!space)
        return nullptr;
    size_t length = static_cast<size_t>(space - payload);
    if (!token_is_plain(payload, length))
        return nullptr;
    char* token = strndup(payload, length);
    *rest = space + 1;
    return token;
}

static bool starts_with(const char* text, const char* prefix, size_t length)
{
    return strncmp(text, prefix, length) == 0;
}

void handle_news_message(editor_link* link, const char* text)
{
    // Checked in this order; the first matching prefix wins.
    if (starts_with(text, init_prefix, prefix_length(init_prefix))) {
        handle_init(link, text + prefix_length(init_prefix));
    } else if (starts_with(text, get_news_prefix, prefix_length(get_news_prefix))) {
        handle_get_news(link);
    } else if (starts_with(text, new_sid_prefix, prefix_length(new_sid_prefix))) {
        write_data_file(text + prefix_length(new_sid_prefix), "tidel-system", nullptr);
    } else if (starts_with(text, sync_news_prefix, prefix_length(sync_news_prefix))) {
        sync_and_answer(link, nullptr, "tidel-news", text + prefix_length(sync_news_prefix),
                        "tidelV1 syncNewsConflict ");
    } else if (starts_with(text, sync_latest_prefix, prefix_length(sync_latest_prefix))) {
        const char* payload = nullptr;
        char* token = split_token(text + prefix_length(sync_latest_prefix), &payload);
        if (!token)
            return;
        sync_and_answer(link, token, "latest", payload, "tidelV1 syncLatestConflict ");
        free(token);
    } else if (starts_with(text, sync_news_force_prefix,
                           prefix_length(sync_news_force_prefix))) {
        write_data_file(text + prefix_length(sync_news_force_prefix), "tidel-news", nullptr);
    } else if (starts_with(text, sync_latest_force_prefix,
                           prefix_length(sync_latest_force_prefix))) {
        const char* latest = nullptr;
        char* token = split_token(text + prefix_length(sync_latest_force_prefix), &latest);
        if (!token)
            return;
        write_data_file(latest, token, "latest", nullptr);
        free(token);
    }
}
