#include "support/Xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

namespace kvo::support {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// "exited with status 1" / "ended by signal 9", for the error text.
std::string DescribeEnd(int status) {
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 127) return "could not be run (status 127)";
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

// The pid of the process listening on a local socket of the display, or
// nullopt when nothing answers there.  `abstract` asks Linux's abstract
// name, which clients try before the file; both carry the same path.
std::optional<pid_t> ListenerPid(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t skip = abstract ? 1 : 0;  // the abstract name starts with a NUL
    if (path.size() + skip + 1 > sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path + skip, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + skip +
                                               path.size() + (abstract ? 0 : 1));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    std::optional<pid_t> pid;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        // The credentials of a connected local socket are those of the
        // process that listens on the other end.
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0)
            pid = credentials.pid;
    }
    ::close(fd);
    return pid;
}

// "" when whatever a client of display :`number` reaches is process `pid`.
// The sockets themselves are asked: a server started with -displayfd
// writes no lock file, and a socket is what a client actually reaches.
std::string CheckOwner(const std::string& number, pid_t pid) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    const std::optional<pid_t> viaName = ListenerPid(path, true);
    const std::optional<pid_t> viaFile = ListenerPid(path, false);
    if (!viaName && !viaFile) return "nothing answers on display :" + number;
    for (const auto& [owner, where] :
         {std::pair{viaName, "abstract socket"}, std::pair{viaFile, "socket file"}}) {
        if (owner && *owner != pid)
            return "display :" + number + " (" + where + ") is served by process " +
                   std::to_string(*owner) + ", not by the server started (" + std::to_string(pid) +
                   ")";
    }
    return "";
}

// Waits for `pid` for up to `limit`; true when it has ended (and is reaped).
bool WaitEnded(pid_t pid, std::chrono::milliseconds limit, int* status) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const pid_t r = ::waitpid(pid, status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace

Xvfb::Xvfb(std::string screen, std::vector<std::string> arguments)
    : Xvfb([&] {
          XvfbOptions options;
          options.screen = std::move(screen);
          options.arguments = std::move(arguments);
          return options;
      }()) {}

Xvfb::Xvfb(XvfbOptions options) : options_(std::move(options)) {
    if (!Installed(options_.program)) {
        error_ = "no X server: \"" + options_.program + "\" is not installed";
        return;
    }
    std::string reason = "no attempt made";
    int attempt = 0;
    while (attempt < options_.attempts) {
        ++attempt;
        reason = StartOnce();
        if (reason.empty()) return;
    }
    error_ = "no X server: " + reason + " (" + std::to_string(attempt) + " attempt" +
             (attempt == 1 ? "" : "s") + ")";
}

Xvfb::~Xvfb() {
    Stop();
}

void Xvfb::Stop() {
    display_.clear();
    if (pid_ <= 0) return;
    int status = 0;
    ::kill(pid_, SIGTERM);
    if (!WaitEnded(pid_, 5000ms, &status)) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
}

bool Xvfb::Installed(const std::string& program) {
    auto runnable = [](const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
               ::access(path.c_str(), X_OK) == 0;
    };
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) return runnable(program);
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        if (runnable(dir + "/" + program)) return true;
        start = end + 1;
    }
    return false;
}

std::string Xvfb::StartOnce() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    // Everything the child needs is made before fork: after it, only calls
    // that are safe in a copy of a threaded process.
    std::vector<std::string> args = {options_.program, "-displayfd", std::to_string(fds[1]),
                                     "-nolisten",      "tcp",        "-noreset",
                                     "-screen",        "0",          options_.screen};
    args.insert(args.end(), options_.arguments.begin(), options_.arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return std::string("fork: ") + std::strerror(error);
    }
    if (pid == 0) {
        // A test program that dies without its destructors takes the
        // server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(126);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::fcntl(fds[1], F_SETFD, 0);  // the one descriptor the server keeps
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    ::close(fds[1]);

    // The server writes its display number and a newline once it accepts
    // clients.  Bounded: a server that never gets there is given up.
    std::string text;
    std::string failure;
    const auto deadline = Clock::now() + options_.startTimeout;
    while (text.find('\n') == std::string::npos && failure.empty()) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            failure = options_.program + " " + DescribeEnd(status) + " before naming its display";
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) {
            failure = options_.program + " named no display within " +
                      std::to_string(options_.startTimeout.count()) + " ms";
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min(left, 100ms).count()));
        if (ready <= 0) continue;  // timeout slice or EINTR
        char buffer[64];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            // Closed without a number: the server is on its way out; the
            // next round reaps it and says how it ended.
            std::this_thread::sleep_for(10ms);
        if (text.size() > 32) failure = options_.program + " wrote no display number";
    }
    ::close(fds[0]);

    if (failure.empty()) {
        const std::string number = text.substr(0, text.find('\n'));
        if (number.empty() || number.size() > 5 ||
            number.find_first_not_of("0123456789") != std::string::npos) {
            failure = options_.program + " wrote \"" + number + "\", not a display number";
        } else {
            failure = CheckOwner(number, pid_);
            int status = 0;
            if (failure.empty() && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                failure = options_.program + " " + DescribeEnd(status) + " after naming :" + number;
            }
            if (failure.empty()) display_ = ":" + number;
        }
    }
    if (!failure.empty()) Stop();
    return failure;
}

}  // namespace kvo::support
