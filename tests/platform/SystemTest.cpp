#include <gtest/gtest.h>
#include <unistd.h>

#include "TempEnv.h"
#include "platform/Sys.h"
#include "platform/System.h"

namespace kvo::platform {
namespace {

class SystemTest : public testing::TempEnvTest {};

TEST_F(SystemTest, FoldersFromEnvironment) {
    EXPECT_EQ(ConfigHome(), Path("config"));
    EXPECT_EQ(DataHome(), Path("data"));
    EXPECT_EQ(WindowsFolder(), Path("etc") + "/");
    unsetenv("KESTAVO_SYSCONF");
    EXPECT_EQ(WindowsFolder(), "/etc/kestavo/");
    setenv("XDG_CONFIG_HOME", "relative", 1);  // ignored, as the XDG rules say
    EXPECT_EQ(ConfigHome(), HomeFolder() + "/.config");
}

TEST_F(SystemTest, Facts) {
    EXPECT_FALSE(UserName().empty());
    EXPECT_FALSE(HostName().empty());
    EXPECT_EQ(ExecutablePath().substr(ExecutablePath().rfind('/') + 1), "test_platform_drives");
    EXPECT_EQ(ErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(ErrorText(99999), "");
    EXPECT_GT(FreeDiskSpace(root_).value_or(0), 0u);
    EXPECT_FALSE(FreeDiskSpace(Path("missing")));
    ScopedSysOverride sys;
    sys.table().gethostname = [](char*, size_t) {
        errno = EFAULT;
        return -1;
    };
    EXPECT_EQ(HostName(), "");
}

TEST_F(SystemTest, AttributesAreKeptBesideTheFile) {
    MakeDir("dir/Private");
    WriteFile(Path("dir/file.txt"), "x");
    EXPECT_EQ(FileAttributes(Path("dir/Private")), 0u);
    ASSERT_TRUE(SetFileAttributes(Path("dir/Private/"), kAttrHidden | kAttrSystem));
    ASSERT_TRUE(SetFileAttributes(Path("dir/file.txt"), kAttrHidden));
    EXPECT_EQ(FileAttributes(Path("dir/Private")), unsigned{kAttrHidden | kAttrSystem});
    EXPECT_EQ(FileAttributes(Path("dir/file.txt")), unsigned{kAttrHidden});
    ASSERT_TRUE(SetFileAttributes(Path("dir/file.txt"), 0));
    EXPECT_EQ(FileAttributes(Path("dir/file.txt")), 0u);
    EXPECT_FALSE(SetFileAttributes(Path("dir/missing"), kAttrHidden));
    WriteFile(Path("dir/a=b"), "");
    EXPECT_FALSE(SetFileAttributes(Path("dir/a=b"), kAttrHidden));
}

TEST_F(SystemTest, DeleteTreeRefusesTheFaultCases) {
    MakeDir("home/user");
    setenv("HOME", Path("home/user").c_str(), 1);
    MakeDir("victim/sub");
    WriteFile(Path("victim/sub/f"), "x");
    std::filesystem::create_directory_symlink(Path("home"), Path("link"));
    for (const std::string& refused :
         {std::string(), std::string("/"), std::string("/./"), Path("home/user"), Path("home"),
          Path("home/user/../user/"), Path("link"), Path("missing")})
        EXPECT_FALSE(DeleteTree(refused)) << refused;
    EXPECT_TRUE(std::filesystem::exists(Path("home/user")));
    EXPECT_TRUE(DeleteTree(Path("victim/")));
    EXPECT_FALSE(std::filesystem::exists(Path("victim")));
    MakeDir("home/user/inside");
    EXPECT_TRUE(DeleteTree(Path("home/user/inside")));
}

TEST_F(SystemTest, ConnectedNeedsADefaultRouteOnAnUpInterface) {
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    WriteFile(Path("net/eth0/flags"), "0x1003\n");
    WriteFile(Path("net/wlan0/flags"), "0x1002\n");
    const std::string net = Path("net");
    EXPECT_TRUE(
        IsConnected(header + "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", net));
    EXPECT_FALSE(
        IsConnected(header + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", net));
    EXPECT_FALSE(
        IsConnected(header + "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", net));
    EXPECT_FALSE(
        IsConnected(header + "eth0\t00000000\t0101A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", net));
    EXPECT_FALSE(IsConnected(header + "../x\t00000000\t0\t0003\n", net));
    EXPECT_FALSE(IsConnected("", net));
}

}  // namespace
}  // namespace kvo::platform
