// The shared data files: where they live, how their directories are made, reads,
// whole replaces and the revision check of the conditional replace.
#include "news/data_files.h"

#include <cerrno>
#include <chrono>
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
#include "news/news_messages.h"

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

// Can a process of another user open the file? Only root can take another uid.
static bool other_user_cannot_open(void* context)
{
    const std::string& path = *static_cast<std::string*>(context);
    if (setgid(65534) != 0 || setuid(65534) != 0)
        return false;
    int fd = open(path.c_str(), O_RDONLY);
    return fd < 0 && errno == EACCES;
}

TEST_F(data_files, directories_are_made_from_the_root_down_and_the_store_is_private)
{
    // Umask 0 so that the modes asked of mkdir and open show unmasked.
    mode_t old_mask = umask(0);
    EXPECT_EQ(make_data_dirs(0, "a//b", "c", nullptr), 0);
    EXPECT_EQ(make_data_dirs(0, "a//b", "c", nullptr), 0) << "existing directories are fine";
    write_data_file("deep", "t1/t2", "latest", nullptr);
    char* current = nullptr;
    EXPECT_EQ(sync_data_file("t3", "latest", "-.fresh", &current), sync_accepted);

    // Above the data directory the user's own tree; from the data directory down private.
    EXPECT_EQ(mode_of(root + "/xdg"), 0755);
    for (const char* dir : {"", "/a", "/a/b", "/a/b/c", "/t1", "/t1/t2", "/t3"})
        EXPECT_EQ(mode_of(store + dir), 0700) << dir;
    EXPECT_EQ(mode_of(store + "/t1/t2/latest"), 0600);
    EXPECT_EQ(mode_of(store + "/t3/latest"), 0600);
    EXPECT_EQ(slurp(store + "/t1/t2/latest"), "deep");

    // A store left open by an older version is closed on its next use: a read fixes the
    // data directory and the file it opens, a replace every directory on its way.
    const struct {
        const char* path;
        mode_t mode, after;
    } older[] = {{"", 0755, 0700},           {"/tidel-news", 0644, 0600},
                 {"/tok", 0775, 0700},       {"/tok/latest", 0666, 0600},
                 {"/t1/t2/latest", 0604, 0600}, {"/tidel-system", 0644, 0644}};
    spill(store + "/tidel-news", "news");
    ASSERT_EQ(mkdir((store + "/tok").c_str(), 0700), 0);
    spill(store + "/tok/latest", "tok");
    spill(store + "/tidel-system", "sid");
    for (const auto& o : older)
        ASSERT_EQ(chmod((store + o.path).c_str(), o.mode), 0) << o.path;
    ASSERT_EQ(read_data_file(&current, "tidel-news", nullptr), 0);
    EXPECT_EQ(take(current), "news");
    write_data_file("tok 2", "tok", "latest", nullptr);
    EXPECT_EQ(sync_data_file("t1/t2", "latest", "-.x", &current), sync_conflict);
    EXPECT_EQ(take(current), "deep");
    umask(old_mask);
    // "tidel-system" was not opened: its turn comes with its next use.
    for (const auto& o : older)
        EXPECT_EQ(mode_of(store + o.path), static_cast<int>(o.after)) << o.path;

    if (geteuid() == 0) {
        // Even a file that keeps wide bits is out of reach behind the private directory
        // (the scratch directory above it opened to all as a home directory would be).
        ASSERT_EQ(chmod(root.c_str(), 0755), 0);
        std::string news = store + "/tidel-system";
        EXPECT_EQ(in_child(other_user_cannot_open, &news), 0);
    }

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

// A process that opened the file read-only, took its lock and keeps it (as a process of
// another user could, with a descriptor opened while the store was still readable).
// It lets go after `hold_seconds` at the latest, or when release() is called.
struct lock_holder {
    pid_t pid = -1;
    int release_fd = -1;

    lock_holder(const std::string& path, int hold_seconds)
    {
        int ready[2], release[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release), 0);
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(release[1]);
            int fd = open(path.c_str(), O_RDONLY);
            if (fd < 0 || flock(fd, LOCK_EX) != 0)
                _exit(1);
            ssize_t ignored = write(ready[1], "L", 1);
            (void)ignored;
            pollfd wait_for_release{release[0], POLLIN, 0};
            poll(&wait_for_release, 1, hold_seconds * 1000);
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_fd = release[1];
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1) << "the holder could not lock " << path;
        close(ready[0]);
    }
    void release()
    {
        if (pid <= 0)
            return;
        close(release_fd);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }
    ~lock_holder() { release(); }
};

static bool no_reply_to(const char* message)
{
    sent_texts().clear();
    handle_news_message(nullptr, message);
    return sent_texts().empty();
}

TEST_F(data_files, a_lock_held_elsewhere_fails_each_operation_within_a_bound_and_keeps_the_text)
{
    ASSERT_EQ(make_data_dirs(0, "tok", nullptr), 0);
    const std::string news = store + "/tidel-news", latest = store + "/tok/latest";
    spill(news, "REV00001 kept");
    spill(store + "/tidel-system", "sid");
    spill(latest, "REV00001 latest kept");

    // Every operation on a held file, each as its caller sees it: a failure, and for the
    // messages no reply at all (no "initDone" that would pass for an empty store).
    struct operation {
        const char* what;
        const std::string* file;
        bool (*failed)();
    };
    const operation operations[] = {
        {"read", &news, [] {
             char* contents = nullptr;
             bool failed = read_data_file(&contents, "tidel-news", nullptr) == -1 &&
                           errno == ETIMEDOUT && !contents;
             free(contents);
             return failed;
         }},
        {"whole replace", &news, [] {
             write_data_file("lost", "tidel-news", nullptr);
             return true;
         }},
        {"conditional replace", &latest, [] {
             char* current = nullptr;
             bool failed = sync_data_file("tok", "latest", "REV00001 lost", &current) == sync_failed;
             free(current);
             return failed;
         }},
        {"init", &latest, [] { return no_reply_to("tidelV1 init tok"); }},
        {"getNews", &news, [] { return no_reply_to("tidelV1 getNews "); }},
        {"syncNews", &news, [] { return no_reply_to("tidelV1 syncNews XXXXXXXX lost"); }},
    };
    for (const operation& op : operations) {
        lock_holder holder(*op.file, 30);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(op.failed()) << op.what;
        const double waited =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Bounded by about a second; a blocking wait would last until the holder quits.
        EXPECT_LT(waited, 10.0) << op.what;
        holder.release();
        EXPECT_EQ(slurp(news), "REV00001 kept") << op.what;
        EXPECT_EQ(slurp(latest), "REV00001 latest kept") << op.what;
    }

    // Once the lock is free again, the same calls work.
    sent_texts().clear();
    handle_news_message(link, "tidelV1 init tok");
    EXPECT_EQ(sent_texts().size(), 4u);
    write_data_file("REV00002 new", "tidel-news", nullptr);
    EXPECT_EQ(slurp(news), "REV00002 new");

    // A pipe in a file's place has no writer to wait for either: a failed read.
    ASSERT_EQ(unlink(latest.c_str()), 0);
    ASSERT_EQ(mkfifo(latest.c_str(), 0600), 0);
    EXPECT_TRUE(no_reply_to("tidelV1 init tok"));
    write_data_file("into the pipe", "tok", "latest", nullptr);
    EXPECT_TRUE(no_reply_to("tidelV1 init tok"));
}
