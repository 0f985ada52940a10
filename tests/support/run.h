// Runs a program as a child process and captures what it prints.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lastest {

struct RunResult {
    // Standard output, byte for byte as the program wrote it. On Windows the
    // runtime writes each "\n" as "\r\n"; that translation is undone here
    // (and required: a bare "\n" there is reported as an error).
    std::string out;
    int status = -1;  // exit status as a POSIX shell sees it (0..255); -1 if killed
    // The exit code as the platform reports it: the full 32-bit code on
    // Windows (0xFFFFFFFF for exit(-1)), the same as status elsewhere.
    std::int64_t native_status = -1;
    // Standard error, when asked for (text mode undone as for out).
    std::string err;
};

// Starts program with exactly these arguments, no shell between, standard
// input empty, in cwd when given; standard error is captured into err with
// capture_err, else left to the test's own.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& cwd = "", bool capture_err = false);

#ifndef _WIN32
// Runs body in a forked copy of this process, as if it were a program's
// main: what it prints and how the copy ends; a body that returns exits
// with the status it returns.
RunResult run_forked(const std::function<int()>& body);
#endif

// Absolute paths of the executables under test.
std::string vexholt_path();
std::string audit_path();

}  // namespace lastest
