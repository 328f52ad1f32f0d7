// The shared data files: where they live, how their directories are made, reads,
// whole replaces and the revision check of the conditional replace.
#include "news/data_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "news/news_fixture.h"

using data_files = news_store;

static std::string take(char* text)
{
    std::string s = text ? text : "(null)";
    free(text);
    return s;
}

TEST_F(data_files, path_follows_xdg_data_home_and_home_verbatim)
{
    setenv("XDG_DATA_HOME", "/x", 1);
    EXPECT_EQ(take(data_path(0, "tidel-news", nullptr)), "/x/Tresk.Sonwave/tidel-news");
    EXPECT_EQ(take(data_path(1, "tok", "latest", nullptr)), "/x/Tresk.Sonwave/tok");
    EXPECT_EQ(take(data_path(1, "tidel-news", nullptr)), "/x/Tresk.Sonwave");
    EXPECT_EQ(take(data_path(0, "a/b", "latest", nullptr)), "/x/Tresk.Sonwave/a/b/latest");
    // No slash is trimmed and a relative value stays relative.
    setenv("XDG_DATA_HOME", "/x/", 1);
    EXPECT_EQ(take(data_path(0, "tidel-news", nullptr)), "/x//Tresk.Sonwave/tidel-news");
    setenv("XDG_DATA_HOME", "rel", 1);
    EXPECT_EQ(take(data_path(0, "tidel-news", nullptr)), "rel/Tresk.Sonwave/tidel-news");

    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "/h", 1);
    EXPECT_EQ(take(data_path(0, "tidel-news", nullptr)),
              "/h/.local/share/Tresk.Sonwave/tidel-news");
    // An empty XDG_DATA_HOME counts as unset.
    setenv("XDG_DATA_HOME", "", 1);
    EXPECT_EQ(take(data_path(0, "", "latest", nullptr)),
              "/h/.local/share/Tresk.Sonwave//latest");
}

static bool password_entry_names_home(void*)
{
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "", 1);  // empty counts as unset too
    const passwd* entry = getpwuid(getuid());
    if (!entry || !entry->pw_dir)
        return false;
    std::string expected = std::string(entry->pw_dir) + "/.local/share/Tresk.Sonwave/tidel-news";
    if (take(data_path(0, "tidel-news", nullptr)) != expected)
        return false;
    unsetenv("HOME");
    return take(data_path(0, "tidel-news", nullptr)) == expected;
}

TEST_F(data_files, without_home_the_password_entry_names_the_home_directory)
{
    EXPECT_EQ(in_child(password_entry_names_home, nullptr), 0);
}

struct no_home_context {
    std::string root;
};

// No XDG_DATA_HOME, no HOME and a uid without a password entry: there is no data
// directory, so writes do nothing and reads find nothing.
static bool no_home_at_all(void* context)
{
    const std::string& root = static_cast<no_home_context*>(context)->root;
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    if (chdir(root.c_str()) != 0 || setuid(4012345) != 0 || getpwuid(getuid()))
        return false;
    if (data_path(0, "tidel-news", nullptr) != nullptr)
        return false;
    write_data_file("text", "tidel-news", nullptr);
    char* current = nullptr;
    if (sync_data_file(nullptr, "tidel-news", "-.text", &current) != sync_failed || current)
        return false;
    char* contents = reinterpret_cast<char*>(1);
    return read_data_file(&contents, "tidel-news", nullptr) == 0 && contents == nullptr;
}

TEST_F(data_files, no_home_directory_at_all_means_nothing_is_stored)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to take a uid without a password entry";
    ASSERT_EQ(chmod(root.c_str(), 0777), 0);
    no_home_context context{root};
    EXPECT_EQ(in_child(no_home_at_all, &context), 0);
    // Nothing appeared in the working directory or under the scratch root.
    EXPECT_FALSE(exists(root + "/.local"));
    EXPECT_FALSE(exists(root + "/xdg"));
}

TEST_F(data_files, directories_are_made_from_the_root_down_with_mode_0755)
{
    // Umask 0 so that the mode asked of mkdir shows unmasked.
    mode_t old_mask = umask(0);
    EXPECT_EQ(make_data_dirs(0, "a//b", "c", nullptr), 0);
    EXPECT_EQ(make_data_dirs(0, "a//b", "c", nullptr), 0) << "existing directories are fine";
    write_data_file("deep", "t1/t2", "latest", nullptr);
    umask(old_mask);

    for (const char* dir : {"/xdg", "/xdg/Tresk.Sonwave", "/xdg/Tresk.Sonwave/a",
                            "/xdg/Tresk.Sonwave/a/b", "/xdg/Tresk.Sonwave/a/b/c",
                            "/xdg/Tresk.Sonwave/t1", "/xdg/Tresk.Sonwave/t1/t2"})
        EXPECT_EQ(mode_of(root + dir), 0755) << dir;
    EXPECT_EQ(slurp(store + "/t1/t2/latest"), "deep");

    // directory_only stops above the last component.
    EXPECT_EQ(make_data_dirs(1, "d", "e", nullptr), 0);
    EXPECT_TRUE(exists(store + "/d"));
    EXPECT_FALSE(exists(store + "/d/e"));

    // A file in the way of a directory fails.
    spill(store + "/blocker", "x");
    EXPECT_EQ(make_data_dirs(0, "blocker", "sub", nullptr), -1);
}

TEST_F(data_files, reads_tell_absent_from_empty_from_failed)
{
    char* contents = reinterpret_cast<char*>(1);
    EXPECT_EQ(read_data_file(&contents, "tidel-news", nullptr), 0);
    EXPECT_EQ(contents, nullptr) << "absent file, absent directory";

    ASSERT_EQ(make_data_dirs(0, "tok", nullptr), 0);
    spill(store + "/tidel-news", "");
    ASSERT_EQ(read_data_file(&contents, "tidel-news", nullptr), 0);
    EXPECT_EQ(take(contents), "");

    std::string text(70000, 'n');
    text[0] = '\xff';
    spill(store + "/tok/latest", text);
    ASSERT_EQ(read_data_file(&contents, "tok", "latest", nullptr), 0);
    EXPECT_EQ(take(contents), text);

    // A path through a regular file is not "absent": ENOTDIR is a failure.
    EXPECT_EQ(read_data_file(&contents, "tidel-news", "latest", nullptr), -1);
    EXPECT_EQ(contents, nullptr);
}

TEST_F(data_files, whole_replace_truncates_and_creates)
{
    write_data_file("a rather long first text", "tidel-news", nullptr);
    write_data_file("short", "tidel-news", nullptr);
    EXPECT_EQ(slurp(store + "/tidel-news"), "short");
    write_data_file("", "tidel-news", nullptr);
    EXPECT_EQ(slurp(store + "/tidel-news"), "");

    FILE* f = open_data_file("opened", nullptr);
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(slurp(store + "/opened"), "");

    errno = 0;
    EXPECT_EQ(open_data_file("tidel-news", "below-a-file", nullptr), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
}

// One conditional replace: the result, the conflict contents and the file after it.
struct sync_outcome {
    sync_result result;
    std::string current;
    std::optional<std::string> file;
};

class conditional_replace : public news_store {
protected:
    sync_outcome sync(const std::string& payload)
    {
        char* current = nullptr;
        sync_result r = sync_data_file(nullptr, "tidel-news", payload.c_str(), &current);
        std::string text = current ? current : "";
        free(current);
        return {r, text, slurp(store + "/tidel-news")};
    }
    void put(const std::string& contents)
    {
        ASSERT_EQ(make_data_dirs(0, "", nullptr), 0);
        spill(store + "/tidel-news", contents);
    }
};

TEST_F(conditional_replace, absent_or_empty_file_takes_any_base)
{
    sync_outcome first = sync("zzzzzzzz first");
    EXPECT_EQ(first.result, sync_accepted);
    EXPECT_EQ(first.file, "first");

    put("");
    EXPECT_EQ(sync("\x01\x02\x03\x04\x05\x06\x07\x08/second").file, "second");

    put("");
    EXPECT_EQ(sync("-+dash").file, "dash");
    // An absent file in a token directory that does not exist yet.
    char* current = nullptr;
    EXPECT_EQ(sync_data_file("new/tok", "latest", "-.fresh", &current), sync_accepted);
    EXPECT_EQ(current, nullptr);
    EXPECT_EQ(slurp(store + "/new/tok/latest"), "fresh");
}

TEST_F(conditional_replace, matching_base_stores_everything_after_the_separator)
{
    put("REV00001 the first body");
    sync_outcome r = sync("REV00001XREV00002 second body");
    EXPECT_EQ(r.result, sync_accepted);
    EXPECT_EQ(r.file, "REV00002 second body");
    // The next check compares with what was stored just now.
    EXPECT_EQ(sync("REV00001 stale").result, sync_conflict);
    EXPECT_EQ(sync("REV00002 REV00003").file, "REV00003");

    // Bytes above 0x7f compare as the same unsigned values.
    put("\xc3\xa9\xff\x80\x01\x02\x03\x04 tail");
    EXPECT_EQ(sync("\xc3\xa9\xff\x80\x01\x02\x03\x04 new").result, sync_accepted);

    // Exactly a header: an empty new text.
    put("REV00009 x");
    sync_outcome empty = sync("REV00009 ");
    EXPECT_EQ(empty.result, sync_accepted);
    EXPECT_EQ(empty.file, "");
}

TEST_F(conditional_replace, any_differing_revision_byte_is_a_conflict_with_the_whole_file)
{
    const std::string file = "ABCDEFGH " + std::string(5000, 'q') + " end";
    for (int i = 0; i < 8; ++i) {
        put(file);
        std::string payload = "ABCDEFGH new";
        payload[i] = static_cast<char>(payload[i] ^ 0x20);
        sync_outcome r = sync(payload);
        EXPECT_EQ(r.result, sync_conflict) << "byte " << i;
        EXPECT_EQ(r.current, file) << "byte " << i;
        EXPECT_EQ(r.file, file) << "byte " << i;
    }
    // A file shorter than a revision never matches, not even its own prefix.
    put("ABC");
    sync_outcome short_file = sync("ABCxxxxx x");
    EXPECT_EQ(short_file.result, sync_conflict);
    EXPECT_EQ(short_file.current, "ABC");
}

TEST_F(conditional_replace, dash_form_only_fills_an_absent_or_empty_file)
{
    put("-.already here");
    sync_outcome r = sync("-.other");
    EXPECT_EQ(r.result, sync_conflict);
    EXPECT_EQ(r.current, "-.already here");
    EXPECT_EQ(r.file, "-.already here");
}

TEST_F(conditional_replace, payload_shorter_than_its_header_touches_nothing)
{
    for (const char* payload : {"", "-", "1234567", "12345678"}) {
        EXPECT_EQ(sync(payload).result, sync_failed) << '"' << payload << '"';
        EXPECT_FALSE(exists(store)) << '"' << payload << '"';
    }
    put("12345678 kept");
    for (const char* payload : {"-", "12345678"}) {
        sync_outcome r = sync(payload);
        EXPECT_EQ(r.result, sync_failed);
        EXPECT_EQ(r.file, "12345678 kept");
    }
}

// Runs op in a child process while this process holds the file's lock, checks that the
// child waits, changes the file under the lock, releases it and returns what the
// child reported through the pipe.
static std::string run_while_locked(const std::string& path, std::string (*op)(),
                                    const std::string& change_under_lock)
{
    int fd = open(path.c_str(), O_RDWR);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX), 0);
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        std::string report = op();
        ssize_t ignored = write(out[1], report.data(), report.size());
        (void)ignored;
        _exit(0);
    }
    close(out[1]);
    // The child must still be waiting for the lock a good while later.
    pollfd waiting{out[0], POLLIN, 0};
    EXPECT_EQ(poll(&waiting, 1, 200), 0) << "finished while the file was locked";
    spill(path, change_under_lock);
    flock(fd, LOCK_UN);
    close(fd);
    std::string report;
    char buffer[256];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return report;
}

TEST_F(data_files, every_operation_waits_for_the_lock_of_another_process)
{
    const std::string news = store + "/tidel-news";
    ASSERT_EQ(make_data_dirs(0, "", nullptr), 0);
    spill(news, "REV00001 before");

    std::string seen = run_while_locked(news, [] {
        char* contents = nullptr;
        read_data_file(&contents, "tidel-news", nullptr);
        return take(contents);
    }, "REV00002 changed under the lock");
    EXPECT_EQ(seen, "REV00002 changed under the lock");

    run_while_locked(news, [] {
        write_data_file("written by the child", "tidel-news", nullptr);
        return std::string("done");
    }, "REV00003 changed under the lock, and longer than the child's text");
    EXPECT_EQ(slurp(news), "written by the child");

    // The child's base only matches what the file holds once the lock is released.
    std::string outcome = run_while_locked(news, [] {
        char* current = nullptr;
        sync_result r = sync_data_file(nullptr, "tidel-news", "REV00004 REV00005", &current);
        free(current);
        return std::to_string(r);
    }, "REV00004 changed under the lock");
    EXPECT_EQ(outcome, std::to_string(sync_accepted));
    EXPECT_EQ(slurp(news), "REV00005");
}
