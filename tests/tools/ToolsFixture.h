// A fresh temporary folder per test, and small practices to move around.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "DemoPractice.h"
#include "PracticeMove.h"
#include "engine/engine.h"

namespace kvo::tools::testing {

namespace fs = std::filesystem;

class ToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kvo-tools-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path Path(const std::string& name) const { return root_ / name; }

    // A small demonstration practice (two dentists, one year); the folder
    // of its tables.
    std::string DemoPractice(const std::string& name = "practice") {
        demo::TDemoOptions options;
        options.out = Path(name).string();
        options.dentists = 2;
        options.years = 1;
        demo::CreateDemoPractice(options);
        return (Path(name) / "Data").string();
    }

    // Runs a command; its exit status and what it wrote to stdout and stderr.
    struct TRun {
        int status = -1;
        std::string output;
    };
    TRun Run(const std::string& command) const {
        const fs::path out = root_ / "command-output.txt";
        TRun run;
        const int raw = std::system((command + " >" + out.string() + " 2>&1").c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        std::ifstream in(out);
        run.output.assign(std::istreambuf_iterator<char>(in), {});
        return run;
    }

    fs::path root_;
};

}  // namespace kvo::tools::testing
