// A private folder per test and environment variables pointing every
// configuration path of the platform layer into it, so no test reads or
// writes the real home configuration.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace kvo::platform::testing {

class TempEnvTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvo-platform-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        for (const char* name : {"HOME", "KESTAVO_DRIVES", "KESTAVO_REGISTRY", "KESTAVO_SYSCONF",
                                 "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
        unsetenv("KESTAVO_DRIVES");
        unsetenv("KESTAVO_REGISTRY");
        unsetenv("KESTAVO_SYSCONF");
    }
    void TearDown() override {
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

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace kvo::platform::testing
