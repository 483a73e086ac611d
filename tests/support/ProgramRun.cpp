#include "support/ProgramRun.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <thread>

extern char** environ;

namespace kvo::support {

pid_t StartProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& outFile, const std::string& errFile) {
    // An inherited variable that `env` names is left out rather than put
    // after it: which of two entries wins depends on the reader (getenv()
    // takes the first, a shell the last), and children pass both on.
    auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> entries;
    for (const auto& mine : env)
        if (mine.find('=') != std::string::npos) entries.push_back(mine);
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        bool given = false;
        for (const auto& mine : env)
            given = given || nameOf(mine) == nameOf(entry);
        if (!given) entries.emplace_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : entries)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    if (args.empty()) return -1;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (errFile == outFile) {
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    pid_t pid = -1;
    const bool started =
        posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started ? pid : -1;
}

TProgramEnd WaitProgram(pid_t pid, std::chrono::seconds limit) {
    TProgramEnd end;
    end.started = pid > 0;
    if (!end.started) return end;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            end.status = status;
            break;
        }
        if (done < 0 && errno != EINTR) break;  // the status stays unknown, never "exited 0"
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            if (::waitpid(pid, &status, 0) == pid) end.status = status;
            end.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return end;
}

TProgramEnd RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& outFile, const std::string& errFile,
                       std::chrono::seconds limit) {
    return WaitProgram(StartProgram(argv, env, outFile, errFile), limit);
}

void StopProgram(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

std::vector<pid_t> ChildrenNamed(std::string_view name) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    const std::string command = "(" + std::string(name) + ")";
    while (dirent* e = ::readdir(proc)) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos || line.find(command) == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        std::sscanf(line.c_str() + close + 2, "%c %d", &state, &ppid);
        if (ppid == ::getpid() && state != 'Z') found.push_back(pid);
    }
    ::closedir(proc);
    return found;
}

}  // namespace kvo::support
