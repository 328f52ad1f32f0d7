// Shared by the news tests: a scratch data directory under /tmp selected through
// "XDG_DATA_HOME" (never the user's real home), plain file helpers that bypass the
// code under test, and the record of what the handler sent to its editor.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

struct editor_link;

struct sent_text {
    editor_link* link;
    std::string text;
};

// Everything editor_link_send_text received in this process, oldest first.
std::vector<sent_text>& sent_texts();

std::optional<std::string> slurp(const std::string& path);
void spill(const std::string& path, const std::string& contents);
bool exists(const std::string& path);
// Mode bits of a path, or -1 when it does not exist.
int mode_of(const std::string& path);

// Runs body in a forked child and returns its exit status (0 when body returned
// true), so tests can change the environment, uid or working directory freely.
int in_child(bool (*body)(void*), void* context);

class news_store : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The scratch directory; XDG_DATA_HOME is root + "/xdg".
    std::string root;
    // root + "/xdg/Tresk.Sonwave", the data directory the code under test uses.
    std::string store;
    editor_link* const link = reinterpret_cast<editor_link*>(&link_dummy);

private:
    int link_dummy = 0;
    std::optional<std::string> saved_xdg, saved_home;
};
