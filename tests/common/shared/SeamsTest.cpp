// Failures deep in the system reach the shared library's callers as the
// results it promises (false, "Unknown", the exception ExecApp names), never
// as a crash or an unexpected exception.
#include <cerrno>

#include "SharedFixture.h"
#include "common/CommonHelpers.h"
#include "platform/Sys.h"

namespace kvo::common::testing {
namespace {

class Seams : public SharedFixture {
  protected:
    platform::SysCalls& sys() { return override_.table(); }
    platform::ScopedSysOverride override_;
};

TEST_F(Seams, LockRefusedOrFileUnopenableMeansNoLock) {
    UseDataDriveD();
    sys().lock = [](int, int, struct flock*) { return errno = EAGAIN, -1; };
    EXPECT_FALSE(LockDataArea());
    EXPECT_FALSE(LockDataAreaExclusive());

    sys() = platform::RealSysCalls();
    sys().open = [](const char* path, int flags, mode_t mode) {
        if (std::string_view(path).ends_with(".LCK")) return errno = EACCES, -1;
        return platform::RealSysCalls().open(path, flags, mode);
    };
    EXPECT_FALSE(LockDataArea());
    EXPECT_NO_THROW(UnlockDataArea());
    EXPECT_NO_THROW(ReleaseDataAreaLock());
}

TEST_F(Seams, ProgramThatMayNotRunRaisesItsSentence) {
    sys().posix_spawn = [](pid_t*, const char*, const posix_spawn_file_actions_t*,
                           const posix_spawnattr_t*, char* const*, char* const*) { return EACCES; };
    try {
        ExecApp("/bin/sh", "-c true");
        FAIL() << "no exception";
    } catch (const EExecAppError& e) {
        EXPECT_STREQ(e.what(), "Permission denied");
    }
}

TEST_F(Seams, WaitThatFailsReturns) {
    sys().waitpid = [](pid_t, int*, int) -> pid_t { return errno = ECHILD, -1; };
    EXPECT_NO_THROW(WaitForProcess(ProcessHandle{12345}));
}

TEST_F(Seams, UnknownComputerName) {
    sys().gethostname = [](char*, size_t) { return errno = EPERM, -1; };
    EXPECT_EQ(ComputerNameText(), "Unknown");
}

TEST_F(Seams, UnwritableIniFilesAreSwallowed) {
    UseDataDriveD();
    WriteAll(d_ / "Kestavo" / "KVODEN.DAT", "[Other]\r\nStartup=1.00\r\n");
    sys().rename = [](const char*, const char*) { return errno = EROFS, -1; };
    EXPECT_NO_THROW(StartupCheckpoint(0));
    EXPECT_NO_THROW(StartupCheckpoint(9999));
    EXPECT_EQ(ReadAll(d_ / "Kestavo" / "KVODEN.DAT"), "[Other]\r\nStartup=1.00\r\n");
    EXPECT_EQ(ShortPathName("C:\\Kestavo"), "C:\\Kestavo");
    EXPECT_EQ(ReadAll(c_ / "Kestavo" / "KVO.INI"), "[Kestavo]\r\nWD=D:\\\r\n");
}

}  // namespace
}  // namespace kvo::common::testing
