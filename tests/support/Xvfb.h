// A private X server (Xvfb) for a test program.
//
//   kvo::support::Xvfb x("640x480x24");
//   if (x.DisplayName().empty()) GTEST_SKIP() << x.Error();
//   ::setenv("DISPLAY", x.DisplayName().c_str(), 1);
//
// The server picks a free display number itself (-displayfd), so programs
// running side by side never race for a fixed one, listens on local sockets
// only, and keeps running when its last client disconnects (-noreset): a
// server that resets there drops a connection that arrives while it resets,
// which is how a test's second connection failed now and then under load.
//
// Before the display is handed out, every local socket of that display that
// a client could reach must answer from the server's own process, and the
// server must still be running; otherwise that server is stopped and a fresh
// one started, `attempts` times in all.  A display of another program's
// server is never handed out.
//
// Lifecycle: the constructor starts the server (or gives up, with
// DisplayName() "" and Error() saying why); Stop() or the destructor ends it
// with SIGTERM (SIGKILL if it has not ended within seconds) and waits for it.
// The server also gets SIGTERM when the thread that constructed this object
// ends, so a test program that crashes leaves no server behind: construct it
// on a thread that outlives it (the main thread, in a test fixture).
// Not thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kvo::support {

struct XvfbOptions {
    std::string screen = "1024x768x24";             // screen 0: width x height x depth
    std::vector<std::string> arguments;             // more server arguments, e.g. {"-dpi", "96"}
    std::string program = "Xvfb";                   // a name is looked up on PATH
    int attempts = 3;                               // servers tried before giving up
    std::chrono::milliseconds startTimeout{20000};  // per server, until it names its display
};

class Xvfb {
  public:
    // A server with screen 0 of `screen` (width x height x depth) and
    // `arguments` added to the server's own.
    explicit Xvfb(std::string screen = "1024x768x24", std::vector<std::string> arguments = {});
    explicit Xvfb(XvfbOptions options);
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // ":<n>" of the verified server; "" when none could be started.
    const std::string& DisplayName() const { return display_; }
    // The server's process id; -1 when there is none.
    pid_t Pid() const { return pid_; }
    // Why there is no server (for a skip or failure message); "" when there is.
    const std::string& Error() const { return error_; }

    // Ends the server now; DisplayName() is "" afterwards.
    void Stop();

    // True when `program` names an executable file, directly or on PATH.
    static bool Installed(const std::string& program = "Xvfb");

  private:
    // One server: started, its display read and checked.  "" on success,
    // else the reason, with the server stopped.
    std::string StartOnce();

    XvfbOptions options_;
    pid_t pid_ = -1;
    std::string display_;
    std::string error_;
};

}  // namespace kvo::support
