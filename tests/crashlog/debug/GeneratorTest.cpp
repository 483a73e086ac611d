#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "crashlog/CrashDebug.h"

namespace crashlog {
namespace {

namespace fs = std::filesystem;

int RunGenerator(const std::string& args) {
    int st = std::system((std::string(KVO_CLDATA_GEN) + " " + args + " 2>/dev/null").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

Bytes ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Generator : public ::testing::Test {
  protected:
    fs::path dir = fs::temp_directory_path() / ("kvo-gen-" + std::to_string(getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(Generator, StoresOptionsAndLinesOfAFixture) {
    std::ofstream(dir / "options.txt") << "LoggingEnabled=true\nFrozenSeconds=7\n";
    fs::path out = dir / "data.bin";
    ASSERT_EQ(RunGenerator("--options " + (dir / "options.txt").string() + " --password pw" +
                           " --output " + out.string() + " " + FIXTURE_DWARF),
              0);
    auto data = ParseLibraryData(ReadFile(out));
    ASSERT_TRUE(data);
    EXPECT_EQ(data->Version, kCLDataVersion);
    EXPECT_EQ(data->PasswordCheck, PasswordCheckWord(DebugKeyFromPassword("pw")));
    TCrashModuleOptions options;
    options.LoadFromStream(data->Options, data->Version);
    EXPECT_TRUE(options.Values().LoggingEnabled);
    EXPECT_EQ(options.Values().FrozenSeconds, 7u);

    // The fixture's units hold its source file with the function's line.
    TCrashNameDecoder names(data->Version, DebugKeyFromPassword("pw"), true);
    TCrashUnitIndex index = BuildUnitIndex(data->DebugData, data->Version);
    ASSERT_TRUE(index.Usable);
    bool found = false;
    for (const auto& u : index.Units) {
        auto r =
            LookupLine(data->DebugData, data->Version, names, u.Start, nullptr, nullptr, &index);
        if (r && r->ProcName == "FixtureLeaf") {
            EXPECT_EQ(r->UnitName, "DebugFixture.cpp");
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

// The leak checker reads byte 14 of the container before any option is
// decoded: it must hold the module's LeakFlags option.
TEST_F(Generator, LeakFlagsByteFollowsTheOptions) {
    struct Case {
        const char* Label;
        std::string Options;
        uint8_t Flags;
    };
    std::ofstream(dir / "checker.txt") << "LeakFlags=0x1F\n";
    const Case cases[] = {
        {"the program's own options file", KVO_APP_OPTIONS_FILE, 0x30},
        {"an options file that installs the checker", (dir / "checker.txt").string(), 0x1F},
        {"no options file: the defaults", "", TCrashModuleOptions().LeakFlags()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        const fs::path out = dir / "data.bin";
        const std::string options = c.Options.empty() ? "" : "--options " + c.Options + " ";
        ASSERT_EQ(RunGenerator(options + "--output " + out.string() + " " + FIXTURE_DWARF), 0);
        const Bytes data = ReadFile(out);
        ASSERT_GT(data.size(), 15u);
        EXPECT_EQ(data[14], c.Flags);
        auto parsed = ParseLibraryData(data);
        ASSERT_TRUE(parsed);
        TCrashModuleOptions stored;
        stored.LoadFromStream(parsed->Options, parsed->Version);
        EXPECT_EQ(stored.LeakFlags(), c.Flags);
    }
}

TEST_F(Generator, SymbolTableNamesRoutinesById) {
    fs::path out = dir / "data.bin";
    ASSERT_EQ(
        RunGenerator("--symbol 11=FixtureLeaf --output " + out.string() + " " + FIXTURE_DWARF), 0);
    auto data = ParseLibraryData(ReadFile(out));
    ASSERT_TRUE(data);
    ASSERT_EQ(data->Symbols.size(), 1u);
    TCrashModuleInfo m;
    m.Handle = 0x100000;
    m.Symbols = data->Symbols;
    EXPECT_EQ(SymbolAddress(m, 11), 0x101000 + data->Symbols[0].Offset);
    EXPECT_GT(data->Symbols[0].Size, 0u);
    EXPECT_EQ(SymbolAddress(m, 12), 0u);
    EXPECT_NE(
        RunGenerator("--symbol 1=NoSuchRoutine --output " + out.string() + " " + FIXTURE_DWARF), 0);
}

TEST_F(Generator, UpdatesTheBinaryInPlaceAndAgain) {
    fs::path copy = dir / "lib.so";
    fs::copy_file(FIXTURE_DWARF, copy);
    ASSERT_EQ(RunGenerator(copy.string()), 0);
    ASSERT_EQ(RunGenerator("--password again " + copy.string()), 0);  // replaces the section
    fs::path dump = dir / "section.bin";
    ASSERT_EQ(std::system(("objcopy --dump-section .cldata=" + dump.string() + " " + copy.string() +
                           " " + (dir / "scratch.so").string())
                              .c_str()),
              0);
    auto d = ParseLibraryData(ReadFile(dump));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->PasswordCheck, PasswordCheckWord(DebugKeyFromPassword("again")));
}

TEST_F(Generator, RealErrorsFailLoudly) {
    std::ofstream(dir / "bad.txt") << "NoSuchOption=1\n";
    std::ofstream(dir / "notelf") << "plain text";
    EXPECT_NE(RunGenerator((dir / "missing").string()), 0);
    EXPECT_NE(RunGenerator((dir / "notelf").string()), 0);
    EXPECT_NE(RunGenerator("--options " + (dir / "bad.txt").string() + " " + FIXTURE_DWARF), 0);
    EXPECT_NE(RunGenerator("--options " + (dir / "absent.txt").string() + " " + FIXTURE_DWARF), 0);
    fs::copy_file(FIXTURE_DWARF, dir / "lib.so");
    EXPECT_NE(RunGenerator("--objcopy /nonexistent/objcopy " + (dir / "lib.so").string()), 0);
}

}  // namespace
}  // namespace crashlog
