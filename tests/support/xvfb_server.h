// A private Xvfb for the tests: started on a display number the server picks itself
// (-displayfd), killed and waited for at the end. DISPLAY points at it while it runs.
#pragma once

#include <sys/types.h>

#include <string>

class xvfb_server {
public:
    // One screen of that size at 24 bits; true once the server accepts a connection.
    bool start(int width = 1280, int height = 1024);
    void stop();
    ~xvfb_server() { stop(); }
    pid_t pid() const { return pid_; }
    // ":N"
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};
