#include <gtest/gtest.h>

#include "TempEnv.h"
#include "platform/NetworkDrives.h"

namespace kvo::platform {
namespace {

class NetworkDrivesTest : public testing::TempEnvTest {
  protected:
    // A mounter that records the URL and answers with a folder or an error.
    LinuxNetworkDrives::Mounter Fake(std::string folder, int error = 0) {
        return [this, folder, error](const std::string& url) {
            urls_.push_back(url);
            return LinuxNetworkDrives::Mounted{folder, error};
        };
    }
    std::vector<std::string> urls_;
};

TEST_F(NetworkDrivesTest, ConnectThroughTheShareMapWithoutMounting) {
    MakeDir("srv/data");
    DriveMap map;
    ASSERT_TRUE(map.SetShare("\\\\SRV\\DATA", Path("srv/data")));
    LinuxNetworkDrives net(map, Fake("", ENOSYS));
    EXPECT_FALSE(net.RemoteName('S'));
    ASSERT_EQ(net.Connect('s', "\\\\srv\\data"), 0);
    EXPECT_TRUE(urls_.empty());
    EXPECT_EQ(net.RemoteName('S'), "\\\\srv\\data");
    EXPECT_EQ(map.TypeOf('S'), DriveType::Remote);
    EXPECT_EQ(map.ToLocal("S:\\x"), Path("srv/data/x"));
    ASSERT_EQ(net.Cancel("\\\\SRV\\Data\\"), 0);
    EXPECT_FALSE(map.Drive('S'));
}

TEST_F(NetworkDrivesTest, ConnectMountsAnUnmappedShare) {
    MakeDir("gvfs/share");
    DriveMap map;
    LinuxNetworkDrives net(map, Fake(Path("gvfs/share")));
    ASSERT_EQ(net.Connect('T', "\\\\Server\\Share"), 0);
    EXPECT_EQ(urls_, std::vector<std::string>{"smb://server/share"});
    EXPECT_EQ(map.Drive('T')->folder, Path("gvfs/share"));
}

TEST_F(NetworkDrivesTest, FailuresLeaveTheMapAlone) {
    DriveMap map;
    LinuxNetworkDrives refused(map, Fake("", EACCES));
    EXPECT_EQ(refused.Connect('T', "\\\\server\\share"), EACCES);
    LinuxNetworkDrives nowhere(map, Fake(Path("missing")));
    EXPECT_EQ(nowhere.Connect('T', "\\\\server\\share"), EHOSTUNREACH);
    EXPECT_EQ(nowhere.Connect('T', "S:\\not-a-share"), EINVAL);
    EXPECT_EQ(nowhere.Connect('C', "\\\\server\\share"), EINVAL);
    EXPECT_FALSE(map.Drive('T'));
    EXPECT_EQ(LinuxNetworkDrives::ShareUrl("\\\\a\\b\\c"), "");
}

TEST_F(NetworkDrivesTest, ProcessWideConnectionsCanBeReplaced) {
    LinuxNetworkDrives mine(DriveMap(), Fake(""));
    NetworkDrives* previous = SetNetworkDrives(&mine);
    EXPECT_EQ(&CurrentNetworkDrives(), &mine);
    EXPECT_EQ(SetNetworkDrives(previous), &mine);
    EXPECT_EQ(&CurrentNetworkDrives(), previous);
}

}  // namespace
}  // namespace kvo::platform
