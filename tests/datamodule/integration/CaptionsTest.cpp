// The real program's windows on a real X server: every top-level window and
// message box carries exactly its own caption, in both the old and the
// extended title property, with nothing of the application's name added.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DemoInstall.h"
#include "StartupFixture.h"
#include "platform/LockFile.h"
#include "support/ProgramRun.h"
#include "support/Xvfb.h"

namespace kvo::datamodule::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Standard output of a shell command (its arguments are ours, not input).
std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

struct TTitles {
    std::string wmName, netWmName;
};

// The value of one property line of xprop ("NAME(TYPE) = "value"").
std::string PropertyValue(const std::string& xprop, const std::string& name) {
    const std::size_t at = xprop.find("\n" + name + "(");
    if (at == std::string::npos) return "<none>";
    const std::size_t open = xprop.find("= \"", at);
    const std::size_t end = xprop.find('\n', at + 1);
    if (open == std::string::npos || open > end) return "<none>";
    const std::size_t close = xprop.rfind('"', end);
    return xprop.substr(open + 3, close - open - 3);
}

class CaptionsTest : public StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_FALSE(X().DisplayName().empty()) << X().Error();
        env_->Set("DISPLAY", X().DisplayName());
        env_->Unset("XAUTHORITY");
    }
    void TearDown() override {
        support::StopProgram(program_);
        StartupTest::TearDown();
    }

    void Install(bool empty) {
        demo::TDemoInstallOptions options;
        options.root = root_;
        options.empty = empty;
        options.dentists = 1;
        options.years = 1;
        ASSERT_TRUE(demo::CreateDemoInstallation(options));
    }

    // Starts the program on the X server and waits until a window of it with
    // a title is visible; the window's two title properties.
    std::optional<TTitles> FirstWindowTitles() {
        program_ = support::StartProgram(
            {TARNWICK_PROGRAM}, {"QT_QPA_PLATFORM=xcb", "KESTAVO_REPORT_URL=http://127.0.0.1:9/"},
            Path("program.log"), Path("program.log"));
        if (program_ <= 0) return std::nullopt;
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            const std::string ids = Capture("xdotool search --onlyvisible --pid " +
                                            std::to_string(program_) + " --name .");
            std::size_t end = ids.find('\n');
            if (end != std::string::npos && end > 0) {
                const std::string xprop =
                    "\n" + Capture("xprop -id " + ids.substr(0, end) + " WM_NAME _NET_WM_NAME");
                TTitles titles{PropertyValue(xprop, "WM_NAME"),
                               PropertyValue(xprop, "_NET_WM_NAME")};
                if (titles.wmName != "<none>" && titles.netWmName != "<none>") return titles;
            }
            if (::waitpid(program_, nullptr, WNOHANG) == program_) {
                program_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "no window shown; the program wrote:\n" << ReadFile(Path("program.log"));
        return std::nullopt;
    }

    // One server for the whole program, started on first use (never while
    // the tests are only being listed) and stopped at exit.
    static kvo::support::Xvfb& X() {
        static kvo::support::Xvfb server("1024x768x24");
        return server;
    }
    pid_t program_ = -1;
};

TEST_F(CaptionsTest, EveryWindowCarriesExactlyItsCaption) {
    struct Case {
        const char* what;
        bool empty;    // installation without its INI file: the data drive is asked for
        bool packing;  // the packing program holds the practice: a message box
        const char* caption;
    };
    const Case cases[] = {
        {"main window", false, false, "Tarnwick"},
        {"data drive selection", true, false, "Kestavo - Select Data Drive"},
        {"message box", false, true, "Kestavo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root_ + "/C");
        fs::remove_all(root_ + "/P");
        fs::remove(root_ + "/.complete");
        Install(c.empty);
        platform::LockFile packer;
        if (c.packing) {
            ASSERT_TRUE(packer.Hold(root_ + "/P/Kestavo/KVO.LCK", platform::LockMode::Exclusive));
        }
        const auto titles = FirstWindowTitles();
        support::StopProgram(program_);
        program_ = -1;
        ASSERT_TRUE(titles.has_value());
        EXPECT_EQ(titles->wmName, c.caption);
        EXPECT_EQ(titles->netWmName, c.caption);
    }
}

}  // namespace
}  // namespace kvo::datamodule::testing
