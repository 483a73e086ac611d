#include <gtest/gtest.h>

#include "TempEnv.h"
#include "platform/Registry.h"

namespace kvo::platform {
namespace {

class RegistryTest : public testing::TempEnvTest {};

TEST_F(RegistryTest, FolderFromEnvironmentElseConfigHome) {
    EXPECT_EQ(RegistryStore::DefaultFolder(), Path("registry"));
    unsetenv("KESTAVO_REGISTRY");
    EXPECT_EQ(RegistryStore::DefaultFolder(), Path("config/kestavo/registry"));
    EXPECT_EQ(RegistryStore::DefaultAutostartFolder(), Path("config/autostart"));
}

TEST_F(RegistryTest, KeysAndTypedValues) {
    RegistryStore reg;
    EXPECT_FALSE(reg.WriteString(Hive::CurrentUser, "Software\\Kestavo", "X", "1"))
        << "a missing key is not written to";
    ASSERT_TRUE(reg.CreateKey(Hive::CurrentUser, "Software\\Kestavo\\Tarnwick"));
    EXPECT_TRUE(reg.KeyExists(Hive::CurrentUser, "software\\KESTAVO"));
    EXPECT_FALSE(reg.KeyExists(Hive::LocalMachine, "Software\\Kestavo"));
    const std::string tricky = " two\r\nlines \\ and \"quotes\" ";
    ASSERT_TRUE(reg.WriteString(Hive::CurrentUser, "Software\\Kestavo", "Text", tricky));
    ASSERT_TRUE(reg.WriteInteger(Hive::CurrentUser, "Software\\Kestavo", "Count", -5));
    ASSERT_TRUE(reg.WriteString(Hive::CurrentUser, "Software\\Kestavo", "", "default"));
    RegistryStore again;  // a fresh reader sees only what is on disk
    EXPECT_EQ(again.ReadString(Hive::CurrentUser, "Software\\Kestavo", "TEXT"), tricky);
    EXPECT_EQ(again.ReadInteger(Hive::CurrentUser, "Software\\Kestavo", "count"), -5);
    EXPECT_EQ(again.ReadString(Hive::CurrentUser, "Software\\Kestavo", ""), "default");
    EXPECT_FALSE(again.ReadString(Hive::CurrentUser, "Software\\Kestavo", "Count"));
    EXPECT_EQ(again.KindOf(Hive::CurrentUser, "Software\\Kestavo", "Count"), ValueKind::Integer);
    EXPECT_EQ(again.ValueNames(Hive::CurrentUser, "Software\\Kestavo"),
              (std::vector<std::string>{"Text", "Count", ""}));
    EXPECT_EQ(again.SubKeys(Hive::CurrentUser, "Software"), (std::vector<std::string>{"Kestavo"}));
    EXPECT_TRUE(again.DeleteValue(Hive::CurrentUser, "Software\\Kestavo", "Text"));
    EXPECT_FALSE(again.DeleteValue(Hive::CurrentUser, "Software\\Kestavo", "Text"));
    EXPECT_TRUE(again.DeleteKey(Hive::CurrentUser, "Software\\Kestavo"));
    EXPECT_FALSE(again.KeyExists(Hive::CurrentUser, "Software\\Kestavo\\Tarnwick"));
    EXPECT_TRUE(again.KeyExists(Hive::CurrentUser, "Software"));
}

TEST_F(RegistryTest, NamesThatCannotBeStoredAreRefused) {
    RegistryStore reg;
    for (const char* key : {"", "A\\\\B", "A]B", "A\nB"})
        EXPECT_FALSE(reg.CreateKey(Hive::CurrentUser, key) && std::string(key) != "") << key;
    ASSERT_TRUE(reg.CreateKey(Hive::CurrentUser, "K"));
    for (const char* name : {"a=b", "x\ny", " lead", ";comment", "[x"})
        EXPECT_FALSE(reg.WriteString(Hive::CurrentUser, "K", name, "v")) << name;
    EXPECT_TRUE(reg.ValueNames(Hive::CurrentUser, "K").empty());
}

TEST_F(RegistryTest, RunValuesAreMirroredAsAutostartEntries) {
    MakeDir("data/kestavo/C/Kestavo");
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey(Hive::LocalMachine, kRunKey));
    ASSERT_TRUE(reg.WriteString(Hive::LocalMachine, kRunKey, "KVOBOOT",
                                "\"C:\\Kestavo\\KVO Boot.exe\" /min 50%"));
    const std::string entry = ReadFile(Path("config/autostart/KVOBOOT.desktop"));
    EXPECT_NE(entry.find("[Desktop Entry]\nType=Application\nName=KVOBOOT\n"), std::string::npos)
        << entry;
    EXPECT_NE(
        entry.find("Exec=\"" + Path("data/kestavo/C/Kestavo/KVO Boot.exe") + "\" /min 50%%\n"),
        std::string::npos)
        << entry;
    // The user's Run key mirrors the same way; other keys do not.
    ASSERT_TRUE(
        reg.CreateKey(Hive::CurrentUser, "software\\microsoft\\windows\\currentversion\\run"));
    ASSERT_TRUE(reg.WriteString(Hive::CurrentUser, kRunKey, "KVOTRAY", "C:\\Kestavo\\tray.exe"));
    EXPECT_TRUE(std::filesystem::exists(Path("config/autostart/KVOTRAY.desktop")));
    ASSERT_TRUE(reg.CreateKey(Hive::ClassesRoot, kRunKey));
    ASSERT_TRUE(reg.WriteString(Hive::ClassesRoot, kRunKey, "Other", "C:\\x.exe"));
    EXPECT_FALSE(std::filesystem::exists(Path("config/autostart/Other.desktop")));

    EXPECT_TRUE(reg.DeleteValue(Hive::LocalMachine, kRunKey, "kvoboot"));
    EXPECT_FALSE(std::filesystem::exists(Path("config/autostart/KVOBOOT.desktop")));
    EXPECT_TRUE(reg.DeleteKey(Hive::CurrentUser, "Software\\Microsoft"));
    EXPECT_FALSE(std::filesystem::exists(Path("config/autostart/KVOTRAY.desktop")));
}

TEST_F(RegistryTest, RunValueOfAnUnmappedDriveReportsFailure) {
    RegistryStore reg;
    ASSERT_TRUE(reg.CreateKey(Hive::LocalMachine, kRunKey));
    EXPECT_FALSE(reg.WriteString(Hive::LocalMachine, kRunKey, "X", "\"Q:\\x.exe\""));
}

TEST(DesktopExec, QuotesWhatTheDesktopRulesReserve) {
    DriveMap none("/nonexistent/drives.ini");
    EXPECT_EQ(DesktopExecLine("/bin/prog a \"b c\" $HOME", none),
              "/bin/prog a \"b c\" \"\\\\$HOME\"");
    EXPECT_EQ(DesktopExecLine("", none), "");
}

}  // namespace
}  // namespace kvo::platform
