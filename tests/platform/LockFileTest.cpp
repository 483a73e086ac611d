#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TempEnv.h"
#include "platform/LockFile.h"
#include "platform/Sys.h"

namespace kvo::platform {
namespace {

// Another program holding the lock file: a child process that takes the hold,
// reports whether it got it, and keeps it until told to end.
class OtherProgram {
  public:
    OtherProgram(const std::string& path, LockMode mode) {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            LockFile lock;
            char got = lock.Hold(path, mode) ? '1' : '0';
            (void)!write(up[1], &got, 1);
            char c;
            (void)!read(down[0], &c, 1);
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        toChild_ = down[1];
        char got = '0';
        held_ = read(up[0], &got, 1) == 1 && got == '1';
        close(up[0]);
    }
    ~OtherProgram() { End(); }
    void End() {
        if (toChild_ >= 0) {
            (void)!write(toChild_, "x", 1);
            close(toChild_);
            toChild_ = -1;
            int status;
            waitpid(pid_, &status, 0);
        }
    }
    bool held() const { return held_; }

  private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    bool held_ = false;
};

class LockFileTest : public testing::TempEnvTest {};

TEST_F(LockFileTest, SharedHoldsCoexistExclusiveExcludes) {
    const std::string path = Path("KVO.LCK");
    {
        OtherProgram other(path, LockMode::Shared);
        ASSERT_TRUE(other.held());
        LockFile mine;
        EXPECT_TRUE(mine.Hold(path, LockMode::Shared));
        LockFile packer;
        EXPECT_FALSE(packer.Hold(path, LockMode::Exclusive));
        EXPECT_TRUE(packer.error() == EAGAIN || packer.error() == EACCES);
        // Nor may it be deleted while another program still runs on it.
        mine.Release();
        EXPECT_FALSE(LockFile::DeleteIfFree(path));
        EXPECT_TRUE(std::filesystem::exists(path));
        other.End();
        EXPECT_TRUE(packer.Hold(path, LockMode::Exclusive));
    }
    {
        LockFile packer;
        ASSERT_TRUE(packer.Hold(path, LockMode::Exclusive));
        OtherProgram other(path, LockMode::Shared);
        EXPECT_FALSE(other.held());
        OtherProgram second(path, LockMode::Exclusive);
        EXPECT_FALSE(second.held());
    }
    EXPECT_TRUE(LockFile::DeleteIfFree(path));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(LockFile::DeleteIfFree(path)) << "already gone";
}

TEST_F(LockFileTest, TwoHoldsInOneProcessConflictLikeTwoPrograms) {
    const std::string path = Path("REPORT.LCK");
    LockFile a, b;
    ASSERT_TRUE(a.Hold(path, LockMode::Exclusive));
    EXPECT_FALSE(b.Hold(path, LockMode::Exclusive));
    EXPECT_FALSE(LockFile::DeleteIfFree(path));
    LockFile moved = std::move(a);
    EXPECT_TRUE(moved.held());
    EXPECT_FALSE(a.held());
    moved.Release();
    EXPECT_TRUE(b.Hold(path, LockMode::Exclusive));
}

TEST_F(LockFileTest, MissingFolderFailsWithItsError) {
    LockFile lock;
    EXPECT_FALSE(lock.Hold(Path("no/such/KVO.LCK"), LockMode::Shared));
    EXPECT_EQ(lock.error(), ENOENT);
    EXPECT_FALSE(lock.held());
}

TEST_F(LockFileTest, LockAndUnlinkFailuresAreReported) {
    const std::string path = Path("KVO.LCK");
    {
        ScopedSysOverride sys;
        sys.table().lock = [](int, int, struct flock*) {
            errno = ENOLCK;
            return -1;
        };
        LockFile lock;
        EXPECT_FALSE(lock.Hold(path, LockMode::Shared));
        EXPECT_EQ(lock.error(), ENOLCK);
        EXPECT_FALSE(LockFile::DeleteIfFree(path));
    }
    {
        ScopedSysOverride sys;
        sys.table().unlink = [](const char*) {
            errno = EPERM;
            return -1;
        };
        EXPECT_FALSE(LockFile::DeleteIfFree(path));
    }
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(LockFile::DeleteIfFree(path));
}

}  // namespace
}  // namespace kvo::platform
