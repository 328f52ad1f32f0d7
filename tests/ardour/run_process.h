// Running the DAW's programs as child processes, each in a process group of its own,
// output kept in a log.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct process_result {
    int exit_code = -1;     // -1: did not start or was killed
    int signal = 0;         // the signal that ended the child, if one did
    bool timed_out = false;
    double seconds = 0.0;   // wall time
    std::string output;     // standard output and standard error, interleaved
};

// Starts argv[0] (searched in PATH) with `environment` added to this process's own, both
// output streams going to `log_path`, as the leader of a new process group (its id is
// the returned pid, -1 on failure).
pid_t start_process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                    const std::string& log_path);
// Waits at most `timeout_seconds` for a started child; one still running then is killed
// with its whole process group. The log is read into the result.
process_result wait_process(pid_t pid, const std::string& log_path, double timeout_seconds);
// Both in one.
process_result run_process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                           const std::string& log_path, double timeout_seconds);
