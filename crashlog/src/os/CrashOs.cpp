#include "os/CrashOs.h"

#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace crashlog::os {

namespace {

int RealOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int RealLock(int fd, int cmd, struct flock* lock) {
    return ::fcntl(fd, cmd, lock);
}

const SysCalls kReal = {
    ::process_vm_readv, RealOpen, ::close,  ::read,     ::pread, ::write,
    ::ftruncate,        ::fstat,  RealLock, ::shm_open, ::mmap,
};

SysCalls gTable = kReal;

}  // namespace

SysCalls& Sys() {
    return gTable;
}
const SysCalls& RealSysCalls() {
    return kReal;
}

ScopedSysOverride::ScopedSysOverride() : saved_(gTable) {}
ScopedSysOverride::~ScopedSysOverride() {
    gTable = saved_;
}

size_t PageSize() {
    static const size_t page = [] {
        long n = sysconf(_SC_PAGESIZE);
        return n > 0 ? size_t(n) : size_t(4096);
    }();
    return page;
}

std::string MainProgramPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

std::vector<LoadedModule> LoadedModules() {
    struct Walk {
        std::vector<LoadedModule> list;
        uintptr_t pageMask;
    } walk{{}, ~(uintptr_t(PageSize()) - 1)};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* ctx) {
            auto* w = static_cast<Walk*>(ctx);
            uintptr_t lo = UINTPTR_MAX, hi = 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD) continue;
                lo = std::min<uintptr_t>(lo, ph.p_vaddr & w->pageMask);
                hi = std::max<uintptr_t>(hi, ph.p_vaddr + ph.p_memsz);
            }
            if (lo == UINTPTR_MAX) return 0;
            LoadedModule m;
            m.Handle = info->dlpi_addr + lo;
            m.Bias = info->dlpi_addr;
            m.Extent = hi - lo;
            m.Main = w->list.empty();
            m.Name = info->dlpi_name ? info->dlpi_name : "";
            w->list.push_back(std::move(m));
            return 0;
        },
        &walk);
    // The loader lists the main program without a name.
    if (!walk.list.empty() && walk.list.front().Name.empty())
        walk.list.front().Name = MainProgramPath();
    return std::move(walk.list);
}

}  // namespace crashlog::os
