#include "platform/Process.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/Sys.h"

extern char** environ;

namespace kvo::platform {
namespace {

// The path posix_spawn is to run, searched in PATH for a bare name, so that a
// missing or non-executable program is reported here with its errno.
std::string Locate(const std::string& program, int& error) {
    auto check = [&](const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            error = errno;
            return false;
        }
        if (S_ISDIR(st.st_mode) || ::access(path.c_str(), X_OK) != 0) {
            error = EACCES;
            return false;
        }
        return true;
    };
    error = ENOENT;
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return check(program) ? program : std::string();
    const char* envPath = std::getenv("PATH");
    std::string path = envPath ? envPath : "/usr/local/bin:/usr/bin:/bin";
    int firstError = 0;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find(':', pos);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(pos, end - pos);
        pos = end + 1;
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        if (check(candidate)) return candidate;
        if (error != ENOENT && !firstError) firstError = error;
    }
    error = firstError ? firstError : ENOENT;
    return {};
}

}  // namespace

std::vector<std::string> SplitParameters(std::string_view parameters) {
    std::vector<std::string> out;
    std::string current;
    bool inQuotes = false, started = false;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        char c = parameters[i];
        if (c == '"') {
            if (inQuotes && i + 1 < parameters.size() && parameters[i + 1] == '"') {
                current += '"';
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
            started = true;
        } else if ((c == ' ' || c == '\t') && !inQuotes) {
            if (started) out.push_back(std::move(current));
            current.clear();
            started = false;
        } else {
            current += c;
            started = true;
        }
    }
    if (started) out.push_back(std::move(current));
    return out;
}

StartResult StartProgram(const std::string& program, const std::vector<std::string>& arguments) {
    StartResult result;
    std::string path = Locate(program, result.error);
    if (path.empty()) return result;
    std::vector<std::string> args;
    args.push_back(program);
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = Sys().posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        result.error = rc;
        return result;
    }
    result.pid = pid;
    result.error = 0;
    return result;
}

StartResult StartThroughShell(const std::string& fileOrUrl) {
    bool isUrl = fileOrUrl.find("://") != std::string::npos || fileOrUrl.rfind("mailto:", 0) == 0;
    if (!isUrl && ::access(fileOrUrl.c_str(), F_OK) != 0) return {0, errno};
    return StartProgram("xdg-open", {fileOrUrl});
}

WaitResult WaitForProcess(pid_t pid, const std::function<bool()>& serve, int timeoutMs,
                          int pollMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    WaitResult result;
    if (pid <= 0) {
        result.error = ECHILD;
        return result;
    }
    for (;;) {
        int status = 0;
        pid_t r = Sys().waitpid(pid, &status, WNOHANG);
        if (r < 0) {
            result.state = WaitState::Failed;
            result.error = errno;
            return result;
        }
        if (r == pid && (WIFEXITED(status) || WIFSIGNALED(status))) {
            result.state = WaitState::Exited;
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return result;
        }
        if (serve && !serve()) {
            result.state = WaitState::Abandoned;
            return result;
        }
        if (timeoutMs >= 0 && Clock::now() >= deadline) {
            result.state = WaitState::TimedOut;
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs > 0 ? pollMs : 1));
    }
}

}  // namespace kvo::platform
