#include "processes.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

// The fields of /proc/PID/stat after the command name; false when the process is gone.
bool read_stat(pid_t pid, std::string* name, proc_entry* p)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos)
        return false;
    *name = line.substr(open + 1, close - open - 1);
    *p = {pid, 0, 0, 0};
    return sscanf(line.c_str() + close + 1, " %c %d %d", &p->state, &p->ppid, &p->pgid) == 3;
}

} // namespace

std::vector<proc_entry> processes_named(const char* name)
{
    std::vector<proc_entry> out;
    DIR* dir = opendir("/proc");
    while (dirent* e = readdir(dir)) {
        pid_t pid = (pid_t)atoi(e->d_name);
        std::string comm;
        proc_entry p;
        if (pid > 0 && read_stat(pid, &comm, &p) && comm == name)
            out.push_back(p);
    }
    closedir(dir);
    return out;
}

bool wait_ended(pid_t pid, int timeout_ms)
{
    auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        std::string comm;
        proc_entry p;
        if (!read_stat(pid, &comm, &p) || p.state == 'Z')
            return true;
        if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(timeout_ms))
            return false;
        usleep(1000);
    }
}

std::string side_channel_dir(pid_t program)
{
    std::string args;
    FILE* f = fopen(("/proc/" + std::to_string(program) + "/cmdline").c_str(), "r");
    if (!f)
        return "";
    int c;
    while ((c = fgetc(f)) != EOF)
        args += (char)c;
    fclose(f);
    std::vector<std::string> argv;
    for (size_t start = 0; start < args.size();) {
        const size_t end = args.find('\0', start);
        argv.push_back(args.substr(start, end - start));
        start = end == std::string::npos ? args.size() : end + 1;
    }
    // A program of another architecture started through qemu-user's binfmt entry shows
    // the interpreter and the program's path before its own argv.
    if (!argv.empty() && argv[0].find("qemu") != std::string::npos)
        argv.erase(argv.begin(), argv.begin() + std::min<size_t>(2, argv.size()));
    // argv[0], the port, then the socket path.
    if (argv.size() < 3)
        return "";
    return argv[2].substr(0, argv[2].rfind('/'));
}
