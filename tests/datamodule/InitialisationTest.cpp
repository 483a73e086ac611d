#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "StartupFixture.h"
#include "common/Common.h"
#include "datamodule/Initialisation.h"

namespace kvo::datamodule {
namespace {

namespace fs = std::filesystem;

TEST(ProductLine, FromProgramFileName) {
    struct {
        const char* path;
        bool second;
    } rows[] = {
        {"KVO.EXE", false},
        {"RUL.EXE", true},
        {"rul.exe", true},
        {"Rul_Tray.exe", true},
        {"RULE", true},  // only the first three letters count
        {"RU.EXE", false},
        {"RU", false},
        {"", false},
        {"XRUL.EXE", false},
        {"RU.L", false},                        // the extension is not part of the name
        {"C:\\RUL Dental\\KVO.EXE", false},     // nor is the folder
        {"C:\\Kestavo\\RUL_BOOT.EXE", true},    // Windows folders
        {"/opt/rul/bin/kvo_pack", false},       // Linux folders
        {"/opt/kestavo/bin/rulpack", true},     //
        {"/opt/kestavo/bin/RUL.tar.gz", true},  // only the last extension goes
        {"/opt/kestavo/bin.rul/KVO", false},    // a dot in a folder is no extension
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsSecondLineProgram(row.path), row.second) << row.path;
}

TEST(ProductLine, NamesTableOfBothLines) {
    auto names = [](const common::LibrarySettings& s) {
        return std::vector<std::string>{s.productFolder, s.installFolder, s.installIni,
                                        s.taskFile,      s.privateRoot,   s.practiceIniName,
                                        s.driveKey,      s.lockFileName};
    };
    EXPECT_EQ(names(ProductLineNames("KVO")),
              (std::vector<std::string>{"Kestavo", "C:\\Kestavo\\", "C:\\Kestavo\\KVO.INI",
                                        "C:\\Kestavo\\KVO.TSK", "C:\\Kestavo\\Private\\",
                                        "KVODEN.INI", "WD", "KVO.LCK"}));
    EXPECT_EQ(names(ProductLineNames("RUL")),
              (std::vector<std::string>{"RUL Dental", "C:\\RUL Dental\\", "C:\\RUL Dental\\RUL.INI",
                                        "C:\\RUL Dental\\RUL.TSK", "C:\\RUL Dental\\Private\\",
                                        "RULDENTAL.INI", "WB", "RUL.LCK"}));
    EXPECT_FALSE(ProductLineNames("KVO").secondLine);
    EXPECT_TRUE(ProductLineNames("RUL").secondLine);
}

class InitialisationTest : public testing::StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        common::ResetRecordingStateForTesting();
    }
    void TearDown() override {
        common::ResetRecordingStateForTesting();
        StartupTest::TearDown();
    }
    void MapDriveC(const std::string& label) {
        MakeDir("c");
        WriteFile(Path("drives.ini"), "[C]\nPath=" + Path("c") + "\nLabel=" + label + "\n");
    }
    TInitialisationResult Run(const std::string& program) {
        common::Settings().programPath = program;
        return InitialiseSharedLibrary();
    }
};

TEST_F(InitialisationTest, DeveloperFlagFromLabelOfDriveC) {
    struct {
        const char* label;
        bool developer;
    } rows[] = {
        {"KVODEVWS", true}, {"LAB-KVODEVWS-2", true},
        {"kvodevws", true},  // labels are read in the drive letter's case
        {"KVODEVW", false}, {"SYSTEM", false},
        {"", false},
    };
    for (const auto& row : rows) {
        MapDriveC(row.label);
        common::Settings() = common::LibrarySettings();
        Run("/opt/kestavo/KVO_TOOL");
        EXPECT_EQ(common::Settings().developerWorkstation, row.developer) << row.label;
    }
}

TEST_F(InitialisationTest, SecondLineFillsSettingsAndKeepsProgramAndFlag) {
    MapDriveC("KVODEVWS");
    Run("/opt/kestavo/RUL");
    const auto& s = common::Settings();
    EXPECT_EQ(s.installIni, "C:\\RUL Dental\\RUL.INI");
    EXPECT_EQ(s.driveKey, "WB");
    EXPECT_TRUE(s.secondLine);
    EXPECT_EQ(s.programPath, "/opt/kestavo/RUL");
    EXPECT_TRUE(s.developerWorkstation);

    // Running it again for a main-line program puts the main names back.
    Run("/opt/kestavo/KVO");
    EXPECT_EQ(common::Settings().installIni, "C:\\Kestavo\\KVO.INI");
    EXPECT_FALSE(common::Settings().secondLine);
}

TEST_F(InitialisationTest, StartsStartupLogInInstallationFolder) {
    Run("/opt/kestavo/RUL");
    std::string log = ReadFile(DriveC() + "/RUL Dental/Startup.LOG");
    std::vector<std::string> messages;
    for (std::size_t at = 0; at < log.size();) {
        std::size_t end = log.find("\r\n", at);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(at, end - at);
        messages.push_back(line.substr(line.rfind(", ") + 2));
        at = end + 2;
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"START", "0.01", "0.02"})) << log;
    EXPECT_TRUE(fs::is_directory(DriveC() + "/RUL Dental/Startup"));
}

TEST_F(InitialisationTest, TakesOverInstallationIniFromWindowsFolder) {
    struct {
        const char* name;
        const char* program;
        const char* windowsFile;  // in the Windows folder; nullptr: none
        const char* existing;     // installation INI file already there; nullptr: none
        const char* installIni;   // under drive C:
        bool takenOver;
        const char* expected;  // installation INI text afterwards; nullptr: no file
    } rows[] = {
        {"main line", "KVO", "KVODEN.INI", nullptr, "Kestavo/KVO.INI", true,
         "[Kestavo]\r\nWD=S:\r\n"},
        {"second line", "RUL_TOOL", "RULDENTAL.INI", nullptr, "RUL Dental/RUL.INI", true,
         "[Kestavo]\r\nWD=S:\r\n"},
        {"name in other case", "KVO", "kvoden.ini", nullptr, "Kestavo/KVO.INI", true,
         "[Kestavo]\r\nWD=S:\r\n"},
        {"other line's file", "RUL_TOOL", "KVODEN.INI", nullptr, "RUL Dental/RUL.INI", false,
         nullptr},
        {"nothing to take", "KVO", nullptr, nullptr, "Kestavo/KVO.INI", false, nullptr},
        {"already installed", "KVO", "KVODEN.INI", "[Kestavo]\nWD=C:\n", "Kestavo/KVO.INI", false,
         "[Kestavo]\nWD=C:\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(Path("etc"));
        fs::remove_all(DriveC());
        if (row.windowsFile) WriteFile(Path("etc/") + row.windowsFile, "[Kestavo]\r\nWD=S:\r\n");
        if (row.existing) WriteFile(DriveC() + "/" + row.installIni, row.existing);
        common::Settings() = common::LibrarySettings();
        EXPECT_EQ(Run(row.program).iniTakenOver, row.takenOver);
        const std::string target = DriveC() + "/" + row.installIni;
        if (row.expected) {
            EXPECT_EQ(ReadFile(target), row.expected);
        } else {
            EXPECT_FALSE(fs::exists(target));
        }
        // The Windows folder's copy stays for the suite's other installations.
        if (row.windowsFile) {
            EXPECT_TRUE(fs::exists(Path("etc/") + row.windowsFile));
        }
    }
}

TEST_F(InitialisationTest, InstallationIniFoundInAnyCaseIsNotReplaced) {
    WriteFile(Path("etc/KVODEN.INI"), "[Kestavo]\r\nWD=S:\r\n");
    WriteFile(DriveC() + "/kestavo/kvo.ini", "[Kestavo]\nWD=C:\n");
    EXPECT_FALSE(Run("KVO").iniTakenOver);
    EXPECT_EQ(ReadFile(DriveC() + "/kestavo/kvo.ini"), "[Kestavo]\nWD=C:\n");
}

}  // namespace
}  // namespace kvo::datamodule
