// Runs a program as a child process and captures what it prints.
#pragma once

#include <string>
#include <vector>

namespace lastest {

struct RunResult {
    std::string out;  // standard output, byte for byte
    int status = -1;  // exit status as the shell sees it (0..255); -1 if killed
};

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& cwd = "");

// Absolute path of the Vexholt executable under test.
std::string vexholt_path();

}  // namespace lastest
