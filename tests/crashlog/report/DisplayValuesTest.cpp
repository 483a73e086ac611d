// Display values from a real X server (Xvfb): screen mode, DPI and the
// active window's class and title.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "crashlog/CrashReport.h"
#include "support/Xvfb.h"

// Xlib last: its macros (None, Bool, Status) would rewrite the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace crashlog;

class XvfbDisplay : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kvo::support::Xvfb::Installed()) GTEST_SKIP() << "no Xvfb";
        // The server keeps its state between our connections: it never resets.
        server_.emplace("1280x1024x24", std::vector<std::string>{"-dpi", "96"});
        ASSERT_FALSE(server_->DisplayName().empty()) << server_->Error();
        display_ = server_->DisplayName();
    }
    TCrashSystemValues Gather() {
        TCrashSystemSources s;
        s.Display = display_;
        return GatherSystemValues(s);
    }
    std::optional<kvo::support::Xvfb> server_;
    std::string display_;
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
