// The plug-in's news handler on arbitrary editor messages, against a data directory of
// its own. An input is up to eight messages separated by zero bytes, handled in order
// on a store emptied before each input. Every reply must be a known news reply, and
// afterwards nothing may exist outside the data directory, nor a directory where the
// store keeps a file.
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "news/news_messages.h"

static std::string scratch;  // XDG_DATA_HOME is scratch + "/xdg"

void editor_link_send_text(editor_link*, const char* text)
{
    static const char* const heads[] = {
        "tidelV1 initSid ", "tidelV1 initNews ", "tidelV1 initLatest ", "tidelV1 initDone ",
        "tidelV1 getNews ", "tidelV1 syncNewsConflict ", "tidelV1 syncLatestConflict "};
    for (const char* head : heads)
        if (strncmp(text, head, strlen(head)) == 0)
            return;
    abort();
}

// Directories come after their contents (FTW_DEPTH) and go with rmdir, without the
// failed unlink that remove() would try first.
static int remove_entry(const char* path, const struct stat*, int type, FTW*)
{
    return type == FTW_DP ? rmdir(path) : unlink(path);
}

// Only the data directory under XDG_DATA_HOME, and in it no directory named like a file
// of the store. Each entry is removed once checked, so the next input starts from an
// empty store.
static int check_and_remove(const char* path, const struct stat* st, int type, FTW* at)
{
    const std::string p = path;
    const std::string store = scratch + "/xdg/Tresk.Sonwave";
    if (p != scratch + "/xdg" && p.compare(0, store.size(), store) != 0)
        abort();
    const char* name = path + at->base;
    const bool file_name = !strcmp(name, "tidel-news") || !strcmp(name, "tidel-system") ||
                           !strcmp(name, "latest");
    if (file_name && (type != FTW_F || !S_ISREG(st->st_mode)))
        abort();
    return remove_entry(path, st, type, at);
}

static void remove_scratch()
{
    nftw(scratch.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In memory when the machine offers it: every input makes and removes files.
    char in_memory[] = "/dev/shm/vgs-fuzz-news-XXXXXX";
    char on_disk[] = "/tmp/vgs-fuzz-news-XXXXXX";
    const char* dir = mkdtemp(in_memory);
    if (!dir && !(dir = mkdtemp(on_disk)))
        abort();
    scratch = dir;
    setenv("XDG_DATA_HOME", (scratch + "/xdg").c_str(), 1);
    atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (int message = 0; message < 8 && start <= input.size(); ++message) {
        size_t end = input.find('\0', start);
        if (end == std::string::npos)
            end = input.size();
        const std::string text = input.substr(start, end - start);
        handle_news_message(nullptr, text.c_str());
        start = end + 1;
    }
    // Nothing may have been made beside the XDG directory.
    DIR* beside = opendir(scratch.c_str());
    if (!beside)
        abort();
    while (const dirent* e = readdir(beside))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && strcmp(e->d_name, "xdg"))
            abort();
    closedir(beside);
    nftw((scratch + "/xdg").c_str(), check_and_remove, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
