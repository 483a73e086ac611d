#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "crashlog/CrashDebug.h"
#include "os/CrashOs.h"

namespace crashlog {
namespace {

// Reads through the kernel, which answers an error instead of faulting on
// unmapped or protected memory.
ssize_t KernelRead(uintptr_t address, void* out, size_t size) {
    iovec local{out, size};
    iovec remote{reinterpret_cast<void*>(address), size};
    ssize_t r = os::Sys().process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (r >= 0 || (errno != ENOSYS && errno != EPERM)) return r;
    // Kernels or sandboxes without the call still offer the memory file.
    // Opened once it works; a failed open is tried again next time.
    static int memFd = -1;
    if (memFd < 0) memFd = os::Sys().open("/proc/self/mem", O_RDONLY | O_CLOEXEC, 0);
    if (memFd < 0) return -1;
    return os::Sys().pread(memFd, out, size, off_t(address));
}

}  // namespace

bool ReadMemory(uintptr_t address, void* out, size_t size) {
    if (size == 0) return true;
    if (address == 0 || address + size < address) return false;
    auto* dst = static_cast<uint8_t*>(out);
    while (size > 0) {
        ssize_t r = KernelRead(address, dst, size);
        if (r <= 0) return false;
        address += size_t(r);
        dst += r;
        size -= size_t(r);
    }
    return true;
}

bool IsReadableMemory(uintptr_t address, size_t size) {
    uint8_t buf[512];
    while (size > 0) {
        size_t n = size < sizeof buf ? size : sizeof buf;
        if (!ReadMemory(address, buf, n)) return false;
        address += n;
        size -= n;
    }
    return true;
}

}  // namespace crashlog
