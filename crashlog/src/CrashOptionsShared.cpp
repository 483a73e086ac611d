// The options' links to the OS: module handles, the options file and the
// shared options block.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>

#include "crashlog/CrashOptions.h"
#include "os/CrashOs.h"

namespace crashlog {

// ---------------------------------------------------------------------------
// Module handles

namespace {

std::string_view BaseName(std::string_view path) {
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

ModuleHandle ModuleHandleByName(std::string_view name) {
    if (name.empty()) return 0;
    const bool bare = name.find('/') == std::string_view::npos;
    for (const auto& m : os::LoadedModules()) {
        if (m.Name.empty()) continue;
        if (m.Name == name || (bare && BaseName(m.Name) == name)) return m.Handle;
    }
    return 0;
}

ModuleHandle CrashLibraryModuleHandle() {
    static const ModuleHandle handle = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&CrashLibraryModuleHandle), &info) == 0)
            return ModuleHandle{0};
        return reinterpret_cast<ModuleHandle>(info.dli_fbase);
    }();
    return handle;
}

// ---------------------------------------------------------------------------
// Options file

namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) os::Sys().close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Whole-file advisory lock shared by every process that uses these routines.
void LockWhole(int fd, short type, const std::string& fileName) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    if (os::Sys().lock(fd, F_OFD_SETLK, &fl) != 0) ThrowErrno(fileName);
}

}  // namespace

void TCrashModuleOptions::SaveToFile(const std::string& fileName) const {
    ByteBuffer bytes = SaveToBytes();
    Fd fd(os::Sys().open(fileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) ThrowErrno(fileName);
    // Truncate only once the lock is held, so that a reader never sees a
    // half-written file.
    LockWhole(fd.get(), F_WRLCK, fileName);
    if (os::Sys().ftruncate(fd.get(), 0) != 0) ThrowErrno(fileName);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = os::Sys().write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(fileName);
        }
        done += static_cast<std::size_t>(n);
    }
}

void TCrashModuleOptions::LoadFromFile(const std::string& fileName) {
    Fd fd(os::Sys().open(fileName.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (fd.get() < 0) ThrowErrno(fileName);
    LockWhole(fd.get(), F_RDLCK, fileName);
    ByteBuffer bytes;
    std::uint8_t chunk[65536];
    for (;;) {
        ssize_t n = os::Sys().read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(fileName);
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    LoadFromStream(bytes);
}

// ---------------------------------------------------------------------------
// Shared options block

std::string SharedOptionsBlockName(std::uint32_t processId, ModuleHandle handle) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "/%08X%0*llX", processId, static_cast<int>(sizeof(void*) * 2),
                  static_cast<unsigned long long>(handle));
    return buf;
}

namespace {

std::string OwnBlockName(ModuleHandle handle) {
    return SharedOptionsBlockName(static_cast<std::uint32_t>(getpid()), handle);
}

constexpr std::size_t kSizeField = 4;

}  // namespace

bool WriteSharedOptionsBlock(ModuleHandle handle, std::span<const std::uint8_t> content) {
    if (content.size() > 0xFFFFFFFFu) return false;
    const std::string name = OwnBlockName(handle);
    int raw = os::Sys().shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (raw < 0) return false;
    Fd fd(raw);
    const std::size_t total = kSizeField + content.size();
    // The object only ever grows: a reader that mapped it a moment ago must
    // not find its pages cut off under it (that would raise SIGBUS).  The
    // size field says how much of it is current.
    struct stat st {};
    if (os::Sys().fstat(fd.get(), &st) != 0) return false;
    if (static_cast<std::size_t>(st.st_size) < total &&
        os::Sys().ftruncate(fd.get(), static_cast<off_t>(total)) != 0)
        return false;
    void* map = os::Sys().mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED) return false;
    auto* bytes = static_cast<std::uint8_t*>(map);
    const auto size = static_cast<std::uint32_t>(content.size());
    for (std::size_t i = 0; i < kSizeField; ++i)
        bytes[i] = static_cast<std::uint8_t>(size >> (8 * i));
    if (!content.empty()) std::memcpy(bytes + kSizeField, content.data(), content.size());
    munmap(map, total);
    return true;
}

bool CreateSharedOptionsBlock(ModuleHandle handle) {
    const std::uint8_t zero = 0;
    return WriteSharedOptionsBlock(handle, std::span<const std::uint8_t>(&zero, 1));
}

bool ReadSharedOptionsBlock(ModuleHandle handle, ByteBuffer& content) {
    const std::string name = OwnBlockName(handle);
    int raw = os::Sys().shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (raw < 0) return false;
    Fd fd(raw);
    struct stat st {};
    if (os::Sys().fstat(fd.get(), &st) != 0 || st.st_size < static_cast<off_t>(kSizeField))
        return false;
    const auto total = static_cast<std::size_t>(st.st_size);
    void* map = os::Sys().mmap(nullptr, total, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(map);
    std::uint32_t size = 0;
    for (std::size_t i = 0; i < kSizeField; ++i)
        size |= std::uint32_t{bytes[i]} << (8 * i);
    // The recorded size is trusted only as far as the object really reaches.
    const std::size_t usable = std::min<std::size_t>(size, total - kSizeField);
    content.assign(bytes + kSizeField, bytes + kSizeField + usable);
    munmap(map, total);
    return true;
}

void DeleteSharedOptionsBlock(ModuleHandle handle) {
    shm_unlink(OwnBlockName(handle).c_str());
}

// ---------------------------------------------------------------------------
// The library's options object

namespace {
std::mutex gLinkMutex;
TCrashModuleOptionsEx* gCurrent = nullptr;
std::function<void(bool)> gFrozenSwitch;

void SteerFrozenWatcher(bool run) {
    std::function<void(bool)> fn;
    {
        std::lock_guard lock(gLinkMutex);
        fn = gFrozenSwitch;
    }
    if (fn) fn(run);
}
}  // namespace

void SetCurrentOptionsObject(TCrashModuleOptionsEx* options) {
    std::lock_guard lock(gLinkMutex);
    gCurrent = options;
}

TCrashModuleOptionsEx* CurrentOptionsObject() {
    std::lock_guard lock(gLinkMutex);
    return gCurrent;
}

void SetFrozenWatcherSwitch(std::function<void(bool run)> onSwitch) {
    std::lock_guard lock(gLinkMutex);
    gFrozenSwitch = std::move(onSwitch);
}

void TCrashModuleOptionsEx::SetEnabled(bool value) {
    const bool changed = value != Enabled();
    TCrashModuleOptions::SetEnabled(value);
    if (changed && CurrentOptionsObject() == this) SteerFrozenWatcher(Enabled() && DetectFrozen());
}

void TCrashModuleOptionsEx::SetDetectFrozen(bool value) {
    const bool changed = value != DetectFrozen();
    TCrashModuleOptions::SetDetectFrozen(value);
    if (changed && CurrentOptionsObject() == this) SteerFrozenWatcher(Enabled() && DetectFrozen());
}

void TCrashModuleOptionsEx::Publish() {
    if (OwnerModuleHandle() == 0) return;
    ByteBuffer content{1};
    SaveToStream(content);
    WriteSharedOptionsBlock(OwnerModuleHandle(), content);
}

void TCrashModuleOptionsEx::Refresh() {
    if (OwnerModuleHandle() == 0) return;
    ByteBuffer content;
    if (!ReadSharedOptionsBlock(OwnerModuleHandle(), content) || content.empty() || content[0] == 0)
        return;
    LoadFromStream(std::span<const std::uint8_t>(content).subspan(1), kCrashLogVersion);
}

}  // namespace crashlog
