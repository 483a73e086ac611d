#include "platform/Sys.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kvo::platform {
namespace {

int RealOpen(const char* path, int flags, mode_t mode) {
    int fd;
    do
        fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int RealLock(int fd, int cmd, struct flock* lock) {
    return ::fcntl(fd, cmd, lock);
}

pid_t RealWaitpid(pid_t pid, int* status, int options) {
    pid_t r;
    do
        r = ::waitpid(pid, status, options);
    while (r < 0 && errno == EINTR);
    return r;
}

const SysCalls kReal{RealOpen, ::close,       ::write,     ::fsync,   ::rename,     ::unlink,
                     RealLock, ::posix_spawn, RealWaitpid, ::statvfs, ::gethostname, ::statfs};

SysCalls gCurrent = kReal;

}  // namespace

SysCalls& Sys() {
    return gCurrent;
}

const SysCalls& RealSysCalls() {
    return kReal;
}

ScopedSysOverride::ScopedSysOverride() : saved_(gCurrent) {}

ScopedSysOverride::~ScopedSysOverride() {
    gCurrent = saved_;
}

}  // namespace kvo::platform
