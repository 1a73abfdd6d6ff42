// tests/support: runs a program of the build as a child process, as a user would from a
// shell, and captures its exit code and both output streams.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qirtest {

struct ProcessResult {
    // The exit status, 128 + the signal number when a signal ended it, -1 when it could not
    // be started.
    int mExitCode = -1;
    std::string mOut;
    std::string mErr;
};

// Runs program with args in workingFolder and waits for it. The child gets this process's
// environment with the NAME=VALUE entries of environment added (replacing variables of the
// same name; "NAME=" sets an empty value). Its standard input is /dev/null.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workingFolder, const std::vector<std::string>& environment = {});

} // namespace qirtest
