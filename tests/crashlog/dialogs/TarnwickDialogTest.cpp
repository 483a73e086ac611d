// Tarnwick on a real X server (Xvfb): "Go" is pressed while another process
// holds the appointment tables; the classic dialog comes up with the error,
// a screenshot of it shows its window, "OK" closes it, and the program's log
// file holds the report.  A second run with the same error adds a second
// entry with the same ID, since Tarnwick's options leave merging off.
//
// The program runs from a copy in a folder of its own, so its log file
// ("tarnwick.clf" beside it) is this test's alone.
#include <gmock/gmock.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "DemoInstall.h"
#include "StartupFixture.h"
#include "crashlog/CrashLogFile.h"
#include "crashlog/CrashScreenshot.h"
#include "engine/engine.h"
#include "support/ProgramRun.h"
#include "support/Xvfb.h"

namespace kvo::datamodule::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    char buffer[1024];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    ::pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

class TarnwickDialogTest : public StartupTest {
  protected:
    // One private server for the suite, on a display it picks and that is
    // checked to be its own.
    static void SetUpTestSuite() {
        if (::access("/usr/bin/xdotool", X_OK) != 0) {
            skip_ = "no xdotool";
            return;
        }
        server_ = std::make_unique<kvo::support::Xvfb>("1024x768x24");
        display_ = server_->DisplayName();
        skip_ = server_->Error();
    }
    static void TearDownTestSuite() {
        server_.reset();
        display_.clear();
    }

    std::string X(const std::string& command) {
        return RunCommand("DISPLAY=" + display_ + " xdotool " + command);
    }

    // Starts the program, waits for the dialog, checks it and its picture,
    // presses OK and waits for the end.
    void RunOnce(const fs::path& program, int run) {
        const std::string err = Path("err" + std::to_string(run) + ".txt");
        std::vector<std::string> env = {"KESTAVO_UNATTENDED=1",
                                        "KESTAVO_CLICK_AFTER_START=BTN_GO",
                                        "QT_QPA_PLATFORM=xcb",
                                        "DISPLAY=" + display_,
                                        "KESTAVO_CRASHLOG_DIALOG=" + std::string(KVO_DIALOG_HELPER),
                                        "KESTAVO_REPORT_URL=http://127.0.0.1:9/"};
        const pid_t pid = kvo::support::StartProgram({program.string()}, env, "/dev/null", err);
        ASSERT_GT(pid, 0);

        std::string window;
        for (int i = 0; i < 300 && window.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            window = X("search --name '^Error occurred$'");
        }
        if (window.empty()) {
            kvo::support::StopProgram(pid);
            FAIL() << "no dialog came up\n" << ReadFile(err);
        }
        window = window.substr(0, window.find('\n'));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // painted
        EXPECT_EQ(X("getwindowname " + window), "Error occurred");
        // The classic dialog is 419 pixels wide; its header band is white.
        std::string geometry = X("getwindowgeometry " + window);
        EXPECT_THAT(geometry, HasSubstr("Geometry: 419x")) << geometry;
        int x = 0, y = 0;
        std::sscanf(geometry.c_str() + geometry.find("Position: ") + 10, "%d,%d", &x, &y);
        ::setenv("DISPLAY", display_.c_str(), 1);
        crashlog::TScreenPicture screen = crashlog::CaptureScreenPicture({.activeWindow = false,
                                                                          .focusWindow = 0,
                                                                          .processId = 0,
                                                                          .drawCursor = false,
                                                                          .markFocus = false});
        ASSERT_FALSE(screen.Empty());
        auto pixel = [&](int px, int py) {
            return screen.pixels[static_cast<std::size_t>(py * screen.width + px)];
        };
        EXPECT_EQ(pixel(x + 200, y + 5), 0xFFFFFFu);   // inside the band
        EXPECT_EQ(pixel(x + 3, y + 20), 0x000000u);    // its black frame
        EXPECT_NE(pixel(x + 200, y + 56), 0xFFFFFFu);  // the dialog's face below the band
        crashlog::TIndexedPicture indexed = crashlog::QuantizePicture(screen);
        std::vector<std::uint8_t> png = crashlog::EncodePng(indexed);
        // KVO_KEEP_DIALOG_SHOT=DIR keeps the picture for a look.
        const char* keep = std::getenv("KVO_KEEP_DIALOG_SHOT");
        std::ofstream(
            (keep ? std::string(keep) : Path("")) + "/dialog" + std::to_string(run) + ".png",
            std::ios::binary)
            .write(reinterpret_cast<const char*>(png.data()),
                   static_cast<std::streamsize>(png.size()));

        // "OK" (the default button when nothing is sent).
        X("windowactivate --sync " + window);
        X("windowfocus --sync " + window);
        X("key --window " + window + " Return");
        // The press closes the dialog, and xdotool can fail on the vanished
        // window before it sends the release.  The server keeps its state
        // between runs, so a Return left held would answer the next run's
        // dialog by auto-repeat.
        X("keyup Return");
        const kvo::support::TProgramEnd end =
            kvo::support::WaitProgram(pid, std::chrono::seconds(60));
        if (end.timedOut) FAIL() << "the program did not end after OK\n" << ReadFile(err);
        EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << ReadFile(err);
    }

    static inline std::unique_ptr<kvo::support::Xvfb> server_;
    static inline std::string display_;
    static inline std::string skip_;  // why there is no display
};

TEST_F(TarnwickDialogTest, GoOnALockedPracticeShowsTheClassicDialogAndLogsTheReport) {
    if (display_.empty()) GTEST_SKIP() << skip_;
    demo::TDemoInstallOptions options;
    options.root = root_;
    options.dentists = 2;
    options.years = 1;
    ASSERT_TRUE(demo::CreateDemoInstallation(options));
    fs::path folder = MakeDir("program");
    fs::path program = folder / "tarnwick";
    fs::copy_file(TARNWICK_PROGRAM, program);

    engine::Session().Database("OTHER").Params() = {"PATH=" + Path("P/Kestavo/Data")};
    engine::TTable theirs;
    theirs.SetDatabaseName("OTHER");
    theirs.SetTableName("APP_REC.DB");
    theirs.Open();
    theirs.Edit();

    RunOnce(program, 1);
    {
        crashlog::TLogFile log((folder / "tarnwick.clf").string(), true);
        ASSERT_EQ(log.Count(), 1);
        EXPECT_THAT(log.Entry(0), HasSubstr("EDBEngineError"));
        EXPECT_THAT(log.Entry(0), HasSubstr("BTN_GOClick"));
        EXPECT_FALSE(log.GetField("2.7", 0).empty());
    }
    RunOnce(program, 2);
    theirs.Cancel();
    engine::Session().RemoveDatabase("OTHER");

    crashlog::TLogFile log((folder / "tarnwick.clf").string(), true);
    ASSERT_EQ(log.Count(), 2);
    EXPECT_EQ(log.GetField("2.7", 0), log.GetField("2.7", 1));
}

}  // namespace
}  // namespace kvo::datamodule::testing
