// Display values from a real X server (Xvfb): screen mode, DPI and the
// active window's class and title.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "crashlog/CrashReport.h"

// Xlib last: its macros (None, Bool, Status) would rewrite the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

using namespace crashlog;

class XvfbDisplay : public ::testing::Test {
  protected:
    void SetUp() override {
        // The server picks a free display itself and writes its number to
        // the pipe; with -noreset it keeps running between our connections.
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const std::string fd = std::to_string(fds[1]);
        const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen",   "0",   "1280x1024x24",
                              "-dpi", "96",         "-noreset", "-nolisten", "tcp", nullptr};
        const int spawned =
            posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, const_cast<char**>(argv), environ);
        close(fds[1]);
        if (spawned != 0) {
            close(fds[0]);
            GTEST_SKIP() << "Xvfb cannot be started";
        }
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c = 0;
        // Bounded wait for the server to come up.
        while (poll(&p, 1, 10000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        ASSERT_FALSE(number.empty()) << "no X server came up";
        display_ = ":" + number;
    }
    void TearDown() override { StopServer(); }
    void StopServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    TCrashSystemValues Gather() {
        TCrashSystemSources s;
        s.Display = display_;
        return GatherSystemValues(s);
    }
    std::string display_;
    pid_t pid_ = -1;
};

TEST_F(XvfbDisplay, ScreenModeDpiAndActiveWindow) {
    TCrashSystemValues v = Gather();
    EXPECT_EQ(v.DisplayMode, "1280 x 1024, 24 bit");
    EXPECT_EQ(v.DisplayDpi, "96");
    EXPECT_EQ(v.ForegroundClass, "");  // no window manager names an active window

    Display* d = XOpenDisplay(display_.c_str());
    ASSERT_NE(d, nullptr);
    const Window root = DefaultRootWindow(d);
    const Window w = XCreateSimpleWindow(d, root, 0, 0, 200, 100, 0, 0, 0);
    char instance[] = "tarnwick", cls[] = "Tarnwick";
    XClassHint hint{instance, cls};
    XSetClassHint(d, w, &hint);
    XStoreName(d, w, "Break reset\tAll Done");
    const Atom active = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    XChangeProperty(d, root, active, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&w), 1);
    XSync(d, False);
    v = Gather();
    EXPECT_EQ(v.ForegroundClass, "Tarnwick");
    EXPECT_EQ(v.ForegroundText, "Break reset\tAll Done");

    // A window that is gone by the time it is asked about leaves the items
    // empty and the process alive.
    XDestroyWindow(d, w);
    XSync(d, False);
    v = Gather();
    EXPECT_EQ(v.ForegroundClass, "");
    EXPECT_EQ(v.DisplayMode, "1280 x 1024, 24 bit");
    XCloseDisplay(d);
}

TEST(DisplayValues, RemoteDisplaysAreNotAsked) {
    TCrashSystemSources s;
    s.Display = "192.0.2.1:0";  // a documentation address: a connect would hang
    const auto start = std::chrono::steady_clock::now();
    const TCrashSystemValues v = GatherSystemValues(s);
    EXPECT_EQ(v.DisplayMode, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
