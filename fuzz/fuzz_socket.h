// The peer's side for the editor link's fuzz targets: a connected socket pair whose one
// end the code under test reads and writes, while the target plays the other process.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ws_peer.h"

struct fuzz_pair {
    int ours = -1;  // the end handed to the code under test
    int peer = -1;  // the target's end; never blocks
};

inline fuzz_pair fuzz_pair_open()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0)
        abort();
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    return {fds[0], fds[1]};
}

inline void fuzz_close(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Takes everything the code under test has written so far.
inline void fuzz_drain(int peer, bytes* into)
{
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = read(peer, buffer, sizeof buffer)) > 0)
        into->insert(into->end(), buffer, buffer + n);
}

// Sends bytes to the code under test; false once it has closed its end. The targets
// read between writes, so the socket's buffer always has room: a write that would
// block is a fault of the harness.
inline bool fuzz_feed(int peer, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(peer, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EPIPE)
            return false;
        if (n <= 0)
            abort();
        data += n;
        size -= (size_t)n;
    }
    return true;
}

// Bytes waiting to be read on `fd`.
inline int fuzz_waiting(int fd)
{
    int waiting = 0;
    return ioctl(fd, FIONREAD, &waiting) < 0 ? 0 : waiting;
}
