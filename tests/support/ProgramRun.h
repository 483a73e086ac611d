// Runs a program of the suite as a process of its own, the way the tests
// that start the real program need it: some variables ahead of the inherited
// environment, its output in files, and a time limit past which it is
// killed, so that a program waiting for an answer fails the test instead of
// hanging the run.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace kvo::support {

struct TProgramEnd {
    bool started = false;   // false: it could not be started at all
    bool timedOut = false;  // still running at the limit, and killed
    int status = -1;        // waitpid()'s status; -1 (neither exited nor signalled) when unknown
};

// Starts `program` without arguments, with this process's environment in
// which `env` ("NAME=value" entries) replaces the variables it names,
// standard output and error written to `outFile` and `errFile` (created or
// truncated), and waits for it up to `limit`.
TProgramEnd RunProgram(const std::string& program, const std::vector<std::string>& env,
                       const std::string& outFile, const std::string& errFile,
                       std::chrono::seconds limit);

// The children of this process named `name` (as /proc shows the command)
// that still run: to see that helpers a test made are gone again.
std::vector<pid_t> ChildrenNamed(std::string_view name);

}  // namespace kvo::support
