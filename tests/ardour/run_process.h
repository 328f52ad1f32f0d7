// Running the DAW's command-line programs as child processes, output kept in a log.
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

// Starts argv[0] (searched in PATH) in a process group of its own, with `environment`
// added to this process's own and both output streams going to `log_path`; the
// process id, or -1. For programs that run beside the test (servers, hosts).
pid_t start_process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                    const std::string& log_path);

// Waits at most `timeout_seconds` for a started process to end: its exit status (128
// plus the signal when one ended it), or -1 while it still runs.
int wait_process(pid_t pid, double timeout_seconds);

// Runs argv[0] (searched in PATH) with `environment` added to this process's own, both
// output streams going to `log_path`, and waits at most `timeout_seconds`; a child
// still running then is killed with its whole process group.
process_result run_process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                           const std::string& log_path, double timeout_seconds);
