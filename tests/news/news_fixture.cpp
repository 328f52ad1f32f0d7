#include "news/news_fixture.h"

#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "news/news_messages.h"

std::vector<sent_text>& sent_texts()
{
    static std::vector<sent_text> texts;
    return texts;
}

// Stands in for the editor link's sender: the handler must need nothing else of it.
void editor_link_send_text(editor_link* link, const char* text)
{
    sent_texts().push_back({link, text});
}

std::optional<std::string> slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void spill(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int mode_of(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

int in_child(bool (*body)(void*), void* context)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body(context) ? 0 : 1);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static std::optional<std::string> get_env(const char* name)
{
    const char* value = getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

static void put_env(const char* name, const std::optional<std::string>& value)
{
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

void news_store::SetUp()
{
    char scratch[] = "/tmp/vgs-news-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    root = scratch;
    store = root + "/xdg/Tresk.Sonwave";
    saved_xdg = get_env("XDG_DATA_HOME");
    saved_home = get_env("HOME");
    setenv("XDG_DATA_HOME", (root + "/xdg").c_str(), 1);
    // A HOME that must never be used while XDG_DATA_HOME is set.
    setenv("HOME", (root + "/unused-home").c_str(), 1);
    sent_texts().clear();
}

static int remove_entry(const char* path, const struct stat*, int, FTW*)
{
    return remove(path);
}

void news_store::TearDown()
{
    put_env("XDG_DATA_HOME", saved_xdg);
    put_env("HOME", saved_home);
    if (!root.empty())
        nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
