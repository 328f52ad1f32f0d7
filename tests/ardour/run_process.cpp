#include "run_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

pid_t start_process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                    const std::string& log_path)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // Own process group, so a timeout takes the DAW's helper threads and children too;
        // and no DAW outlives a test program that was killed.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log < 0)
            _exit(126);
        dup2(log, 1);
        dup2(log, 2);
        close(log);
        int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) {
            dup2(null_in, 0);
            close(null_in);
        }
        for (const std::string& entry : environment)
            putenv(strdup(entry.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

process_result wait_process(pid_t pid, const std::string& log_path, double timeout_seconds)
{
    process_result result;
    if (pid < 0)
        return result;
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeout_seconds) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timed_out = true;
            break;
        }
        struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result.timed_out && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    if (!result.timed_out && WIFSIGNALED(status))
        result.signal = WTERMSIG(status);

    std::ifstream log(log_path);
    std::stringstream text;
    text << log.rdbuf();
    result.output = text.str();
    return result;
}

process_result run_process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                           const std::string& log_path, double timeout_seconds)
{
    const auto start = std::chrono::steady_clock::now();
    process_result result = wait_process(start_process(argv, environment, log_path), log_path, timeout_seconds);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}
