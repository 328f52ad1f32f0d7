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

// Opens the file at a path under the data directory (-1: the path could not be formed
// or the open failed, with errno set), making an existing data directory and the file
// private on the way. Descriptors are close-on-exec so that a child forked by another
// thread of the host never inherits one that carries our lock; a created file is private
// from the start. A file opened for replacing is not in append mode: its contents are
// replaced in place.
static int open_path(char* path, size_t dir_length, bool for_update)
{
    if (!path)
        return -1;
    const char kept = path[dir_length];
    path[dir_length] = '\0';
    keep_private(-1, path);
    path[dir_length] = kept;
    // Non-blocking, so that a pipe put in a file's place cannot hold the thread either
    // (regular files do not notice the flag).
    int fd = for_update ? open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600)
                        : open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    int err = errno;
    if (fd >= 0)
        keep_private(fd, nullptr);
    free(path);
    if (fd < 0)
        errno = err;
    return fd;
}

static int open_data_file_v(const char* first, va_list ap)
{
    size_t dir_length = 0;
    char* path = data_path_v(0, first, ap, &dir_length);
    return open_path(path, dir_length, true);
}

static int open_data_fd(const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    int fd = open_data_file_v(first, ap);
    va_end(ap);
    return fd;
}

FILE* open_data_file(const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    int fd = open_data_file_v(first, ap);
    va_end(ap);
    FILE* f = fd >= 0 ? fdopen(fd, "r+") : nullptr;
    if (!f && fd >= 0) {
        int err = errno;
        close(fd);
        errno = err;
    }
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
static int lock_file(int fd)
{
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

// Closing gives the lock back. Returns close's result: a file system that reports a
// failed write only when the file is closed fails the replacement here.
static int unlock_and_close(int fd)
{
    flock(fd, LOCK_UN);
    return close(fd);
}

// The size of the open file, which must be a regular one (a pipe or a device in its
// place is refused), or -1.
static off_t regular_size(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return st.st_size;
}

// Up to `size` bytes from offset 0 into `out`; the count read (less at the file's end),
// or -1 on a read error.
static ssize_t read_at_start(int fd, char* out, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, out + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// The whole file as a zero-terminated text; the caller holds the lock. A file longer than
// any text the store serves (news_text_limit) fails with EFBIG before anything is read
// or allocated for it.
static char* read_whole(int fd)
{
    const off_t size = regular_size(fd);
    if (size < 0)
        return nullptr;
    if (static_cast<uint64_t>(size) > news_text_limit) {
        errno = EFBIG;
        return nullptr;
    }
    char* text = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (!text)
        return nullptr;
    ssize_t got = read_at_start(fd, text, static_cast<size_t>(size));
    if (got < 0) {
        free(text);
        return nullptr;
    }
    text[got] = '\0';
    return text;
}

// Writes all of `size` bytes at offset 0; -1 with errno on a failed or short write.
static int write_at_start(int fd, const char* data, size_t size)
{
    size_t put = 0;
    while (put < size) {
        ssize_t n = pwrite(fd, data + put, size - put, static_cast<off_t>(put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return -1;
        }
        put += static_cast<size_t>(n);
    }
    return 0;
}

// Replaces the contents in place under the lock the caller holds, and only when the new
// text can be stored whole. The file stays the same file, since other instances lock it
// by its inode: nothing is renamed over it. The new length is reserved before anything is
// overwritten, so a full disk fails here with the old text intact; a write that still
// stops short (a file system that allocates as it overwrites) puts the old text back.
// -1 with errno when the new text is not stored.
static int replace_contents(int fd, const char* text)
{
    const size_t length = strlen(text);
    if (length > news_text_limit) {
        errno = EFBIG;
        return -1;
    }
    const off_t old_size = regular_size(fd);
    if (old_size < 0)
        return -1;
    // What to put back; a file too long to serve has nothing worth keeping.
    char* old = nullptr;
    if (static_cast<uint64_t>(old_size) <= news_text_limit && !(old = read_whole(fd)))
        return -1;
    int err = length > 0 ? posix_fallocate(fd, 0, static_cast<off_t>(length)) : 0;
    if (err == 0 && (write_at_start(fd, text, length) != 0 ||
                     ftruncate(fd, static_cast<off_t>(length)) != 0))
        err = errno;
    if (err != 0) {
        if (old)
            write_at_start(fd, old, static_cast<size_t>(old_size));
        // A reservation or a write past the old end leaves no tail behind either.
        if (regular_size(fd) != old_size)
            ftruncate(fd, old_size);
    }
    free(old);
    errno = err;
    return err == 0 ? 0 : -1;
}

int read_data_file(char** contents, const char* first, ...)
{
    *contents = nullptr;
    va_list ap;
    va_start(ap, first);
    size_t dir_length = 0;
    char* path = data_path_v(0, first, ap, &dir_length);
    va_end(ap);
    int fd = open_path(path, dir_length, false);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    if (lock_file(fd) != 0) {
        close(fd);
        return -1;
    }
    *contents = read_whole(fd);
    int err = errno;
    unlock_and_close(fd);
    errno = err;
    return *contents ? 0 : -1;
}

int write_data_file(const char* text, const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    va_list again;
    va_copy(again, ap);
    int made = make_data_dirs_v(1, first, ap);
    int fd = made == 0 ? open_data_file_v(first, again) : -1;
    va_end(again);
    va_end(ap);
    if (fd < 0)
        return -1;
    if (lock_file(fd) != 0) {
        close(fd);
        return -1;
    }
    int replaced = replace_contents(fd, text);
    int err = errno;
    if (unlock_and_close(fd) != 0 && replaced == 0)
        return -1;
    errno = err;
    return replaced;
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
    int fd = token ? open_data_fd(token, name, nullptr) : open_data_fd(name, nullptr);
    if (fd < 0)
        return sync_failed;
    if (lock_file(fd) != 0) {
        close(fd);
        return sync_failed;
    }

    const off_t size = regular_size(fd);
    if (size < 0) {
        unlock_and_close(fd);
        return sync_failed;
    }
    bool accept = size == 0;
    if (!accept && !only_if_empty) {
        // A file shorter than a revision never matches.
        char base[revision_size];
        accept = read_at_start(fd, base, revision_size) == static_cast<ssize_t>(revision_size) &&
                 memcmp(base, payload, revision_size) == 0;
    }

    sync_result result;
    if (accept) {
        result = replace_contents(fd, text) == 0 ? sync_accepted : sync_failed;
    } else {
        *current = read_whole(fd);
        result = *current ? sync_conflict : sync_failed;
    }
    if (unlock_and_close(fd) != 0 && result == sync_accepted)
        result = sync_failed;
    return result;
}
