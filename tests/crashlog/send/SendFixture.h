// Loopback servers for the delivery tests: the Python servers of
// servers.py (started and killed by the test), a scripted raw TCP server
// for the misbehaving cases, and a temporary folder.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace sendtest {

namespace fs = std::filesystem;

inline std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteAll(const fs::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << data;
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "sendtest-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

// Runs a command, returns its exit status and its standard output.
inline int RunCommand(const std::vector<std::string>& args, std::string* output = nullptr) {
    int pipeFd[2];
    if (pipe(pipeFd) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFd[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while (rc == 0 && (n = read(pipeFd[0], buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    close(pipeFd[0]);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One servers.py server; killed when the object goes.
class PyServer {
  public:
    PyServer(const std::string& kind, const fs::path& outdir, std::vector<std::string> extra = {}) {
        int pipeFd[2];
        if (pipe(pipeFd) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
        std::vector<std::string> args{"/usr/bin/python3", KVO_SEND_SERVERS, kind, outdir.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFd[1]);
        if (rc != 0) throw std::runtime_error("cannot start " + kind + " server");
        // "PORT n" within 15 s, or the server is broken.
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{pipeFd[0], POLLIN, 0};
            if (poll(&p, 1, 200) == 1) {
                char c;
                if (read(pipeFd[0], &c, 1) != 1) break;
                line += c;
            }
        }
        close(pipeFd[0]);
        if (line.rfind("PORT ", 0) != 0) {
            Stop();
            throw std::runtime_error(kind + " server did not start");
        }
        port_ = std::stoi(line.substr(5));
    }
    ~PyServer() { Stop(); }
    int port() const { return port_; }

  private:
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    int port_ = 0;
};

// Records written by servers.py: the fields of record `n` ("from", "data" ...).
inline bool WaitForRecords(const fs::path& dir, int count, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        char name[32];
        snprintf(name, sizeof name, "%03d.done", count - 1);
        if (fs::exists(dir / name)) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
inline std::string Field(const fs::path& dir, int n, const std::string& key) {
    char name[64];
    snprintf(name, sizeof name, "%03d.%s", n, key.c_str());
    return ReadAll(dir / name);
}

// A TCP server on 127.0.0.1 that hands each accepted connection to `serve`
// on its own thread, for the servers that misbehave on purpose.
class RawServer {
  public:
    explicit RawServer(std::function<void(int fd)> serve) : serve_(std::move(serve)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        listen(fd_, 8);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 50) != 1) continue;
                const int c = accept(fd_, nullptr, nullptr);
                if (c < 0) continue;
                workers_.emplace_back([this, c] {
                    serve_(c);
                    close(c);
                });
            }
        });
    }
    ~RawServer() {
        stop_ = true;
        thread_.join();
        for (auto& w : workers_)
            w.join();
        close(fd_);
    }
    int port() const { return port_; }
    bool stopping() const { return stop_; }

  private:
    std::function<void(int)> serve_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> workers_;
};

// Reads one CRLF line (or up to "\r\n.\r\n" with `data`); empty when the
// peer went or 5 s passed.
inline std::string ReadLine(int fd, bool data = false) {
    std::string got;
    const char* end = data ? "\r\n.\r\n" : "\r\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.find(end) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return {};
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) != 1) continue;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return {};
        got.append(buf, size_t(n));
    }
    return got;
}

inline void SendAll(int fd, const std::string& text) {
    size_t pos = 0;
    while (pos < text.size()) {
        const ssize_t n = send(fd, text.data() + pos, text.size() - pos, MSG_NOSIGNAL);
        if (n <= 0) return;
        pos += size_t(n);
    }
}

}  // namespace sendtest
