// Preset files on disk: bounded reads that never wait on what stands in a file's place,
// replacements that appear whole or not at all, plain names and the user's folder.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "preset/preset_metadata.h"
#include "preset/vst_preset.h"

static constexpr char preset_suffix[] = ".vstpreset";
static constexpr char user_subdir[] = "/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator";

// The file name without its folder and without ".vstpreset", shown where the metadata
// names nothing: cut on a character boundary, anything not plain text shown as '?'.
static void name_from_path(const char* path, char (&name)[128]) {
    const char* base = strrchr(path, '/');
    base = base ? base + 1 : path;
    size_t len = strlen(base);
    const size_t suffix = sizeof preset_suffix - 1;
    if (len > suffix && strcmp(base + len - suffix, preset_suffix) == 0) len -= suffix;
    size_t n = 0;
    for (size_t i = 0; i < len && n < sizeof name - 1;) {
        size_t step = 1;
        while (step <= 4 && i + step <= len && !preset_text_ok(base + i, step)) step++;
        if (step > 4 || i + step > len) {
            name[n++] = '?';
            i++;
            continue;
        }
        if (n + step > sizeof name - 1) break;
        memcpy(name + n, base + i, step);
        n += step;
        i += step;
    }
    name[n] = '\0';
}

int vst_preset_load_file(const char* path, vst_preset* out) {
    // O_NONBLOCK: a FIFO in a preset's place opens at once and reads as empty instead of
    // waiting for a writer; the type check below then refuses it.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    int error = 0;
    uint8_t* data = nullptr;
    size_t size = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (S_ISDIR(st.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
    } else if (static_cast<uint64_t>(st.st_size) > vst_preset_max_bytes) {
        error = EFBIG;
    } else if (!(data = static_cast<uint8_t*>(malloc(vst_preset_max_bytes + 1)))) {
        error = ENOMEM;
    } else {
        // One byte more than allowed: a file that grew since fstat is still caught.
        while (size <= vst_preset_max_bytes) {
            const ssize_t got = read(fd, data + size, vst_preset_max_bytes + 1 - size);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error = errno;
                break;
            }
            if (got == 0) break;
            size += static_cast<size_t>(got);
        }
    }
    close(fd);
    vst_preset read_preset;
    if (error == 0 && vst_preset_read(data, size, &read_preset) != 0) error = errno;
    free(data);
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (read_preset.name[0] == '\0') name_from_path(path, read_preset.name);
    *out = read_preset;
    return 0;
}

// Makes every missing directory above the last '/' of path.
static int make_parent_dirs(const char* path) {
    char* dir = strdup(path);
    if (!dir) return -1;
    char* slash = strrchr(dir, '/');
    int result = 0;
    if (slash && slash != dir) {
        *slash = '\0';
        for (char* p = dir + 1; result == 0; p++) {
            const bool last = *p == '\0';
            if (*p != '/' && !last) continue;
            *p = '\0';
            if (mkdir(dir, 0755) != 0 && errno != EEXIST) result = -1;
            if (last) break;
            *p = '/';
        }
    }
    free(dir);
    return result;
}

static int write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put == 0) errno = EIO;
        if (put <= 0) return -1;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return 0;
}

int vst_preset_save_file(const char* path, const vst_preset* p) {
    uint8_t* data = nullptr;
    size_t size = 0;
    if (vst_preset_write(p, &data, &size) != 0) return -1;
    // The temporary file lies beside the target, so the rename stays within one file
    // system; its leading dot keeps it out of preset listings while it is written.
    const char* slash = strrchr(path, '/');
    const size_t dir_len = slash ? static_cast<size_t>(slash - path + 1) : 0;
    const char* base = path + dir_len;
    char* temp = static_cast<char*>(malloc(dir_len + strlen(base) + 16));
    if (!temp) {
        free(data);
        errno = ENOMEM;
        return -1;
    }
    memcpy(temp, path, dir_len);
    sprintf(temp + dir_len, ".%s.XXXXXX", base);
    int fd = -1;
    int error = 0;
    if (*base == '\0') {
        error = EISDIR;
    } else if (make_parent_dirs(path) != 0 || (fd = mkostemp(temp, O_CLOEXEC)) < 0) {
        error = errno;
    } else if (fchmod(fd, 0644) != 0 || write_all(fd, data, size) != 0 || fsync(fd) != 0) {
        error = errno;
    }
    if (fd >= 0 && close(fd) != 0 && error == 0) error = errno;
    if (fd >= 0 && error == 0 && rename(temp, path) != 0) error = errno;
    if (fd >= 0 && error != 0) unlink(temp);
    free(temp);
    free(data);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

bool vst_preset_name_is_plain(const char* name) {
    if (!name || name[0] == '\0' || name[0] == '.') return false;
    const size_t len = strnlen(name, 101);
    return len <= 100 && !memchr(name, '/', len) && preset_text_ok(name, len);
}

char* vst_preset_user_dir(void) {
    const char* home = getenv("HOME");
    if (!home || !*home) {
        errno = 0;
        const passwd* entry = getpwuid(getuid());
        if (!entry || !entry->pw_dir || !*entry->pw_dir) {
            if (errno == 0) errno = ENOENT;
            return nullptr;
        }
        home = entry->pw_dir;
    }
    const size_t home_len = strlen(home);
    char* dir = static_cast<char*>(malloc(home_len + sizeof user_subdir));
    if (!dir) {
        errno = ENOMEM;
        return nullptr;
    }
    memcpy(dir, home, home_len);
    memcpy(dir + home_len, user_subdir, sizeof user_subdir);
    return dir;
}
