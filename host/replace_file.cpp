#include "replace_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool fail(std::string* error, const std::string& what, const std::string& path) {
    *error = what + " " + path + ": " + std::strerror(errno);
    return false;
}

// Temporary files still open, removed when the render is interrupted (Ctrl-C, kill):
// a long render stopped half-way leaves nothing behind either. The handler reads only
// these fixed slots.
constexpr int pending_slots = 4;
char pending_paths[pending_slots][PATH_MAX];
volatile sig_atomic_t pending_used[pending_slots];
constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

void remove_pending_and_die(int sig) {
    for (int i = 0; i < pending_slots; ++i)
        if (pending_used[i]) unlink(pending_paths[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

void track(const std::string& path) {
    static bool handlers_set = false;
    if (!handlers_set) {
        handlers_set = true;
        for (int sig : cleanup_signals) {
            struct sigaction old = {};
            // A signal the caller ignores stays ignored.
            if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
            signal(sig, remove_pending_and_die);
        }
    }
    if (path.size() >= PATH_MAX) return;
    for (int i = 0; i < pending_slots; ++i) {
        if (pending_used[i]) continue;
        std::memcpy(pending_paths[i], path.c_str(), path.size() + 1);
        pending_used[i] = 1;
        return;
    }
}

void untrack(const std::string& path) {
    for (int i = 0; i < pending_slots; ++i)
        if (pending_used[i] && path == pending_paths[i]) pending_used[i] = 0;
}

}  // namespace

bool replacement_open(replacement_file* f, const std::string& target, std::string* error) {
    *f = replacement_file{target, "", -1};
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        f->fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return f->fd >= 0 || fail(error, "cannot write", target);
    }
    // A hidden name in the target's directory, so that the rename stays on one file system.
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; f->fd < 0 && attempt < 1000; ++attempt) {
        f->temporary = dir + "." + base + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
        // Created as a new target would be (the umask applies); a replaced one keeps its mode.
        f->fd = open(f->temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (f->fd < 0 && errno != EEXIST) break;
    }
    if (f->fd < 0) {
        std::string temporary = f->temporary;
        f->temporary.clear();
        return fail(error, "cannot write", temporary);
    }
    track(f->temporary);
    if (exists) fchmod(f->fd, st.st_mode & 07777);
    return true;
}

bool replacement_write(replacement_file* f, const void* bytes, size_t size, std::string* error) {
    const char* p = static_cast<const char*>(bytes);
    while (size > 0) {
        ssize_t n = write(f->fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return fail(error, "cannot write", f->target);
        }
        p += n;
        size -= (size_t)n;
    }
    return true;
}

bool replacement_finish(replacement_file* f, std::string* error) {
    const bool in_place = f->temporary.empty();
    // Devices and pipes cannot be synced; a regular file must reach the disk whole.
    const bool synced = fsync(f->fd) == 0 || (in_place && (errno == EINVAL || errno == EROFS));
    int err = errno;
    const bool closed = close(f->fd) == 0;
    f->fd = -1;
    if (!synced || !closed) {
        if (!synced) errno = err;
        return fail(error, "cannot write", f->target);
    }
    return true;
}

bool replacement_commit(replacement_file* f, std::string* error) {
    if (f->temporary.empty()) return true;
    if (rename(f->temporary.c_str(), f->target.c_str()) != 0) {
        bool ok = fail(error, "cannot replace", f->target);
        replacement_discard(f);
        return ok;
    }
    untrack(f->temporary);
    f->temporary.clear();
    return true;
}

void replacement_discard(replacement_file* f) {
    if (f->fd >= 0) close(f->fd);
    f->fd = -1;
    if (!f->temporary.empty()) {
        unlink(f->temporary.c_str());
        untrack(f->temporary);
        f->temporary.clear();
    }
}
