// A private folder per test with every configuration path of the platform
// layer pointed into it (the shared temporary environment), so no test
// reads or writes the real home configuration.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/TempEnvironment.h"

namespace kvo::platform::testing {

class TempEnvTest : public ::testing::Test {
  protected:
    std::string Path(const std::string& rel) const { return env_.Path(rel); }
    std::string MakeDir(const std::string& rel) const { return env_.MakeDir(rel); }
    static void WriteFile(const std::string& path, const std::string& text) {
        support::WriteFile(path, text);
    }
    static std::string ReadFile(const std::string& path) { return support::ReadFile(path); }

    support::TempEnvironment env_{"kvo-platform"};
    const std::string root_ = env_.Root();
};

}  // namespace kvo::platform::testing
