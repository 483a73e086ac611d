// A private folder per test, with every configuration path of the platform
// layer (drive map, registry, system folder, XDG folders) pointed into it, so
// no test reads or writes the real home configuration.  The shared library's
// settings, the presenter and the network connections are restored after
// each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "common/Common.h"
#include "platform/MessagePresenter.h"
#include "platform/NetworkDrives.h"

namespace kvo::datamodule::testing {

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvo-startup-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        for (const char* name : {"HOME", "KESTAVO_DRIVES", "KESTAVO_REGISTRY", "KESTAVO_SYSCONF",
                                 "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        setenv("HOME", Path("home").c_str(), 1);
        setenv("KESTAVO_DRIVES", Path("drives.ini").c_str(), 1);
        setenv("KESTAVO_REGISTRY", Path("registry").c_str(), 1);
        setenv("KESTAVO_SYSCONF", Path("etc").c_str(), 1);
        setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);
        setenv("XDG_DATA_HOME", Path("data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", Path("run").c_str(), 1);
        settings_ = common::Settings();
        common::Settings() = common::LibrarySettings();
        previousPresenter_ = platform::SetPresenter(&presenter_);
        previousDrives_ = platform::SetNetworkDrives(nullptr);
    }
    void TearDown() override {
        platform::SetNetworkDrives(previousDrives_);
        platform::SetPresenter(previousPresenter_);
        common::Settings() = settings_;
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
    std::string MakeDir(const std::string& rel) const {
        std::filesystem::create_directories(Path(rel));
        return Path(rel);
    }
    // The folder drive C: stands for when the map does not name one.
    std::string DriveC() const { return Path("data/kestavo/C"); }

    static void WriteFile(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream buf;
        buf << in.rdbuf();
        return buf.str();
    }

    std::string root_;
    platform::ScriptedPresenter presenter_;

  private:
    std::map<std::string, std::optional<std::string>> saved_;
    common::LibrarySettings settings_;
    platform::MessagePresenter* previousPresenter_ = nullptr;
    platform::NetworkDrives* previousDrives_ = nullptr;
};

}  // namespace kvo::datamodule::testing
