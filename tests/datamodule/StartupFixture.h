// The shared temporary environment per test (every configuration path of
// the platform layer pointed into a private folder), so no test reads or
// writes the real home configuration.  The shared library's
// settings, the presenter and the network connections are restored after
// each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "common/Common.h"
#include "platform/MessagePresenter.h"
#include "platform/NetworkDrives.h"
#include "support/TempEnvironment.h"

namespace kvo::datamodule::testing {

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.emplace("kvo-startup");
        root_ = env_->Root();
        settings_ = common::Settings();
        common::Settings() = common::LibrarySettings();
        previousPresenter_ = platform::SetPresenter(&presenter_);
        previousDrives_ = platform::SetNetworkDrives(nullptr);
    }
    void TearDown() override {
        platform::SetNetworkDrives(previousDrives_);
        platform::SetPresenter(previousPresenter_);
        common::Settings() = settings_;
        env_.reset();
    }

    std::string Path(const std::string& rel) const { return env_->Path(rel); }
    std::string MakeDir(const std::string& rel) const { return env_->MakeDir(rel); }
    // The folder drive C: stands for when the map does not name one.
    std::string DriveC() const { return Path("data/kestavo/C"); }

    static void WriteFile(const std::string& path, const std::string& text) {
        support::WriteFile(path, text);
    }
    static std::string ReadFile(const std::string& path) { return support::ReadFile(path); }

    std::string root_;
    platform::ScriptedPresenter presenter_;
    std::optional<support::TempEnvironment> env_;

  private:
    common::LibrarySettings settings_;
    platform::MessagePresenter* previousPresenter_ = nullptr;
    platform::NetworkDrives* previousDrives_ = nullptr;
};

}  // namespace kvo::datamodule::testing
