// A real window manager (Debian's openbox) on a test display, with its stock
// configuration: it frames, places and focuses top-level windows as on a desktop.
#pragma once

#include <sys/types.h>

#include <string>

class window_manager {
public:
    // True once the manager has taken the display over and maps windows; false when
    // openbox is missing or does not start within ten seconds.
    bool start(const std::string& display);
    void stop();
    ~window_manager() { stop(); }

private:
    pid_t pid_ = -1;
};
