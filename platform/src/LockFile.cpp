#include "platform/LockFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/Sys.h"

namespace kvo::platform {
namespace {

bool SetLock(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;  // start 0, length 0: the whole file, however it grows
    return Sys().lock(fd, F_OFD_SETLK, &fl) == 0;
}

// The hold is on the file the path names now: a file that was deleted between
// our open and our lock is not the lock file any more.
bool StillNamed(int fd, const std::string& path) {
    struct stat byFd {
    }, byPath{};
    return ::fstat(fd, &byFd) == 0 && ::stat(path.c_str(), &byPath) == 0 &&
           byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino;
}

}  // namespace

LockFile::LockFile(LockFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(other.error_) {}

LockFile& LockFile::operator=(LockFile&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
        error_ = other.error_;
    }
    return *this;
}

bool LockFile::Hold(const std::string& localPath, LockMode mode) {
    Release();
    error_ = 0;
    const bool exclusive = mode == LockMode::Exclusive;
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = Sys().open(localPath.c_str(), O_RDWR | O_CREAT, 0666);
        // A read-only lock file (a share mounted so) can still carry a shared hold.
        if (fd < 0 && !exclusive && (errno == EACCES || errno == EROFS))
            fd = Sys().open(localPath.c_str(), O_RDONLY, 0);
        if (fd < 0) {
            error_ = errno;
            return false;
        }
        if (!SetLock(fd, exclusive ? F_WRLCK : F_RDLCK)) {
            error_ = errno;
            Sys().close(fd);
            return false;
        }
        if (StillNamed(fd, localPath)) {
            fd_ = fd;
            return true;
        }
        Sys().close(fd);  // deleted under us: take the new file instead
    }
    error_ = EAGAIN;
    return false;
}

void LockFile::Release() {
    if (fd_ >= 0) Sys().close(fd_);
    fd_ = -1;
}

bool LockFile::DeleteIfFree(const std::string& localPath) {
    int fd = Sys().open(localPath.c_str(), O_RDWR, 0);
    if (fd < 0) return errno == ENOENT;
    bool removed = false;
    if (SetLock(fd, F_WRLCK) && StillNamed(fd, localPath))
        removed = Sys().unlink(localPath.c_str()) == 0 || errno == ENOENT;
    Sys().close(fd);
    return removed;
}

}  // namespace kvo::platform
