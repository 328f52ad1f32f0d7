// Which process is at the other end of an editor channel. Any process on the machine
// can connect to a loopback port, and any process of the user to the side channel's
// socket; the link takes a connection only from the program it started.
#pragma once

#include <sys/types.h>

// Whether the peer of a Unix-domain connection is process `pid` (its credentials as
// the kernel recorded them at connect).
bool unix_peer_is(int connection, pid_t pid);

// Whether the socket at the other end of a loopback TCP connection is among the open
// descriptors of process `pid`. Found through the kernel's socket table: the peer's
// socket inode, then the process's descriptor links.
bool tcp_peer_is(int connection, pid_t pid);
