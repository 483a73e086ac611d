#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include "SharedFixture.h"
#include "common/CommonHelpers.h"

namespace kvo::common::testing {
namespace {

class Helpers : public SharedFixture {
  protected:
    void SetUp() override {
        SharedFixture::SetUp();
        WriteDriveMap("[C]\r\nPath=" + c_.string() +
                      "\r\nLabel=System\r\n[D]\r\nPath=" + d_.string() +
                      "\r\nType=remote\r\nLabel=Data\r\nRemote=\\\\Server\\Share\r\n" +
                      "[E]\r\nPath=" + (root_ / "E").string() + "\r\nType=cdrom\r\nLabel=Disc\r\n");
    }
};

TEST(PathText, TrailingBackslash) {
    struct Case {
        const char* in;
        const char* out;
    };
    for (Case c :
         {Case{"", "\\"}, Case{"C:", "C:\\"}, Case{"C:\\", "C:\\"}, Case{"a\\b", "a\\b\\"}})
        EXPECT_EQ(WithTrailingBackslash(c.in), c.out);
    LocalDateTime t{2009, 11, 1};
    EXPECT_EQ(DateTextYMD(t), "20091101");
    EXPECT_EQ(DateTextDMY(t), "01/11/2009");
}

TEST_F(Helpers, DriveNamesFollowTheCaseOfTheLetter) {
    EXPECT_EQ(VolumeLabel('c'), "system");
    EXPECT_EQ(VolumeLabel('C'), "SYSTEM");
    EXPECT_EQ(VolumeLabel('e'), "");            // no medium in the drive
    EXPECT_EQ(VolumeLabel('q'), "");            // no such drive
    EXPECT_EQ(DriveRemoteName('C'), "SYSTEM");  // a local disk gives its label
    EXPECT_EQ(DriveRemoteName('d'), "\\\\server\\share");
    EXPECT_EQ(DriveRemoteName('D'), "\\\\SERVER\\SHARE");
}

TEST_F(Helpers, DriveSectionsMayCarryTheColon) {
    WriteDriveMap("[X:]\r\nPath=" + d_.string() + "\r\nLabel=\"Two Words\"\r\n");
    EXPECT_EQ(VolumeLabel('X'), "TWO WORDS");
    EXPECT_EQ(FileSizeOf("X:\\Kestavo"), 0);  // a folder is found, with no size
    EXPECT_FALSE(MapSubstituteDrive('X', "C:\\"));
    EXPECT_FALSE(MapSubstituteDrive('C', "X:\\"));  // C: is always a real drive
}

TEST_F(Helpers, SubstituteDrivesComeAndGo) {
    fs::create_directories(c_ / "Kestavo" / "MultiSite" / "2");
    EXPECT_EQ(SubstituteDriveTarget('S'), "");
    EXPECT_EQ(SubstituteDriveTarget('C'), "");  // a real drive is no substitute
    EXPECT_FALSE(UnmapSubstituteDrive('C'));
    EXPECT_FALSE(MapSubstituteDrive('C', "C:\\Kestavo"));

    ASSERT_TRUE(MapSubstituteDrive('s', "C:\\Kestavo\\MultiSite\\2"));
    EXPECT_EQ(SubstituteDriveTarget('S'), "C:\\Kestavo\\MultiSite\\2");
    WriteAll(c_ / "Kestavo" / "MultiSite" / "2" / "probe.txt", "12345");
    EXPECT_EQ(FileSizeOf("S:\\probe.txt"), 5);  // the drive reaches the folder

    EXPECT_TRUE(UnmapSubstituteDrive('S'));
    EXPECT_EQ(SubstituteDriveTarget('S'), "");
    EXPECT_EQ(FileSizeOf("S:\\probe.txt"), -1);
    EXPECT_FALSE(UnmapSubstituteDrive('S'));
}

TEST_F(Helpers, FileSizes) {
    WriteAll(c_ / "Kestavo" / "empty.txt", "");
    WriteAll(c_ / "Kestavo" / "Five.TXT", "12345");
    EXPECT_EQ(FileSizeOf("C:\\Kestavo\\empty.txt"), 0);
    EXPECT_EQ(FileSizeOf("c:\\KESTAVO\\five.txt"), 5);  // names match without case
    EXPECT_EQ(FileSizeOf("C:\\Kestavo\\missing.txt"), -1);
    EXPECT_EQ(FileSizeOf("Q:\\anything"), -1);
}

TEST_F(Helpers, DeleteFolderRefusesTheDangerousPaths) {
    WriteAll(c_ / "Kestavo" / "Private" / "u" / "f.txt", "x");
    WriteAll(root_ / "home" / "keep.txt", "x");
    for (const std::string& bad : std::vector<std::string>{
             "", "\\", "/", (root_ / "home").string(), (root_ / "home/").string(), root_.string()})
        EXPECT_FALSE(DeleteFolder(bad)) << bad;
    EXPECT_TRUE(fs::exists(root_ / "home" / "keep.txt"));
    EXPECT_FALSE(DeleteFolder("C:\\Kestavo\\NotThere"));
    EXPECT_TRUE(DeleteFolder("C:\\Kestavo\\Private\\"));
    EXPECT_FALSE(fs::exists(c_ / "Kestavo" / "Private"));
    EXPECT_TRUE(fs::exists(c_ / "Kestavo"));
}

TEST_F(Helpers, ShortPathNameNotesEveryAnswer) {
    EXPECT_EQ(ShortPathName("C:\\Kestavo"), "C:\\Kestavo");
    EXPECT_EQ(ShortPathName("C:\\Missing Folder"), "");
    EXPECT_EQ(ReadAll(c_ / "Kestavo" / "KVO.INI"),
              "[GetShortPathName]\r\nLongName=C:\\Missing Folder\r\nShortName=\r\n");
    std::string events = ReadAll(c_ / "Kestavo" / "EVENTS.XML");
    EXPECT_NE(events.find("<CLASS>Information</CLASS>\r\n<TEXT>GetShortPathName</TEXT>"),
              std::string::npos);
}

TEST_F(Helpers, ExecAppRaisesTheSystemSentence) {
    try {
        ExecApp("C:\\Kestavo\\NoSuch.exe", "");
        FAIL() << "no exception";
    } catch (const EExecAppError& e) {
        EXPECT_STREQ(e.what(), "No such file or directory");
    }
    EXPECT_THROW(ExecApp("Q:\\unmapped.exe", ""), EExecAppError);
}

TEST_F(Helpers, WaitForProcessKeepsTheEventLoopServed) {
    int argc = 1;
    char arg0[] = "test";
    char* argv[] = {arg0, nullptr};
    QCoreApplication app(argc, argv);
    bool timerFired = false;
    QTimer::singleShot(50, [&] { timerFired = true; });
    ProcessHandle p = ExecApp("/bin/sh", "-c \"sleep 0.4; exit 3\"");
    ASSERT_GT(p.id, 0);
    WaitForProcess(p);
    EXPECT_TRUE(timerFired);
    int status = 0;
    EXPECT_EQ(waitpid(static_cast<pid_t>(p.id), &status, WNOHANG), -1);  // already reaped

    timerFired = false;
    QTimer::singleShot(20, [&] { timerFired = true; });
    PauseWithMessages(100);
    EXPECT_TRUE(timerFired);
}

// Runs fn in a child process that holds the data-area lock until told to go.
class LockHolder {
  public:
    explicit LockHolder(bool exclusive) {
        int up[2], down[2];
        EXPECT_EQ(pipe(up), 0);
        EXPECT_EQ(pipe(down), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            char ok = (exclusive ? LockDataAreaExclusive() : LockDataArea()) ? 'y' : 'n';
            (void)!write(up[1], &ok, 1);
            char go;
            (void)!read(down[0], &go, 1);
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        release_ = down[1];
        char ok = 0;
        EXPECT_EQ(read(up[0], &ok, 1), 1);
        held_ = ok == 'y';
        close(up[0]);
    }
    ~LockHolder() {
        close(release_);
        int status;
        waitpid(pid_, &status, 0);
    }
    bool held() const { return held_; }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

TEST_F(Helpers, DataAreaLockAcrossProcesses) {
    // No data folder yet: nothing to guard.
    EXPECT_TRUE(LockDataArea());
    EXPECT_TRUE(LockDataAreaExclusive());

    UseDataDriveD();
    const fs::path lockFile = d_ / "Kestavo" / "KVO.LCK";
    {
        LockHolder other(false);
        ASSERT_TRUE(other.held());
        EXPECT_TRUE(fs::exists(lockFile));
        EXPECT_FALSE(LockDataAreaExclusive());
        EXPECT_TRUE(LockDataArea());  // shared holds live side by side
        UnlockDataArea();
        EXPECT_TRUE(fs::exists(lockFile));  // still held elsewhere: kept
    }
    EXPECT_TRUE(LockDataAreaExclusive());
    {
        LockHolder other(false);
        EXPECT_FALSE(other.held());  // the packer's hold shuts everyone out
    }
    ReleaseDataAreaLock();
    EXPECT_TRUE(fs::exists(lockFile));
    EXPECT_TRUE(LockDataArea());
    UnlockDataArea();
    EXPECT_FALSE(fs::exists(lockFile));
}

TEST_F(Helpers, SecondProductLineLocksItsOwnFile) {
    Settings() = LibrarySettings::SecondLine();
    Settings().programPath = "/opt/RUL";
    fs::create_directories(d_ / "RUL Dental");
    WriteAll(c_ / "RUL Dental" / "RUL.INI", "[RUL Dental]\r\nWB=D:\r\n");
    EXPECT_TRUE(LockDataArea());
    EXPECT_TRUE(fs::exists(d_ / "RUL Dental" / "RUL.LCK"));
    UnlockDataArea();
}

}  // namespace
}  // namespace kvo::common::testing
