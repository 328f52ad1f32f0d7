// Debian's valgrind around a program in the tests: the options under which any memory
// error, and any block definitely or indirectly lost, fails the run, and the reading of
// its report. valgrind cannot run a program built with AddressSanitizer, so the sanitizer
// tree skips these runs (the plain tree has them).
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// valgrind and its options, with the report written to log_path; the program and its
// arguments follow. Its exit status is 99 when it found something.
inline std::vector<std::string> valgrind_command(const std::string& log_path)
{
    return {"valgrind", "--leak-check=full", "--show-leak-kinds=definite,indirect",
            "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99", "--log-file=" + log_path};
}

// "" when the report at log_path shows no error and nothing definitely or indirectly lost,
// else the whole report.
inline std::string valgrind_findings(const std::string& log_path)
{
    std::ifstream in(log_path);
    const std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool no_errors = report.find("ERROR SUMMARY: 0 errors from 0 contexts") != std::string::npos;
    const bool no_leaks = report.find("All heap blocks were freed") != std::string::npos ||
                          (report.find("definitely lost: 0 bytes in 0 blocks") != std::string::npos &&
                           report.find("indirectly lost: 0 bytes in 0 blocks") != std::string::npos);
    return no_errors && no_leaks ? "" : report.empty() ? "no report at " + log_path : report;
}

// Where valgrind cannot run the programs under test, the test says why and stops: in the
// sanitizer tree, and in the aarch64 tree under emulation (the x86-64 tree runs them).
#if defined(VGS_SANITIZED)
#define SKIP_WHERE_VALGRIND_CANNOT_RUN() \
    GTEST_SKIP() << "skipped: valgrind cannot run a program built with AddressSanitizer; the plain build runs it"
#elif defined(VGS_EMULATED)
#define SKIP_WHERE_VALGRIND_CANNOT_RUN()                                                                     \
    GTEST_SKIP() << "skipped: Debian's valgrind here is the x86-64 one and cannot run aarch64 programs; the " \
                    "x86-64 tree runs it"
#else
#define SKIP_WHERE_VALGRIND_CANNOT_RUN() (void)0
#endif
