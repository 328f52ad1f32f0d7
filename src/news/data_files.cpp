#include "news/data_files.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "editor/deadline.h"

char* concat_strings(const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    size_t total = 0;
    for (const char* s = first; s; s = va_arg(ap, const char*))
        total += strlen(s);
    va_end(ap);

    char* out = static_cast<char*>(malloc(total + 1));
    if (!out)
        return nullptr;
    size_t len = 0;
    va_start(ap, first);
    for (const char* s = first; s; s = va_arg(ap, const char*)) {
        size_t n = strlen(s);
        memcpy(out + len, s, n);
        len += n;
    }
    va_end(ap);
    out[len] = '\0';
    return out;
}

// The data directory, computed afresh from the environment each time so that every
// operation follows the current "XDG_DATA_HOME" and "HOME".
static char* data_dir()
{
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && *xdg)
        return concat_strings(xdg, "/Tresk.Sonwave", nullptr);
    const char* home = getenv("HOME");
    if (!home || !*home) {
        errno = 0;
        const passwd* entry = getpwuid(getuid());
        if (!entry || !entry->pw_dir) {
            // No home at all: nothing can be stored, so reads find nothing.
            if (errno == 0)
                errno = ENOENT;
            return nullptr;
        }
        home = entry->pw_dir;
    }
    return concat_strings(home, "/.local/share/Tresk.Sonwave", nullptr);
}

// The path of the components; *dir_length (when asked) is the length of its data
// directory prefix, where the private part of the path begins.
static char* data_path_v(int directory_only, const char* first, va_list ap,
                         size_t* dir_length = nullptr)
{
    char* dir = data_dir();
    if (!dir)
        return nullptr;

    va_list count;
    va_copy(count, ap);
    size_t components = 0;
    size_t total = strlen(dir);
    size_t last = 0;
    for (const char* c = first; c; c = va_arg(count, const char*)) {
        last = 1 + strlen(c);
        total += last;
        ++components;
    }
    va_end(count);
    if (directory_only && components > 0) {
        total -= last;
        --components;
    }

    char* path = static_cast<char*>(malloc(total + 1));
    if (!path) {
        free(dir);
        return nullptr;
    }
    size_t len = strlen(dir);
    memcpy(path, dir, len);
    free(dir);
    if (dir_length)
        *dir_length = len;
    const char* c = first;
    for (size_t i = 0; i < components; ++i, c = va_arg(ap, const char*)) {
        size_t n = strlen(c);
        path[len++] = '/';
        memcpy(path + len, c, n);
        len += n;
    }
    path[len] = '\0';
    return path;
}

char* data_path(int directory_only, const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    char* path = data_path_v(directory_only, first, ap);
    va_end(ap);
    return path;
}

// The store holds what the user's editors exchange (an installation id, their last
// values): only the user may open it. Directories and files made here are private
// from the start, and ones made earlier with wider modes lose the group and other
// bits when they are next used. Only the owner can change a mode; a path owned by
// someone else is left as it is.
static void keep_private(int fd, const char* path)
{
    struct stat st;
    if ((fd >= 0 ? fstat(fd, &st) : stat(path, &st)) != 0)
        return;
    if (st.st_uid != geteuid() || (st.st_mode & 077) == 0)
        return;
    const mode_t mode = st.st_mode & 0700;
    if (fd >= 0)
        fchmod(fd, mode);
    else
        chmod(path, mode);
}

// Makes every directory from the root down to the path itself: those above the data
// directory (the first private_from bytes of the path) with mode 0755, the data
// directory and everything below it private. Concurrent creation by another instance
// is fine: EEXIST counts as success.
static int make_dirs_of(char* path, size_t private_from)
{
    char* p = path;
    while (*p == '/')
        ++p;
    while (*p) {
        char* slash = strchr(p, '/');
        if (slash)
            *slash = '\0';
        const bool private_dir = static_cast<size_t>((slash ? slash : p + strlen(p)) - path) >=
                                 private_from;
        int made = mkdir(path, private_dir ? 0700 : 0755);
        int err = errno;
        if (made != 0 && err == EEXIST && private_dir)
            keep_private(-1, path);
        if (slash)
            *slash = '/';
        if (made != 0 && err != EEXIST) {
            errno = err;
            return -1;
        }
        if (!slash)
            break;
        p = slash + 1;
        while (*p == '/')
            ++p;
    }
    return 0;
}

static int make_data_dirs_v(int directory_only, const char* first, va_list ap)
{
    size_t dir_length = 0;
    char* path = data_path_v(directory_only, first, ap, &dir_length);
    if (!path)
        return -1;
    int result = make_dirs_of(path, dir_length);
    free(path);
    return result;
}

int make_data_dirs(int directory_only, const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    int result = make_data_dirs_v(directory_only, first, ap);
    va_end(ap);
    return result;
}

// Opens the file at a path under the data directory (none: the path could not be
// formed), making an existing data directory and the file private on the way. Streams
// are opened close-on-exec so that a child forked by another thread of the host never
// inherits a descriptor that carries our lock; a created file is private from the start.
static FILE* open_path(char* path, size_t dir_length, bool for_update)
{
    if (!path)
        return nullptr;
    const char kept = path[dir_length];
    path[dir_length] = '\0';
    keep_private(-1, path);
    path[dir_length] = kept;
    // Non-blocking, so that a pipe put in a file's place cannot hold the thread either
    // (regular files do not notice the flag).
    int fd = for_update ? open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600)
                        : open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    FILE* f = fd >= 0 ? fdopen(fd, for_update ? "a+" : "r") : nullptr;
    int err = errno;
    if (f)
        keep_private(fd, nullptr);
    else if (fd >= 0)
        close(fd);
    free(path);
    if (!f)
        errno = err;
    return f;
}

static FILE* open_data_file_v(const char* first, va_list ap)
{
    size_t dir_length = 0;
    char* path = data_path_v(0, first, ap, &dir_length);
    return open_path(path, dir_length, true);
}

FILE* open_data_file(const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    FILE* f = open_data_file_v(first, ap);
    va_end(ap);
    return f;
}

// How long the user-interface thread waits for a file's lock. Instances hold it only
// for a short read or write; anyone holding it longer (a process that opened the file
// before it was private, a stuck program) makes the operation fail as a file that
// cannot be read would, and the caller answers nothing rather than something wrong.
static constexpr int64_t lock_wait_limit_ns = 1'000'000'000;
static constexpr int64_t lock_retry_max_ns = 5'000'000;

// Takes the file's exclusive lock without ever blocking in flock: attempts at growing
// intervals until the limit has passed. errno is ETIMEDOUT when the lock stayed taken.
static int lock_file(FILE* f)
{
    int fd = fileno(f);
    if (fd < 0)
        return -1;
    const int64_t give_up = monotonic_ns() + lock_wait_limit_ns;
    int64_t pause_ns = 50'000;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        const int64_t left = give_up - monotonic_ns();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        const int64_t nap = pause_ns < left ? pause_ns : left;
        const timespec pause = {0, static_cast<long>(nap)};
        nanosleep(&pause, nullptr);
        if (pause_ns < lock_retry_max_ns)
            pause_ns *= 2;
    }
}

static void unlock_and_close(FILE* f)
{
    flock(fileno(f), LOCK_UN);
    fclose(f);
}

// The whole file as a zero-terminated text; the caller holds the lock.
static char* read_whole(FILE* f)
{
    if (fseek(f, 0, SEEK_END) != 0)
        return nullptr;
    long size = ftell(f);
    if (size < 0)
        return nullptr;
    rewind(f);
    char* text = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (!text)
        return nullptr;
    size_t got = fread(text, 1, static_cast<size_t>(size), f);
    text[got] = '\0';
    return text;
}

// Truncates and writes under the lock the caller holds. A file that cannot be
// truncated is left as it is rather than appended to.
static int replace_contents(FILE* f, const char* text)
{
    if (fseek(f, 0, SEEK_SET) != 0 || ftruncate(fileno(f), 0) != 0)
        return -1;
    fwrite(text, 1, strlen(text), f);
    fflush(f);
    return 0;
}

int read_data_file(char** contents, const char* first, ...)
{
    *contents = nullptr;
    va_list ap;
    va_start(ap, first);
    size_t dir_length = 0;
    char* path = data_path_v(0, first, ap, &dir_length);
    va_end(ap);
    FILE* f = open_path(path, dir_length, false);
    if (!f)
        return errno == ENOENT ? 0 : -1;
    if (lock_file(f) != 0) {
        fclose(f);
        return -1;
    }
    *contents = read_whole(f);
    unlock_and_close(f);
    return *contents ? 0 : -1;
}

void write_data_file(const char* text, const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    va_list again;
    va_copy(again, ap);
    int made = make_data_dirs_v(1, first, ap);
    FILE* f = made == 0 ? open_data_file_v(first, again) : nullptr;
    va_end(again);
    va_end(ap);
    if (!f)
        return;
    if (lock_file(f) != 0) {
        fclose(f);
        return;
    }
    replace_contents(f, text);
    unlock_and_close(f);
}

// The revision prefix that a conditional replace compares, and the header before the
// new text: the revision (or "-") and one separator byte.
static constexpr size_t revision_size = 8;

sync_result sync_data_file(const char* token, const char* name, const char* payload,
                           char** current)
{
    *current = nullptr;
    const bool only_if_empty = payload[0] == '-';
    const char* text;
    if (only_if_empty) {
        if (payload[1] == '\0')
            return sync_failed;
        text = payload + 2;
    } else {
        if (strnlen(payload, revision_size + 1) < revision_size + 1)
            return sync_failed;
        text = payload + revision_size + 1;
    }

    // The token's directory, or the data directory itself.
    int made = token ? make_data_dirs(0, token, nullptr) : make_data_dirs(1, name, nullptr);
    if (made != 0)
        return sync_failed;
    FILE* f = token ? open_data_file(token, name, nullptr) : open_data_file(name, nullptr);
    if (!f)
        return sync_failed;
    if (lock_file(f) != 0) {
        fclose(f);
        return sync_failed;
    }

    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0)
        size = ftell(f);
    if (size < 0 || fseek(f, 0, SEEK_SET) != 0) {
        unlock_and_close(f);
        return sync_failed;
    }
    bool accept = size == 0;
    if (!accept && !only_if_empty) {
        size_t same = 0;
        while (same < revision_size) {
            int c = fgetc(f);
            if (c == EOF || c != static_cast<unsigned char>(payload[same]))
                break;
            ++same;
        }
        accept = same == revision_size;
    }

    sync_result result;
    if (accept) {
        result = replace_contents(f, text) == 0 ? sync_accepted : sync_failed;
    } else {
        *current = read_whole(f);
        result = *current ? sync_conflict : sync_failed;
    }
    unlock_and_close(f);
    return result;
}
