// Compares a text with a golden file beside the tests; REBASE=1 in the
// environment writes the actual text as the new golden file instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace report_test {

inline void ExpectMatchesGolden(const std::string& path, const std::string& actual) {
    const char* rebase = std::getenv("REBASE");
    if (rebase && *rebase && std::string(rebase) != "0") {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << actual;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "missing golden file " << path << " (run with REBASE=1)";
    std::stringstream expected;
    expected << in.rdbuf();
    const std::string want = expected.str();
    if (want == actual) return;
    // Name the first line that differs.
    size_t line = 1, i = 0;
    while (i < want.size() && i < actual.size() && want[i] == actual[i])
        if (want[i++] == '\n') ++line;
    auto around = [&](const std::string& s) {
        const size_t start = s.rfind('\n', i == 0 ? 0 : i - 1);
        const size_t from = start == std::string::npos ? 0 : start + 1;
        return s.substr(from, s.find('\n', from) - from);
    };
    ADD_FAILURE() << path << " differs at line " << line << "\n  expected: " << around(want)
                  << "\n  actual:   " << around(actual);
}

}  // namespace report_test
