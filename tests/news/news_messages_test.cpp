// The "tidelV1" messages: which file each one reads or replaces, and the exact replies
// and their order, as the editor link would send them.
#include "news/news_messages.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "news/data_files.h"
#include "news/news_fixture.h"

class news_messages : public news_store {
protected:
    // Handles one message and returns the replies it sent, all on the asking link.
    std::vector<std::string> ask(const std::string& message)
    {
        sent_texts().clear();
        handle_news_message(link, message.c_str());
        std::vector<std::string> replies;
        for (const sent_text& sent : sent_texts()) {
            EXPECT_EQ(sent.link, link);
            replies.push_back(sent.text);
        }
        return replies;
    }
    void put(const std::string& relative, const std::string& contents)
    {
        size_t slash = relative.rfind('/');
        std::string dir = slash == std::string::npos ? "" : relative.substr(0, slash);
        ASSERT_EQ(make_data_dirs(0, dir.c_str(), nullptr), 0);
        spill(store + "/" + relative, contents);
    }
    using replies = std::vector<std::string>;
};

TEST_F(news_messages, init_answers_what_is_present_in_fixed_order_then_done)
{
    EXPECT_EQ(ask("tidelV1 init tok"), replies{"tidelV1 initDone "});

    put("tidel-system", "sid text");
    put("tidel-news", "REV00001 news text");
    put("tok/latest", "latest text");
    EXPECT_EQ(ask("tidelV1 init tok"),
              (replies{"tidelV1 initSid sid text", "tidelV1 initNews REV00001 news text",
                       "tidelV1 initLatest latest text", "tidelV1 initDone "}));

    // Another token has no latest text; an empty news file still answers, ending in
    // the space.
    put("tidel-news", "");
    EXPECT_EQ(ask("tidelV1 init other"),
              (replies{"tidelV1 initSid sid text", "tidelV1 initNews ", "tidelV1 initDone "}));

    // The empty token names "latest" in the data directory itself.
    put("latest", "top-level latest");
    EXPECT_EQ(ask("tidelV1 init ").at(2), "tidelV1 initLatest top-level latest");
}

TEST_F(news_messages, init_says_nothing_when_a_read_fails)
{
    put("tidel-system", "sid text");
    // "tok/latest" runs through a regular file: a failed read, not an absent one.
    put("tok", "a file where the token's directory belongs");
    EXPECT_EQ(ask("tidelV1 init tok"), replies{});
}

TEST_F(news_messages, get_news_and_replaces_without_reply)
{
    EXPECT_EQ(ask("tidelV1 getNews "), replies{"tidelV1 getNews "});
    EXPECT_FALSE(exists(store)) << "reading makes no directory";

    EXPECT_EQ(ask("tidelV1 syncNewsForce REV00001 forced"), replies{});
    EXPECT_EQ(ask("tidelV1 getNews anything after the space"),
              replies{"tidelV1 getNews REV00001 forced"});
    EXPECT_EQ(ask("tidelV1 syncNewsForce "), replies{});
    EXPECT_EQ(slurp(store + "/tidel-news"), "");

    EXPECT_EQ(ask("tidelV1 newSid sid 1"), replies{});
    EXPECT_EQ(ask("tidelV1 newSid sid 2"), replies{});
    EXPECT_EQ(slurp(store + "/tidel-system"), "sid 2");
}

TEST_F(news_messages, near_misses_of_a_prefix_are_ignored)
{
    put("tidel-news", "REV00001 news");
    for (const char* message :
         {"tidelV1 getNews", "tidelv1 getNews ", "TIDELV1 GETNEWS ", "tidelV1 getnews ",
          "tidelV1 Init tok", "tidelV1 init", "tidelV2 getNews ", " tidelV1 getNews ", "",
          "tidelV1 syncNewsForce", "tidelV1 syncnews REV00001 x", "tidelV1  getNews "}) {
        EXPECT_EQ(ask(message), replies{}) << '"' << message << '"';
    }
    EXPECT_EQ(slurp(store + "/tidel-news"), "REV00001 news");
    EXPECT_FALSE(exists(store + "/tidel-system"));
}

TEST_F(news_messages, sync_news_stores_on_matching_base_and_answers_conflicts)
{
    put("tidel-news", "REV00001 first");
    EXPECT_EQ(ask("tidelV1 syncNews REV00001 REV00002 second"), replies{});
    EXPECT_EQ(slurp(store + "/tidel-news"), "REV00002 second");

    EXPECT_EQ(ask("tidelV1 syncNews REV00001 REV00003 stale"),
              replies{"tidelV1 syncNewsConflict REV00002 second"});
    EXPECT_EQ(slurp(store + "/tidel-news"), "REV00002 second");

    EXPECT_EQ(ask("tidelV1 syncNews - only if empty"),
              replies{"tidelV1 syncNewsConflict REV00002 second"});

    put("tidel-news", "");
    EXPECT_EQ(ask("tidelV1 syncNews - only if empty"), replies{});
    EXPECT_EQ(slurp(store + "/tidel-news"), "only if empty");
    // A conflict with an empty file cannot happen, but one with a file holding less
    // than a revision can, and carries it whole.
    put("tidel-news", "tiny");
    EXPECT_EQ(ask("tidelV1 syncNews tinyxxxx x"), replies{"tidelV1 syncNewsConflict tiny"});
}

TEST_F(news_messages, latest_files_are_kept_per_token)
{
    EXPECT_EQ(ask("tidelV1 syncLatest b - B0000001 b one"), replies{});
    EXPECT_EQ(ask("tidelV1 syncLatest c - C0000001 c one"), replies{});
    EXPECT_EQ(slurp(store + "/b/latest"), "B0000001 b one");
    EXPECT_EQ(slurp(store + "/c/latest"), "C0000001 c one");

    // Token b's revision is not token c's base, and the conflict does not repeat the
    // token.
    EXPECT_EQ(ask("tidelV1 syncLatest c B0000001 C0000002 c two"),
              replies{"tidelV1 syncLatestConflict C0000001 c one"});
    EXPECT_EQ(ask("tidelV1 syncLatest b B0000001 B0000002 b two"), replies{});
    EXPECT_EQ(slurp(store + "/b/latest"), "B0000002 b two");
    EXPECT_EQ(slurp(store + "/c/latest"), "C0000001 c one");

    EXPECT_EQ(ask("tidelV1 syncLatestForce c c forced, with spaces"), replies{});
    EXPECT_EQ(slurp(store + "/c/latest"), "c forced, with spaces");
    EXPECT_EQ(slurp(store + "/b/latest"), "B0000002 b two");

    // Nested and empty tokens.
    EXPECT_EQ(ask("tidelV1 syncLatestForce deep/er nested"), replies{});
    EXPECT_EQ(slurp(store + "/deep/er/latest"), "nested");
    EXPECT_EQ(ask("tidelV1 syncLatest  - top"), replies{});
    EXPECT_EQ(slurp(store + "/latest"), "top");
    EXPECT_EQ(ask("tidelV1 init "),
              (replies{"tidelV1 initLatest top", "tidelV1 initDone "}));
    EXPECT_EQ(ask("tidelV1 init deep/er"),
              (replies{"tidelV1 initLatest nested", "tidelV1 initDone "}));
}

// Every message that takes a token, for one token.
static std::vector<std::string> token_messages(const std::string& token)
{
    return {"tidelV1 init " + token, "tidelV1 syncLatest " + token + " - text",
            "tidelV1 syncLatest " + token + " REV00001 text",
            "tidelV1 syncLatestForce " + token + " text"};
}

TEST_F(news_messages, tokens_that_leave_the_store_or_collide_with_its_files_are_refused)
{
    // Something a climbing token could otherwise read back.
    ASSERT_EQ(mkdir((root + "/xdg").c_str(), 0755), 0);
    spill(root + "/xdg/latest", "outside");
    for (const char* token : {"..", "../escape", "a/..", "a/../../escape", "a/../b", "/..",
                              "tidel-news", "tidel-system", "latest", "a/latest",
                              "./tidel-news", "tidel-news/", "/tidel-system", "a//tidel-news",
                              ".", "a/.", "a//b", "/a", "a/", "/", "//"}) {
        for (const std::string& message : token_messages(token))
            EXPECT_EQ(ask(message), replies{}) << message;
    }
    EXPECT_FALSE(exists(store));
    EXPECT_FALSE(exists(root + "/xdg/escape"));
    EXPECT_FALSE(exists(root + "/escape"));
    EXPECT_EQ(slurp(root + "/xdg/latest"), "outside");

    // Dots that neither climb nor repeat a directory, and the editor's own token, are
    // ordinary names.
    EXPECT_EQ(ask("tidelV1 syncLatestForce ... three dots"), replies{});
    EXPECT_EQ(ask("tidelV1 syncLatestForce a..b/.x dotted"), replies{});
    EXPECT_EQ(ask("tidelV1 syncLatestForce vellum-grist-saturator 42480000"), replies{});
    EXPECT_EQ(slurp(store + "/.../latest"), "three dots");
    EXPECT_EQ(slurp(store + "/a..b/.x/latest"), "dotted");
    EXPECT_EQ(slurp(store + "/vellum-grist-saturator/latest"), "42480000");
}

TEST_F(news_messages, no_sequence_of_token_messages_breaks_the_store_for_the_editor)
{
    // Random tokens built from the pieces that matter, in random messages; afterwards the
    // store's own files are still files and the editor's start-up is answered in full.
    put("tidel-news", "REV00001 news");
    put("tidel-system", "sid");
    const char* pieces[] = {"tidel-news", "tidel-system", "latest", ".", "..", "", "a", "b.", "x"};
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    for (int round = 0; round < 400; ++round) {
        std::string token;
        for (unsigned n = next() % 4, i = 0; i <= n; ++i)
            token += (i ? "/" : "") + std::string(pieces[next() % std::size(pieces)]);
        const std::vector<std::string> messages = token_messages(token);
        ask(messages[next() % messages.size()]);
    }
    EXPECT_EQ(slurp(store + "/tidel-news"), "REV00001 news");
    EXPECT_EQ(slurp(store + "/tidel-system"), "sid");
    // Whatever was made: directories with plain names, and files only where files belong.
    static std::vector<std::string> misplaced;
    misplaced.clear();
    nftw(root.c_str(), [](const char* path, const struct stat*, int type, FTW* at) {
        const std::string name = path + at->base;
        const bool store_file = name == "latest" || name == "tidel-news" || name == "tidel-system";
        if (type == FTW_F ? !store_file : store_file)
            misplaced.push_back(path);
        return 0;
    }, 16, FTW_PHYS);
    EXPECT_EQ(misplaced, std::vector<std::string>{});
    EXPECT_FALSE(exists(root + "/xdg/latest"));
    EXPECT_EQ(ask("tidelV1 syncLatestForce vellum-grist-saturator 1"), replies{});
    EXPECT_EQ(ask("tidelV1 init vellum-grist-saturator"),
              (replies{"tidelV1 initSid sid", "tidelV1 initNews REV00001 news",
                       "tidelV1 initLatest 1", "tidelV1 initDone "}));
    EXPECT_EQ(ask("tidelV1 getNews "), replies{"tidelV1 getNews REV00001 news"});
}

TEST_F(news_messages, malformed_sync_requests_are_ignored)
{
    // No space after the token: nothing to split, nothing touched.
    EXPECT_EQ(ask("tidelV1 syncLatest tokenonly"), replies{});
    EXPECT_EQ(ask("tidelV1 syncLatestForce tokenonly"), replies{});
    // Payloads shorter than their header.
    for (const char* message : {"tidelV1 syncNews ", "tidelV1 syncNews -", "tidelV1 syncNews REV0001",
                                "tidelV1 syncNews REV00001", "tidelV1 syncLatest t ",
                                "tidelV1 syncLatest t -", "tidelV1 syncLatest t REV00001"})
        EXPECT_EQ(ask(message), replies{}) << '"' << message << '"';
    EXPECT_FALSE(exists(store));

    put("tidel-news", "REV00001 kept");
    put("t/latest", "REV00001 kept");
    EXPECT_EQ(ask("tidelV1 syncNews REV00001"), replies{});
    EXPECT_EQ(ask("tidelV1 syncLatest t -"), replies{});
    EXPECT_EQ(slurp(store + "/tidel-news"), "REV00001 kept");
    EXPECT_EQ(slurp(store + "/t/latest"), "REV00001 kept");
}

TEST_F(news_messages, a_text_longer_than_an_editor_message_is_never_read_sent_or_stored)
{
    // The longest text the store serves goes out whole; one byte more and the file counts
    // as unreadable: no reply (not even "initDone"), and the file stays exactly as it is.
    const std::string longest(news_text_limit, 'n');
    const std::string too_long = "REV00001" + std::string(news_text_limit - 7, 'x');
    put("tidel-system", "sid");
    put("tidel-news", longest);
    put("tok/latest", "REV00001 latest");
    replies start = ask("tidelV1 init tok");
    ASSERT_EQ(start.size(), 4u);
    EXPECT_EQ(start[1], "tidelV1 initNews " + longest);

    const struct {
        const char* file;
        std::vector<std::string> messages;
    } cases[] = {
        {"tidel-news",
         {"tidelV1 init tok", "tidelV1 getNews ", "tidelV1 syncNews OTHERREV new text"}},
        {"tidel-system", {"tidelV1 init tok"}},
        {"tok/latest", {"tidelV1 init tok", "tidelV1 syncLatest tok OTHERREV new text"}},
    };
    for (const auto& c : cases) {
        const std::string path = store + "/" + c.file;
        const std::optional<std::string> kept = slurp(path);
        put(c.file, too_long);
        for (const std::string& message : c.messages)
            EXPECT_EQ(ask(message), replies{}) << c.file << ": " << message;
        EXPECT_EQ(slurp(path), too_long) << c.file;
        put(c.file, *kept);
    }

    // A text that long from the editor is not stored either, forced or not.
    for (const std::string& message :
         {"tidelV1 syncNewsForce " + too_long, "tidelV1 syncNews nnnnnnnn " + too_long,
          "tidelV1 newSid " + too_long, "tidelV1 syncLatestForce tok " + too_long})
        EXPECT_EQ(ask(message), replies{});
    EXPECT_EQ(ask("tidelV1 init tok"), start);
    errno = 0;
    EXPECT_EQ(write_data_file(too_long.c_str(), "tidel-news", nullptr), -1);
    EXPECT_EQ(errno, EFBIG);
}

// A tmpfs of a few pages mounted over a scratch directory: a real full disk. Needs root
// (or the right to mount); the test says so and is skipped otherwise.
class full_disk : public news_messages {
protected:
    void SetUp() override
    {
        news_messages::SetUp();
        mount_point = root + "/xdg";
        ASSERT_EQ(mkdir(mount_point.c_str(), 0700), 0);
        if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno)
                         << "): a full disk needs root and the right to mount";
        mounted = true;
    }
    void TearDown() override
    {
        if (mounted)
            umount2(mount_point.c_str(), MNT_DETACH);
        news_messages::TearDown();
    }
    // Writes a filler file until the file system has no page left.
    void fill()
    {
        int fd = open((mount_point + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        const std::string page(4096, 'f');
        while (write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size())) {
        }
        EXPECT_EQ(errno, ENOSPC);
        close(fd);
    }
    std::string mount_point;
    bool mounted = false;
};

TEST_F(full_disk, every_replacing_write_that_cannot_complete_keeps_the_stored_text)
{
    ASSERT_EQ(write_data_file("sid old", "tidel-system", nullptr), 0);
    ASSERT_EQ(write_data_file("REV00001 news old", "tidel-news", nullptr), 0);
    ASSERT_EQ(write_data_file("REV00001 latest old", "tok", "latest", nullptr), 0);
    const replies stored = ask("tidelV1 init tok");
    ASSERT_EQ(stored.size(), 4u);
    fill();

    // Three pages of new text where each file holds one: none of it fits. Every write is
    // answered as a failed one (no reply), and the old texts stay whole.
    const std::string big(3 * 4096, 'b');
    const struct {
        std::string message;
        const char* file;
    } writes[] = {
        {"tidelV1 newSid " + big, "tidel-system"},
        {"tidelV1 syncNews REV00001 REV00002 " + big, "tidel-news"},
        {"tidelV1 syncNewsForce REV00002 " + big, "tidel-news"},
        {"tidelV1 syncLatest tok REV00001 REV00002 " + big, "tok/latest"},
        {"tidelV1 syncLatestForce tok REV00002 " + big, "tok/latest"},
    };
    for (const auto& w : writes)
        EXPECT_EQ(ask(w.message), replies{}) << w.file;
    EXPECT_EQ(ask("tidelV1 init tok"), stored);
    EXPECT_EQ(slurp(store + "/tidel-news"), "REV00001 news old");
    errno = 0;
    EXPECT_EQ(write_data_file(big.c_str(), "tidel-news", nullptr), -1);
    EXPECT_EQ(errno, ENOSPC);

    // A text that fits in the file's own space still goes in on the full disk, in place.
    EXPECT_EQ(ask("tidelV1 syncNews REV00001 REV00003 short"), replies{});
    EXPECT_EQ(slurp(store + "/tidel-news"), "REV00003 short");

    // With room again, the same writes go through.
    ASSERT_EQ(unlink((mount_point + "/filler").c_str()), 0);
    for (const auto& w : writes)
        ask(w.message);
    EXPECT_EQ(slurp(store + "/tidel-system"), big);
    EXPECT_EQ(slurp(store + "/tidel-news"), "REV00002 " + big);
    EXPECT_EQ(slurp(store + "/tok/latest"), "REV00002 " + big);
}
