// Looking at other processes through /proc in the tests: the editor programs a host
// started, whether they ended, and the socket directory each was given.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct proc_entry {
    pid_t pid;
    char state; // 'Z' for a zombie
    pid_t ppid;
    pid_t pgid;
};

// Every process whose command name is `name`.
std::vector<proc_entry> processes_named(const char* name);
// True once `pid` is gone or a zombie, within the time.
bool wait_ended(pid_t pid, int timeout_ms);
// The directory of the side-channel socket named on a running editor program's command
// line (port, socket path, resources), or "" when it cannot be read.
std::string side_channel_dir(pid_t program);
