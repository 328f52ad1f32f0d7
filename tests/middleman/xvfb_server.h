// A private Xvfb for the tests: started on a display number the server picks itself,
// killed and waited for at the end.
#pragma once

#include <string>
#include <sys/types.h>

struct xvfb_server {
    pid_t pid = -1;
    std::string display; // ":N"
};

// Starts Xvfb with one 1280x1024x24 screen and sets DISPLAY; false when it fails.
bool xvfb_start(xvfb_server* server);
void xvfb_stop(xvfb_server* server);
