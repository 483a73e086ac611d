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

// Starts `argv` (its first entry the program's path) with this process's
// environment changed by `env`: "NAME=value" replaces the inherited NAME, a
// bare "NAME" leaves it out.  Standard output and error go to `outFile` and
// `errFile` (created or truncated; the same path for both puts them in one
// file).  The process's id, or -1 when it could not be started.
pid_t StartProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& outFile, const std::string& errFile);

// Waits for a started program up to `limit`, and kills it there.  A pid of
// -1 (not started) gives started = false.
TProgramEnd WaitProgram(pid_t pid, std::chrono::seconds limit);

// StartProgram, then WaitProgram.
TProgramEnd RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& outFile, const std::string& errFile,
                       std::chrono::seconds limit);

// Ends a started program at once (nothing for -1).
void StopProgram(pid_t pid);

// The children of this process named `name` (as /proc shows the command)
// that still run: to see that helpers a test made are gone again.
std::vector<pid_t> ChildrenNamed(std::string_view name);

}  // namespace kvo::support
