#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "StartupFixture.h"
#include "datamodule/NetworkDrivesCheck.h"
#include "datamodule/PracticeSettings.h"
#include "platform/NetworkDrives.h"
#include "platform/Registry.h"

namespace kvo::datamodule {
namespace {

using platform::DriveType;

TEST(ShareDisplayName, Rows) {
    struct {
        const char* remote;
        const char* shown;
    } rows[] = {
        {"\\\\SRV\\DATA", "DATA on 'SRV'"},
        {"\\\\SRV\\DATA\\PRACTICE", "DATA\\PRACTICE on 'SRV'"},
        {"\\\\SRV", "\\\\SRV"},
        {"DATAVOL", "DATAVOL"},
        {"", ""},
        {"\\\\", "\\\\"},
        {"\\\\\\X", "X on ''"},  // a backslash right after the two: an empty server
    };
    for (const auto& row : rows)
        EXPECT_EQ(ShareDisplayName(row.remote), row.shown) << row.remote;
}

class NetworkCheckTest : public testing::StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        installIni_ = DriveC() + "/Kestavo/KVO.INI";
        MakeDir("data/kestavo/C/Kestavo");
    }

    void WriteDrives(const std::string& text) { WriteFile(Path("drives.ini"), text); }
    std::string InstallIni() const { return ReadFile(installIni_); }

    std::string installIni_;
};

TEST_F(NetworkCheckTest, DataDriveTypes) {
    MakeDir("s");
    MakeDir("share");
    WriteDrives("[S]\nPath=" + Path("s") + "\nType=remote\n[R]\nPath=" + Path("gone") +
                "\nType=remote\n[E]\nPath=" + Path("gone") +
                "\nType=cdrom\n[UNC]\n\\\\srv\\data=" + Path("share") + "\n");
    MakeDir("data/kestavo/C");
    struct {
        const char* setting;
        const char* drive;
        const char* upper;
        DriveType type;
    } rows[] = {
        {"s:\\", "s:", "S:", DriveType::Remote},
        {"C:", "C:", "C:", DriveType::Fixed},
        {"r:", "r:", "R:", DriveType::NoRootDir},  // mapped folder missing
        {"E:", "E:", "E:", DriveType::CdRom},
        {"x:", "x:", "X:", DriveType::NoRootDir},  // not mapped
        {"\\\\srv\\data\\", "\\\\srv\\data", "\\\\SRV\\DATA", DriveType::Remote},
        {"\\\\srv\\other", "\\\\srv\\other", "\\\\SRV\\OTHER", DriveType::NoRootDir},
        {"C:\\Practice", "C:\\Practice", "C:\\PRACTICE", DriveType::NoRootDir},
    };
    for (const auto& row : rows) {
        TDataDrive d = TDataDrive::FromSetting(row.setting);
        EXPECT_EQ(d.drive, row.drive) << row.setting;
        EXPECT_EQ(d.upper, row.upper) << row.setting;
        EXPECT_EQ(d.type, row.type) << row.setting;
    }
}

TEST_F(NetworkCheckTest, MappedLetterIsRecordedWithRegistryDetails) {
    MakeDir("s");
    WriteDrives("[S]\nPath=" + Path("s") + "\nType=remote\nRemote=\\\\srv\\data\n");
    platform::RegistryStore registry;
    const auto hku = platform::Hive::CurrentUser;
    ASSERT_TRUE(registry.CreateKey(hku, "Network\\Persistent\\S"));
    registry.WriteString(hku, "Network\\Persistent\\S", "ProviderName", "SMB Network");
    registry.WriteString(hku, "Network\\Persistent\\S", "UserName", "surgery\\bob");
    registry.WriteInteger(hku, "Network\\Persistent\\S", "ConnectionType", 1);
    registry.WriteInteger(hku, "Network\\Persistent\\S", "ProviderType", 131072);
    WriteFile(installIni_,
              "[Kestavo]\r\nWD=s:\r\n[Network]\r\nDrive=T\r\nRemotePath=\\\\OLD\\X\r\nExtra=1\r\n");

    EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting("s:")), TStartupVerdict::GoOn);
    EXPECT_EQ(InstallIni(),
              "[Kestavo]\r\nWD=s:\r\n[Network]\r\nDrive=S\r\nProviderName=SMB Network\r\n"
              "RemotePath=\\\\SRV\\DATA\r\nUserName=surgery\\bob\r\nConnectionType=1\r\n"
              "ProviderType=131072\r\n");
    EXPECT_TRUE(presenter_.shown().empty());
}

TEST_F(NetworkCheckTest, LetterWithoutShareRecordsVolumeLabelAndIgnoresMistypedValues) {
    MakeDir("s");
    WriteDrives("[S]\nPath=" + Path("s") + "\nType=remote\nLabel=dataVol\n");
    platform::RegistryStore registry;
    const auto hku = platform::Hive::CurrentUser;
    ASSERT_TRUE(registry.CreateKey(hku, "Network\\Persistent\\S"));
    registry.WriteInteger(hku, "Network\\Persistent\\S", "ProviderName", 5);
    registry.WriteString(hku, "Network\\Persistent\\S", "ConnectionType", "1");

    EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting("S:")), TStartupVerdict::GoOn);
    EXPECT_EQ(InstallIni(),
              "[Network]\r\nDrive=S\r\nProviderName=\r\nRemotePath=DATAVOL\r\nUserName=\r\n"
              "ConnectionType=0\r\nProviderType=0\r\n");
}

TEST_F(NetworkCheckTest, NetworkPathIsRecordedAndNeverReconnected) {
    MakeDir("share");
    WriteDrives("[UNC]\n\\\\srv\\data=" + Path("share") + "\n");
    EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting("\\\\srv\\data")), TStartupVerdict::GoOn);
    EXPECT_EQ(InstallIni(),
              "[Network]\r\nDrive=\r\nProviderName=\r\nRemotePath=\\\\SRV\\DATA\r\nUserName=\r\n"
              "ConnectionType=0\r\nProviderType=0\r\n");

    // The share goes away: an empty Drive means there is nothing to reconnect.
    std::filesystem::remove(Path("share"));
    TDataDrive away = TDataDrive::FromSetting("\\\\srv\\data");
    ASSERT_EQ(away.type, DriveType::NoRootDir);
    EXPECT_EQ(CheckNetworkDrive(away), TStartupVerdict::GoOn);
    EXPECT_TRUE(presenter_.shown().empty());
}

TEST_F(NetworkCheckTest, LocalDiskDropsTheRecordOnly) {
    WriteFile(installIni_, "[Network]\r\nDrive=S\r\n[Kestavo]\r\nWD=C:\r\n");
    EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting("C:")), TStartupVerdict::GoOn);
    EXPECT_EQ(InstallIni(), "[Kestavo]\r\nWD=C:\r\n");
}

TEST_F(NetworkCheckTest, OtherDriveTypesLeaveTheRecord) {
    WriteDrives("[E]\nPath=" + MakeDir("cd") + "\nType=cdrom\n");
    WriteFile(installIni_, "[Network]\r\nDrive=S\r\n");
    EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting("E:")), TStartupVerdict::GoOn);
    EXPECT_EQ(InstallIni(), "[Network]\r\nDrive=S\r\n");
}

// Connections that answer from a script and note every call.
class ScriptedConnections : public platform::NetworkDrives {
  public:
    std::optional<std::string> RemoteName(char) override { return std::nullopt; }
    int Cancel(const std::string& share) override {
        calls.push_back("cancel " + share);
        return ENOENT;  // nothing to cancel must not stop the reconnection
    }
    int Connect(char letter, const std::string& share) override {
        calls.push_back(std::string("connect ") + letter + " " + share);
        return connectResult;
    }
    std::vector<std::string> calls;
    int connectResult = 0;
};

TEST_F(NetworkCheckTest, UnmappedLetterIsReconnectedFromTheRecord) {
    // The real connections: the share's folder is known, so connecting maps S:.
    MakeDir("share");
    WriteDrives("[UNC]\n\\\\srv\\data=" + Path("share") + "\n");
    WriteFile(installIni_, "[Network]\r\nDrive=S\r\nRemotePath=\\\\SRV\\DATA\r\n");
    const auto started = std::chrono::steady_clock::now();

    EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting("s:")), TStartupVerdict::GoOn);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_TRUE(presenter_.shown().empty());
    EXPECT_EQ(TDataDrive::FromSetting("s:").type, DriveType::Remote);
    EXPECT_EQ(InstallIni(), "[Network]\r\nDrive=S\r\nRemotePath=\\\\SRV\\DATA\r\n");
}

TEST_F(NetworkCheckTest, FailedReconnectionIsToldAndEndsTheProcess) {
    ScriptedConnections connections;
    connections.connectResult = EHOSTUNREACH;
    platform::SetNetworkDrives(&connections);
    WriteFile(installIni_, "[Network]\r\nDrive=S\r\nRemotePath=\\\\SRV\\DATA\r\n");

    EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting("s:")), TStartupVerdict::EndProcess);
    EXPECT_EQ(connections.calls,
              (std::vector<std::string>{"cancel \\\\SRV\\DATA", "connect S \\\\SRV\\DATA"}));
    ASSERT_EQ(presenter_.shown().size(), 1u);
    EXPECT_EQ(presenter_.shown()[0].text,
              "The network drive DATA on 'SRV' (S:) can not be accessed.\r\rPlease restart "
              "computer to re-establish connection.");
    EXPECT_EQ(presenter_.shown()[0].caption, "Kestavo");
    EXPECT_EQ(presenter_.shown()[0].flags, common::kMbError);
}

TEST_F(NetworkCheckTest, UnreachableShareWithoutDesktopMountFails) {
    // The real connections with a mount that cannot reach the server.
    platform::LinuxNetworkDrives connections(
        platform::DriveMap(), [](const std::string&) -> platform::LinuxNetworkDrives::Mounted {
            return {{}, EHOSTUNREACH};
        });
    platform::SetNetworkDrives(&connections);
    WriteDrives("[D]\nPath=" + MakeDir("d") + "\n");
    WriteFile(installIni_, "[Network]\r\nDrive=S\r\nRemotePath=\\\\SRV\\DATA\r\n");
    const std::string drivesBefore = ReadFile(Path("drives.ini"));

    EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting("S:")), TStartupVerdict::EndProcess);
    ASSERT_EQ(presenter_.shown().size(), 1u);
    EXPECT_EQ(presenter_.shown()[0].text,
              "The network drive DATA on 'SRV' (S:) can not be accessed.\r\rPlease restart "
              "computer to re-establish connection.");
    EXPECT_EQ(ReadFile(Path("drives.ini")), drivesBefore);
}

TEST_F(NetworkCheckTest, UnmappedLetterWithoutRecord) {
    ScriptedConnections connections;
    platform::SetNetworkDrives(&connections);
    struct {
        const char* name;
        const char* installIni;
        const char* setting;
        TStartupVerdict verdict;
        const char* message;  // empty: none
    } rows[] = {
        {"no record, no folder", "[Kestavo]\r\nWD=s:\r\n", "s:", TStartupVerdict::EndProcess,
         "The drive \"S:\" can not be accessed."},
        {"no record, folder exists", "", "c:\\practice", TStartupVerdict::GoOn, ""},
        {"record without drive letter", "[Network]\r\nDrive=\r\nRemotePath=\\\\SRV\\DATA\r\n",
         "s:", TStartupVerdict::GoOn, ""},
    };
    MakeDir("data/kestavo/C/practice");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(installIni_, row.installIni);
        const std::size_t before = presenter_.shown().size();
        EXPECT_EQ(CheckNetworkDrive(TDataDrive::FromSetting(row.setting)), row.verdict);
        auto shown = presenter_.shown();
        if (*row.message) {
            ASSERT_EQ(shown.size(), before + 1);
            EXPECT_EQ(shown.back().text, row.message);
            EXPECT_EQ(shown.back().flags, common::kMbError);
        } else {
            EXPECT_EQ(shown.size(), before);
        }
        EXPECT_EQ(InstallIni(), row.installIni);  // read only
    }
    EXPECT_TRUE(connections.calls.empty());
}

TEST_F(NetworkCheckTest, UnreadableInstallationFileRaisesBeforeAnyChange) {
    MakeDir("data/kestavo/C/Kestavo/KVO.INI");  // a folder where the file should be
    EXPECT_THROW((void)CheckNetworkDrive(TDataDrive::FromSetting("C:")), EIniFileError);
    EXPECT_TRUE(std::filesystem::is_directory(installIni_));
}

}  // namespace
}  // namespace kvo::datamodule
