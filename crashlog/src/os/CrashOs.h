// The crash library's own link to the operating system.  The library depends
// on nothing of the suite, so it keeps its own layer: the one walk over the
// loaded modules, the main program's path, the page size, and the system
// calls whose failures callers must handle, reached through one replaceable
// table so that tests can make any of them fail.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct flock;

namespace crashlog::os {

struct SysCalls {
    ssize_t (*process_vm_readv)(pid_t pid, const iovec* local, unsigned long localCount,
                                const iovec* remote, unsigned long remoteCount,
                                unsigned long flags);
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* data, size_t size);
    ssize_t (*pread)(int fd, void* data, size_t size, off_t offset);
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*ftruncate)(int fd, off_t size);
    int (*fstat)(int fd, struct stat* out);
    // fcntl restricted to the lock commands (F_OFD_SETLK, F_OFD_GETLK).
    int (*lock)(int fd, int cmd, struct flock* lock);
    int (*shm_open)(const char* name, int flags, mode_t mode);
    void* (*mmap)(void* address, size_t size, int protection, int flags, int fd, off_t offset);
};

// The table in force.  Not synchronised: tests replace entries while no other
// thread of theirs is inside the library.
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

// The system's page size, asked once.
size_t PageSize();

// The main program's file, from /proc/self/exe; empty when it cannot be read.
std::string MainProgramPath();

// One loaded module as the dynamic loader lists it.
struct LoadedModule {
    uintptr_t Handle = 0;  // image start: lowest loadable segment, page aligned
    uintptr_t Bias = 0;    // what the file's addresses are shifted by
    size_t Extent = 0;     // from the image start to the end of the last segment
    std::string Name;      // file name; the main program's path for the main program
    bool Main = false;
};

// Every loaded module with at least one loadable segment, the main program
// first.
std::vector<LoadedModule> LoadedModules();

}  // namespace crashlog::os
