// Several processes at once run the editor's optimistic update loop against one news
// file: send a replace based on the revision last seen, and on a conflict take the
// file's current contents as the new base. The accepted replaces must form one
// unbroken chain of revisions (none lost), and every text seen must be whole.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "news/news_fixture.h"
#include "news/news_messages.h"

namespace {

constexpr int process_count = 4;
constexpr int attempts_per_process = 400;
constexpr size_t revision_size = 8;
const std::string conflict_head = "tidelV1 syncNewsConflict ";
const std::string get_news_head = "tidelV1 getNews ";

// A text is its revision, the base it was written on and a body whose length and
// bytes follow from the revision, so a torn or mixed text cannot pass for whole.
std::string record(const std::string& revision, const std::string& base)
{
    unsigned hash = 2166136261u;
    for (char c : revision)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    std::string body(500 + hash % 4000, ' ');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>('a' + (hash + i * 7) % 26);
    return revision + " " + base + " " + body;
}

bool whole(const std::string& text)
{
    return text.size() > 2 * revision_size + 2 &&
           text == record(text.substr(0, revision_size),
                          text.substr(revision_size + 1, revision_size));
}

std::vector<std::string> ask(editor_link* link, const std::string& message)
{
    sent_texts().clear();
    handle_news_message(link, message.c_str());
    std::vector<std::string> replies;
    for (const sent_text& sent : sent_texts())
        replies.push_back(sent.text);
    return replies;
}

bool starts_with(const std::string& text, const std::string& head)
{
    return text.compare(0, head.size(), head) == 0;
}

// One editor's loop. Writes "A new base" for an accepted replace, "C" for a conflict
// and "E why" for anything wrong to its log; returns false on any error.
bool hammer(editor_link* link, int id, int start_fd, FILE* log)
{
    char go;
    if (read(start_fd, &go, 1) != 0)
        return false;
    bool ok = true;
    auto fail = [&](const char* why) {
        fprintf(log, "E %s\n", why);
        ok = false;
    };
    std::vector<std::string> replies = ask(link, "tidelV1 getNews ");
    if (replies.size() != 1 || !starts_with(replies[0], get_news_head) ||
        !whole(replies[0].substr(get_news_head.size()))) {
        fail("first getNews");
        return false;
    }
    std::string known = replies[0].substr(get_news_head.size(), revision_size);
    for (int k = 0; k < attempts_per_process; ++k) {
        char revision[revision_size + 1];
        snprintf(revision, sizeof revision, "%c%07d", 'A' + id, k);
        replies = ask(link, "tidelV1 syncNews " + known + " " + record(revision, known));
        if (replies.empty()) {
            fprintf(log, "A %s %s\n", revision, known.c_str());
            known = revision;
        } else if (replies.size() == 1 && starts_with(replies[0], conflict_head)) {
            std::string current = replies[0].substr(conflict_head.size());
            if (!whole(current))
                fail("torn conflict contents");
            else if (current.compare(0, revision_size, known) == 0)
                fail("conflict although the base matched");
            fprintf(log, "C\n");
            known = current.substr(0, revision_size);
        } else {
            fail("unexpected reply to syncNews");
        }
        if (k % 5 == 0) {
            replies = ask(link, "tidelV1 getNews ");
            if (replies.size() != 1 || !whole(replies[0].substr(get_news_head.size())))
                fail("torn getNews");
        }
    }
    return ok;
}

} // namespace

using news_race = news_store;

TEST_F(news_race, concurrent_conditional_replaces_lose_nothing)
{
    const std::string first = "INIT0000";
    ASSERT_TRUE(ask(link, "tidelV1 syncNews - " + record(first, "........")).empty());

    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int id = 0; id < process_count; ++id) {
        std::string log_path = root + "/log" + std::to_string(id);
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(start[1]);
            FILE* log = fopen(log_path.c_str(), "w");
            bool ok = log && hammer(link, id, start[0], log);
            if (log)
                fclose(log);
            _exit(ok ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    close(start[0]);
    close(start[1]);  // every child starts at once
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::map<std::string, std::string> next;  // base revision -> the revision stored on it
    int accepted = 0, conflicts = 0;
    for (int id = 0; id < process_count; ++id) {
        std::optional<std::string> log = slurp(root + "/log" + std::to_string(id));
        ASSERT_TRUE(log);
        size_t at = 0;
        while (at < log->size()) {
            size_t end = log->find('\n', at);
            std::string line = log->substr(at, end - at);
            at = end + 1;
            if (line[0] == 'A') {
                std::string revision = line.substr(2, revision_size);
                std::string base = line.substr(3 + revision_size);
                // Two replaces accepted on one base: the earlier one was lost.
                EXPECT_TRUE(next.emplace(base, revision).second) << "two replaces on " << base;
                ++accepted;
            } else if (line[0] == 'C') {
                ++conflicts;
            } else {
                ADD_FAILURE() << "process " << id << ": " << line;
            }
        }
    }
    EXPECT_EQ(accepted + conflicts, process_count * attempts_per_process);
    // Four processes started together on one file cannot all pass each other by.
    EXPECT_GT(conflicts, 0);

    // Following the chain from the first text visits every accepted replace and ends
    // at what the file holds now.
    std::string tip = first;
    int steps = 0;
    for (auto it = next.find(tip); it != next.end() && steps <= accepted; it = next.find(tip)) {
        tip = it->second;
        ++steps;
    }
    EXPECT_EQ(steps, accepted);
    std::optional<std::string> final_text = slurp(store + "/tidel-news");
    ASSERT_TRUE(final_text);
    EXPECT_TRUE(whole(*final_text));
    EXPECT_EQ(final_text->substr(0, revision_size), tip);
    RecordProperty("accepted", accepted);
    RecordProperty("conflicts", conflicts);
}
