// Lock files shared between the suite's programs, on this computer and across
// network mounts.  A shared hold stands for the Windows open with deny-write
// sharing, an exclusive hold for the open with exclusive sharing: shared
// holds coexist, an exclusive hold excludes every other hold.  Holds are
// open-file-description locks, so two holds in one process conflict just as
// they do between processes, and a hold ends when its object closes it.
#pragma once

#include <string>

namespace kvo::platform {

enum class LockMode { Shared, Exclusive };

class LockFile {
  public:
    LockFile() = default;
    ~LockFile() { Release(); }
    LockFile(LockFile&& other) noexcept;
    LockFile& operator=(LockFile&& other) noexcept;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // Releases any hold of this object, then opens the file (creating it when
    // missing) and takes the hold without waiting.  False when another hold
    // is in the way (error() is EAGAIN or EACCES) or the file cannot be
    // opened (its errno).
    bool Hold(const std::string& localPath, LockMode mode);
    void Release();
    bool held() const { return fd_ >= 0; }
    int error() const { return error_; }

    // Deletes the lock file only when nobody holds it: the file is taken
    // exclusively first and removed while held, so a program that still runs
    // never finds its lock file replaced by a fresh one.  True when the file
    // is gone (or was not there); false when it is held or cannot be removed.
    // A hold of this process must be released first, or it counts as one.
    static bool DeleteIfFree(const std::string& localPath);

  private:
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace kvo::platform
