// The shared test helpers do what the tests built on them take for granted:
// the environment is put back and the folder removed, and the golden runner
// fails on every kind of difference and rewrites only when asked.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/Golden.h"
#include "support/TempEnvironment.h"

namespace kvo::support {
namespace {

namespace fs = std::filesystem;

TEST(TempEnvironment, PointsEveryConfigurationPathInsideAndPutsAllBack) {
    ::setenv("KESTAVO_DRIVES", "/outer/drives.ini", 1);
    ::unsetenv("KESTAVO_SYSCONF");
    ::setenv("KVO_SUPPORT_PROBE", "outer", 1);
    std::string root;
    {
        TempEnvironment env("kvo-support");
        root = env.Root();
        for (const char* name : {"HOME", "KESTAVO_DRIVES", "KESTAVO_REGISTRY", "KESTAVO_SYSCONF",
                                 "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
            ASSERT_NE(::getenv(name), nullptr) << name;
            EXPECT_EQ(std::string(::getenv(name)).rfind(root + "/", 0), 0u) << name;
        }
        env.Unset("KVO_SUPPORT_PROBE");
        env.Set("KVO_SUPPORT_PROBE", "inner");
        WriteFile(env.Path("a/b/file"), "bytes\r\n");
        EXPECT_EQ(ReadFile(env.Path("a/b/file")), "bytes\r\n");
        fs::permissions(env.Path("a"), fs::perms::owner_read | fs::perms::owner_exec);
    }
    EXPECT_STREQ(::getenv("KESTAVO_DRIVES"), "/outer/drives.ini");
    EXPECT_EQ(::getenv("KESTAVO_SYSCONF"), nullptr);
    EXPECT_STREQ(::getenv("KVO_SUPPORT_PROBE"), "outer");
    EXPECT_FALSE(fs::exists(root)) << "even a read-only folder inside is removed";
    ::unsetenv("KESTAVO_DRIVES");
    ::unsetenv("KVO_SUPPORT_PROBE");
}

TEST(Golden, FailsOnEveryDifferenceAndRewritesOnlyWhenRebasing) {
    TempEnvironment env("kvo-golden");
    const std::string path = env.Path("golden/report.txt");
    env.Unset("REBASE");
    EXPECT_NONFATAL_FAILURE(ExpectMatchesGolden(path, "x\n"), "no golden file");

    WriteFile(path, "one\r\ntwo\r\n");
    EXPECT_TRUE(ExpectMatchesGolden(path, "one\r\ntwo\r\n"));
    struct Case {
        const char* actual;
        const char* message;
    };
    const Case cases[] = {
        {"one\r\nTWO\r\n", "line 2:\n  expected: two\\r\n  actual:   TWO\\r"},
        {"one\ntwo\n", "line 1:\n  expected: one\\r\n  actual:   one"},
        {"one\r\n", "expected 2 lines, got 1; line 2 is expected: two\\r"},
        {"one\r\ntwo\r\nthree", "line 3 is extra: three"},
        {"one\r\ntwo\r", "final line end"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.actual);
        EXPECT_NONFATAL_FAILURE(ExpectMatchesGolden(path, c.actual), c.message);
    }
    EXPECT_EQ(ReadFile(path), "one\r\ntwo\r\n") << "a failing comparison leaves the file alone";

    env.Set("REBASE", "1");
    EXPECT_TRUE(ExpectMatchesGolden(path, "new\n"));
    EXPECT_TRUE(ExpectMatchesGolden(env.Path("golden/fresh.txt"), "fresh"));
    env.Set("REBASE", "0");
    EXPECT_TRUE(ExpectMatchesGolden(path, "new\n"));
    EXPECT_TRUE(ExpectMatchesGolden(env.Path("golden/fresh.txt"), "fresh"));
}

}  // namespace
}  // namespace kvo::support
