#include "editor/peer_owner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

bool unix_peer_is(int connection, pid_t pid)
{
    struct ucred credentials;
    socklen_t size = sizeof credentials;
    return getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           size == sizeof credentials && credentials.pid == pid;
}

// The inode of the peer's socket: in /proc/net/tcp its line has the peer's address as
// local and ours as remote. 0 when there is no such socket (the peer has gone).
static unsigned long peer_socket_inode(int connection)
{
    struct sockaddr_in ours, peer;
    socklen_t ours_size = sizeof ours, peer_size = sizeof peer;
    if (getsockname(connection, (struct sockaddr*)&ours, &ours_size) < 0 ||
        getpeername(connection, (struct sockaddr*)&peer, &peer_size) < 0 ||
        ours.sin_family != AF_INET || peer.sin_family != AF_INET)
        return 0;
    FILE* table = fopen("/proc/net/tcp", "re");
    if (!table)
        return 0;
    unsigned long inode = 0;
    char line[512];
    while (inode == 0 && fgets(line, sizeof line, table)) {
        // "sl: local remote st tx:rx tr:when retransmits uid timeout inode ...", the
        // addresses as the kernel stores them, in hexadecimal.
        unsigned local_address, local_port, remote_address, remote_port;
        unsigned long line_inode;
        if (sscanf(line, " %*u: %X:%X %X:%X %*X %*X:%*X %*X:%*X %*X %*u %*u %lu", &local_address,
                   &local_port, &remote_address, &remote_port, &line_inode) != 5)
            continue;
        if (local_address == peer.sin_addr.s_addr && local_port == ntohs(peer.sin_port) &&
            remote_address == ours.sin_addr.s_addr && remote_port == ntohs(ours.sin_port))
            inode = line_inode;
    }
    fclose(table);
    return inode;
}

// Whether one of the process's descriptors is the socket with that inode.
static bool process_holds_socket(pid_t pid, unsigned long inode)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/fd", (int)pid);
    DIR* descriptors = opendir(path);
    if (!descriptors)
        return false;
    char wanted[40];
    int wanted_size = snprintf(wanted, sizeof wanted, "socket:[%lu]", inode);
    bool found = false;
    while (struct dirent* entry = readdir(descriptors)) {
        char target[64];
        ssize_t size = readlinkat(dirfd(descriptors), entry->d_name, target, sizeof target);
        if (size == wanted_size && memcmp(target, wanted, (size_t)size) == 0) {
            found = true;
            break;
        }
    }
    closedir(descriptors);
    return found;
}

bool tcp_peer_is(int connection, pid_t pid)
{
    unsigned long inode = peer_socket_inode(connection);
    return inode != 0 && process_holds_socket(pid, inode);
}
