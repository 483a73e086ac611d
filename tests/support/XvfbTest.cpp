// The private X server: real servers side by side each answer on their own
// display and keep answering between connections; a server whose display
// is not its own (or that names none) is never handed out and never left
// running; a fresh server is tried after one that failed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <sstream>

#include "support/TempEnvironment.h"
#include "support/Xvfb.h"

// Xlib last: its macros (None, Bool, Status) would rewrite the headers above.
#include <X11/Xlib.h>

namespace kvo::support {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

bool ProcessGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// A stand-in for the server: a shell script that gets the server's
// arguments ($2 is the descriptor for the display number) and records the
// pid of every start in `starts` beside it.
struct FakeServer {
    explicit FakeServer(const TempEnvironment& env, const std::string& body)
        : path(env.Path("fake-xvfb")), starts(env.Path("starts")) {
        WriteFile(path, "#!/bin/sh\necho $$ >> '" + starts + "'\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
    }
    std::vector<pid_t> Starts() const {
        std::vector<pid_t> pids;
        std::istringstream in(ReadFile(starts));
        for (pid_t pid; in >> pid;)
            pids.push_back(pid);
        return pids;
    }
    std::string path, starts;
};

TEST(Xvfb, ServersSideBySideAnswerOnTheirOwnDisplaysUntilStopped) {
    if (!Xvfb::Installed()) GTEST_SKIP() << "no Xvfb";
    Xvfb a("640x480x24");
    Xvfb b("320x200x24");
    ASSERT_NE(a.DisplayName(), "") << a.Error();
    ASSERT_NE(b.DisplayName(), "") << b.Error();
    EXPECT_NE(a.DisplayName(), b.DisplayName());
    EXPECT_EQ(a.Error(), "");

    struct Expected {
        Xvfb& server;
        int width, height;
    };
    for (const Expected& e : {Expected{a, 640, 480}, Expected{b, 320, 200}}) {
        SCOPED_TRACE(e.server.DisplayName());
        // Connections one after the other, as a fixture and its tests make
        // them: a server that resets when its last client leaves drops the
        // connection that comes in while it resets.
        for (int i = 0; i < 40; ++i) {
            Display* d = XOpenDisplay(e.server.DisplayName().c_str());
            ASSERT_NE(d, nullptr) << "connection " << i;
            EXPECT_EQ(DisplayWidth(d, DefaultScreen(d)), e.width);
            EXPECT_EQ(DisplayHeight(d, DefaultScreen(d)), e.height);
            XCloseDisplay(d);
        }
    }

    const pid_t stopped = a.Pid();
    a.Stop();
    EXPECT_EQ(a.DisplayName(), "");
    EXPECT_EQ(a.Pid(), -1);
    EXPECT_TRUE(ProcessGone(stopped));
    Display* d = XOpenDisplay(b.DisplayName().c_str());
    EXPECT_NE(d, nullptr) << "the other server is untouched";
    if (d) XCloseDisplay(d);
}

// ---- servers that are not handed out -----------------------------------

TEST(Xvfb, NoDisplayFromAServerThatDoesNotServeIt) {
    // A real server whose display a stand-in claims as its own.
    std::optional<Xvfb> other;
    if (Xvfb::Installed()) other.emplace("320x200x24");
    const std::string otherNumber =
        other && !other->DisplayName().empty() ? other->DisplayName().substr(1) : "";

    struct Case {
        const char* what;
        std::string body;  // "" : no program at all
        const char* error;
    };
    const Case cases[] = {
        {"not installed", "", "is not installed"},
        {"ends at once", "exit 3", "exited with status 3 before naming its display"},
        {"another server's display", "echo " + otherNumber + " >&$2; exec sleep 60",
         "is served by process "},
        {"a display nobody serves", "echo 65000 >&$2; exec sleep 60",
         "nothing answers on display :65000"},
        {"no number", "echo hello >&$2; exec sleep 60", "wrote \"hello\", not a display number"},
        {"silent", "exec sleep 60", "named no display within 300 ms"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what) == "another server's display" && otherNumber.empty()) {
            if (other) ADD_FAILURE() << "no real server to claim: " << other->Error();
            continue;  // without Xvfb there is none to claim
        }
        TempEnvironment env("kvo-xvfb");
        FakeServer fake(env, c.body);
        XvfbOptions options;
        options.program = c.body.empty() ? env.Path("missing") : fake.path;
        options.attempts = 2;
        options.startTimeout = 300ms;
        Xvfb x(options);
        EXPECT_EQ(x.DisplayName(), "");
        EXPECT_EQ(x.Pid(), -1);
        EXPECT_THAT(x.Error(), HasSubstr(c.error));
        const std::vector<pid_t> starts = fake.Starts();
        EXPECT_EQ(starts.size(), c.body.empty() ? 0u : 2u) << "one try per attempt";
        for (pid_t pid : starts)
            EXPECT_TRUE(ProcessGone(pid)) << "left running: " << pid;
    }
    if (!otherNumber.empty()) {
        Display* d = XOpenDisplay(other->DisplayName().c_str());
        EXPECT_NE(d, nullptr) << "the claimed server is untouched";
        if (d) XCloseDisplay(d);
    }
}

TEST(Xvfb, AFreshServerAfterOneThatClaimedAnotherDisplay) {
    if (!Xvfb::Installed()) GTEST_SKIP() << "no Xvfb";
    Xvfb other("320x200x24");
    ASSERT_NE(other.DisplayName(), "") << other.Error();
    TempEnvironment env("kvo-xvfb");
    // The first start claims the other server's display; the second is a
    // real server.
    FakeServer fake(env,
                    "if [ $(wc -l < \"$(dirname \"$0\")/starts\") -eq 1 ]; then\n"
                    "  echo " +
                        other.DisplayName().substr(1) +
                        " >&$2; exec sleep 60\n"
                        "fi\n"
                        "exec Xvfb \"$@\"");
    XvfbOptions options;
    options.screen = "640x480x24";
    options.program = fake.path;
    Xvfb x(options);
    ASSERT_NE(x.DisplayName(), "") << x.Error();
    EXPECT_NE(x.DisplayName(), other.DisplayName());
    const std::vector<pid_t> starts = fake.Starts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_TRUE(ProcessGone(starts[0]));
    EXPECT_EQ(x.Pid(), starts[1]);
    Display* d = XOpenDisplay(x.DisplayName().c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(DisplayWidth(d, DefaultScreen(d)), 640);
    XCloseDisplay(d);
}

}  // namespace
}  // namespace kvo::support
