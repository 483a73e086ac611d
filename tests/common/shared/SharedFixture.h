// A private world for the shared library's tests: a temporary drive map with
// C: and D: in a temporary folder, XDG folders and HOME inside it, a frozen
// clock, a scripted message presenter, and settings for a program "KVO".
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/Common.h"
#include "platform/MessagePresenter.h"

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
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteAll(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

class SharedFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("kvo-common-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        c_ = root_ / "C";
        d_ = root_ / "D";
        fs::create_directories(c_ / "Kestavo");
        fs::create_directories(d_ / "Kestavo");
        for (const char* name : {"KESTAVO_DRIVES", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "HOME"}) {
            const char* old = ::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        }
        ::setenv("KESTAVO_DRIVES", (root_ / "drives.ini").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("HOME", (root_ / "home").c_str(), 1);
        fs::create_directories(root_ / "home");
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
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void WriteDriveMap(const std::string& content) { WriteAll(root_ / "drives.ini", content); }

    // Points the drive key of the installation INI file at D:.
    void UseDataDriveD() { WriteAll(c_ / "Kestavo" / "KVO.INI", "[Kestavo]\r\nWD=D:\\\r\n"); }

    fs::path root_, c_, d_;
    FakeClock clock_;
    std::vector<platform::ScriptedPresenter::Shown> shown() const { return presenter_.shown(); }

    platform::ScriptedPresenter presenter_;
    platform::MessagePresenter* previousPresenter_ = nullptr;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace kvo::common::testing
