// A private Xvfb for the tests: started on a display number the server picks itself
// (-displayfd), killed and waited for at the end. DISPLAY points at it while it runs.
#pragma once

#include <sys/types.h>

#include <string>

class xvfb_server {
public:
    // One 1280x1024x24 screen; true once the server accepts a connection.
    bool start();
    void stop();
    ~xvfb_server() { stop(); }
    pid_t pid() const { return pid_; }
    // ":N"
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};
