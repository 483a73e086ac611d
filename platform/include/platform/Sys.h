// The system calls whose failures the platform layer reports, reached through
// one replaceable table so that tests can make any of them fail.  Everything
// in platform/ that writes, locks, spawns or waits calls through Sys(); a test
// swaps single entries with ScopedSysOverride and the rest keep working.
#pragma once

#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/types.h>

#include <cstddef>

struct flock;

namespace kvo::platform {

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*fsync)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    // fcntl restricted to the lock commands (F_OFD_SETLK, F_OFD_GETLK).
    int (*lock)(int fd, int cmd, struct flock* lock);
    int (*posix_spawn)(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attr, char* const argv[], char* const envp[]);
    pid_t (*waitpid)(pid_t pid, int* status, int options);
    int (*statvfs)(const char* path, struct statvfs* out);
    int (*gethostname)(char* name, size_t size);
    // The file-system type of a path (f_type), e.g. to refuse network drives.
    int (*statfs)(const char* path, struct statfs* out);
};

// The table in force.  Not synchronised: tests replace entries while no other
// thread of theirs is inside the platform layer.
SysCalls& Sys();

// The real calls, for restoring or for forwarding from a test's wrapper.
const SysCalls& RealSysCalls();

// Replaces the whole table for its lifetime; the previous table comes back on
// destruction.  Set single entries through table().
class ScopedSysOverride {
  public:
    ScopedSysOverride();
    ~ScopedSysOverride();
    ScopedSysOverride(const ScopedSysOverride&) = delete;
    ScopedSysOverride& operator=(const ScopedSysOverride&) = delete;
    SysCalls& table() { return Sys(); }

  private:
    SysCalls saved_;
};

}  // namespace kvo::platform
