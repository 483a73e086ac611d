// Starting programs and waiting for them while the caller's event loop stays
// served.  Results mirror the Windows calls: a started process, or the
// failure with its errno; an exit code once the process has ended.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kvo::platform {

struct StartResult {
    pid_t pid = 0;  // 0 when nothing was started
    int error = 0;  // errno of the failure
    explicit operator bool() const { return pid > 0; }
};

// Splits a Windows command-line parameter text into arguments: blanks
// separate, double quotes group (and are dropped), "" inside quotes is one
// quote character.
std::vector<std::string> SplitParameters(std::string_view parameters);

// Starts the program with the arguments (argv[0] is the program).  A program
// name without "/" is searched in PATH.  A program that does not exist or may
// not be run fails here, with ENOENT or EACCES, not later in the child.
StartResult StartProgram(const std::string& program, const std::vector<std::string>& arguments);
// Opens a file or URL with the desktop's handler for its type (xdg-open), the
// counterpart of starting it through the shell.  A local file that does not
// exist fails with ENOENT.
StartResult StartThroughShell(const std::string& fileOrUrl);

enum class WaitState {
    Exited,     // exitCode holds the code; a signal gives 128 + its number
    Failed,     // cannot be waited for (not our child, already reaped): error
    Abandoned,  // serve() asked to stop waiting; the process runs on
    TimedOut,
};

struct WaitResult {
    WaitState state = WaitState::Failed;
    int exitCode = 0;
    int error = 0;
};

// Waits for a child process by polling every pollMs.  Between polls serve()
// is called (the GUI processes its events there); when it returns false the
// wait is abandoned.  timeoutMs < 0 waits without limit.
WaitResult WaitForProcess(pid_t pid, const std::function<bool()>& serve = {}, int timeoutMs = -1,
                          int pollMs = 100);

}  // namespace kvo::platform
