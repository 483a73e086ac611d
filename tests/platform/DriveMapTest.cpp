#include <gtest/gtest.h>

#include "TempEnv.h"
#include "platform/DriveMap.h"

namespace kvo::platform {
namespace {

class DriveMapTest : public testing::TempEnvTest {
  protected:
    const std::string map_ = Path("drives.ini");
};

TEST_F(DriveMapTest, LocationFromEnvironmentElseConfigHome) {
    EXPECT_EQ(DriveMap::DefaultFile(), map_);
    unsetenv("KESTAVO_DRIVES");
    EXPECT_EQ(DriveMap::DefaultFile(), Path("config/kestavo/drives.ini"));
}

TEST_F(DriveMapTest, DriveCIsAlwaysThereOthersOnlyWhenMapped) {
    DriveMap drives;
    auto c = drives.Drive('c');
    ASSERT_TRUE(c);
    EXPECT_EQ(c->letter, 'C');
    EXPECT_EQ(c->folder, Path("data/kestavo/C"));
    EXPECT_EQ(c->type, DriveType::NoRootDir);  // its folder does not exist yet
    EXPECT_FALSE(drives.Drive('S'));
    EXPECT_FALSE(drives.Drive('1'));
    EXPECT_EQ(drives.TypeOf('S'), DriveType::NoRootDir);
    MakeDir("data/kestavo/C");
    EXPECT_EQ(drives.TypeOf('C'), DriveType::Fixed);
}

TEST_F(DriveMapTest, EntriesTypesLabelsAndRemoteNames) {
    MakeDir("s");
    MakeDir("c");
    WriteFile(map_, "[C:]\nPath=" + Path("c") + "\nLabel=SYSTEM\n[S]\nPath=" + Path("s") +
                        "\nType=Remote\nRemote=\\\\server\\share\n[A]\nPath=" + Path("floppy") +
                        "\nType=removable\nLabel=DISK\n[R]\nPath=" + Path("gone") +
                        "\nType=ramdisk\n[Q]\nPath=" + Path("s") + "\nType=tape\n");
    DriveMap drives;
    EXPECT_EQ(drives.TypeOf('c'), DriveType::Fixed);
    EXPECT_EQ(drives.VolumeLabel('C'), "SYSTEM");
    EXPECT_EQ(drives.TypeOf('S'), DriveType::Remote);
    EXPECT_EQ(drives.RemoteName('s'), "\\\\server\\share");
    // A removable drive without its folder is a drive without medium: its
    // type stays, it has no label.
    EXPECT_EQ(drives.TypeOf('A'), DriveType::Removable);
    EXPECT_FALSE(drives.Drive('A')->rootExists);
    EXPECT_EQ(drives.VolumeLabel('A'), "");
    EXPECT_EQ(drives.TypeOf('R'), DriveType::NoRootDir);
    EXPECT_EQ(drives.TypeOf('Q'), DriveType::Unknown);
    std::string letters;
    for (const auto& d : drives.Drives())
        letters += d.letter;
    EXPECT_EQ(letters, "ACQRS");
}

TEST_F(DriveMapTest, SubstituteDrivesEditTheMap) {
    MakeDir("data/kestavo/C/Sites/One");
    DriveMap drives;
    EXPECT_EQ(drives.SubstituteTarget('S'), "");
    ASSERT_TRUE(drives.MapSubstitute('s', "C:\\sites\\ONE"));
    EXPECT_EQ(drives.SubstituteTarget('S'), "C:\\sites\\ONE");
    EXPECT_EQ(drives.ToLocal("S:\\"), Path("data/kestavo/C/Sites/One/"));
    // Another program of the suite sees it: the map is the file.
    EXPECT_EQ(DriveMap().TypeOf('S'), DriveType::Fixed);
    ASSERT_TRUE(drives.MapSubstitute('S', "C:\\Sites"));  // a substitute may be redefined
    EXPECT_EQ(drives.TypeOf('S'), DriveType::Fixed);
    MakeDir("net");
    DriveEntry n;
    n.letter = 'N';
    n.folder = Path("net");
    n.type = DriveType::Remote;
    ASSERT_TRUE(drives.SetDrive(n));
    ASSERT_TRUE(drives.MapSubstitute('S', "N:\\"));
    EXPECT_EQ(drives.TypeOf('S'), DriveType::Remote) << "the type of the drive it stands on";
    EXPECT_TRUE(drives.UnmapSubstitute('S'));
    EXPECT_FALSE(drives.UnmapSubstitute('S'));
    EXPECT_FALSE(drives.Drive('S'));
}

TEST_F(DriveMapTest, SubstituteRefusesRealDrivesAndMissingFolders) {
    MakeDir("d");
    DriveMap drives;
    DriveEntry d;
    d.letter = 'd';
    d.folder = Path("d");
    ASSERT_TRUE(drives.SetDrive(d));
    MakeDir("data/kestavo/C/x");
    EXPECT_FALSE(drives.MapSubstitute('C', "C:\\x"));
    EXPECT_FALSE(drives.MapSubstitute('D', "C:\\x"));
    EXPECT_FALSE(drives.MapSubstitute('T', "C:\\missing"));
    EXPECT_FALSE(drives.MapSubstitute('T', "Z:\\x"));
    EXPECT_FALSE(drives.UnmapSubstitute('D'));
    EXPECT_EQ(drives.Drive('D')->folder, Path("d"));
}

TEST_F(DriveMapTest, PathTranslation) {
    MakeDir("data/kestavo/C/Kestavo/Private");
    WriteFile(Path("data/kestavo/C/Kestavo/KVO.INI"), "");
    MakeDir("srv/Data");
    DriveMap drives;
    ASSERT_TRUE(drives.SetShare("\\\\Server\\Share", Path("srv")));
    const std::string c = Path("data/kestavo/C");
    struct {
        const char* windows;
        std::string local;
    } cases[] = {
        {"C:\\Kestavo\\KVO.INI", c + "/Kestavo/KVO.INI"},
        {"c:\\kestavo\\kvo.ini", c + "/Kestavo/KVO.INI"},  // existing names keep their case
        {"C:/KESTAVO/private/New\\File.txt", c + "/Kestavo/Private/New/File.txt"},
        {"C:\\Kestavo\\", c + "/Kestavo/"},
        {"C:", c},
        {"C:.\\Kestavo\\\\KVO.INI", c + "/Kestavo/KVO.INI"},
        {"\\\\server\\SHARE\\data\\x", Path("srv") + "/Data/x"},
        {"//SERVER/share", Path("srv")},
        {"\\\\other\\share\\x", ""},
        {"\\\\server", ""},
        {"\\\\", ""},
        {"S:\\x", ""},
        {"/already/local", "/already/local"},
        {"relative\\name", "relative/name"},
        {"", ""},
    };
    for (const auto& t : cases)
        EXPECT_EQ(drives.ToLocal(t.windows), t.local) << t.windows;
}

TEST_F(DriveMapTest, HandWrittenMapVariantsAreRead) {
    WriteFile(map_, "[UNC]\r\n\\\\srv\\docs = \"" + Path("docs") +
                        "\"\r\n[s:]\r\nPath=" + Path("s") + "\r\n");
    DriveMap drives;
    EXPECT_EQ(drives.ShareFolder("\\\\SRV\\DOCS\\"), Path("docs"));
    EXPECT_EQ(drives.Drive('S')->folder, Path("s"));
    ASSERT_TRUE(drives.RemoveDrive('s'));
    EXPECT_FALSE(drives.Drive('S'));
    EXPECT_NE(ReadFile(map_).find("\r\n"), std::string::npos) << "line ends kept";
}

}  // namespace
}  // namespace kvo::platform
