// A private world for the shared library's tests: the shared temporary
// environment with a drive map of C: and D: inside it, a frozen clock, a
// scripted message presenter, and settings for a program "KVO".
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/Common.h"
#include "platform/MessagePresenter.h"
#include "support/TempEnvironment.h"

namespace kvo::common::testing {

namespace fs = std::filesystem;

class FakeClock final : public Clock {
  public:
    LocalDateTime now{2026, 12, 10, 9, 5, 3, 7};
    std::uint32_t tick = 1000;
    LocalDateTime Now() const override { return now; }
    std::uint32_t TickCount() const override { return tick; }
};

inline std::string ReadAll(const fs::path& p) {
    return support::ReadFile(p.string());
}

inline void WriteAll(const fs::path& p, const std::string& content) {
    support::WriteFile(p.string(), content);
}

class SharedFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.emplace("kvo-common");
        root_ = env_->Root();
        c_ = root_ / "C";
        d_ = root_ / "D";
        fs::create_directories(c_ / "Kestavo");
        fs::create_directories(d_ / "Kestavo");
        WriteDriveMap("[C]\r\nPath=" + c_.string() +
                      "\r\nType=fixed\r\nLabel=System\r\n[D]\r\nPath=" + d_.string() +
                      "\r\nType=fixed\r\n");
        Settings() = LibrarySettings{};
        Settings().programPath = (root_ / "bin" / "KVO").string();
        SetClock(&clock_);
        previousPresenter_ = platform::SetPresenter(&presenter_);
        SetEventReportHook({});
        ResetRecordingStateForTesting();
    }

    void TearDown() override {
        SetClock(nullptr);
        platform::SetPresenter(previousPresenter_);
        SetEventReportHook({});
        Settings() = LibrarySettings{};
        env_.reset();
    }

    void WriteDriveMap(const std::string& content) { WriteAll(root_ / "drives.ini", content); }

    // Points the drive key of the installation INI file at D:.
    void UseDataDriveD() { WriteAll(c_ / "Kestavo" / "KVO.INI", "[Kestavo]\r\nWD=D:\\\r\n"); }

    fs::path root_, c_, d_;
    FakeClock clock_;
    std::vector<platform::ScriptedPresenter::Shown> shown() const { return presenter_.shown(); }

    platform::ScriptedPresenter presenter_;
    platform::MessagePresenter* previousPresenter_ = nullptr;
    std::optional<support::TempEnvironment> env_;
};

}  // namespace kvo::common::testing
