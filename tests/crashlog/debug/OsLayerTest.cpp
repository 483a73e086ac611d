// The library's OS layer: one module walk that every caller agrees on, and
// system-call failures that reach the caller as failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "crashlog/CrashDebug.h"
#include "crashlog/CrashOptions.h"
#include "os/CrashOs.h"

using namespace crashlog;

namespace {

int LocalFunction() {
    return 42;
}

}  // namespace

TEST(OsModules, OneWalkServesHandlesAndAddresses) {
    const auto modules = os::LoadedModules();
    ASSERT_FALSE(modules.empty());
    EXPECT_TRUE(modules.front().Main);
    EXPECT_EQ(modules.front().Name, os::MainProgramPath());
    EXPECT_EQ(os::PageSize(), size_t(sysconf(_SC_PAGESIZE)));
    for (const auto& m : modules) {
        EXPECT_EQ(m.Handle % os::PageSize(), 0u) << m.Name;
        EXPECT_GT(m.Extent, 0u) << m.Name;
    }

    // The name lookup of the options and the address lookup of the resolver
    // land on the same module.
    const auto self = reinterpret_cast<uintptr_t>(&LocalFunction);
    TCrashModulesList list;
    TCrashModuleInfo* byAddress = list.FindByAddress(self);
    ASSERT_NE(byAddress, nullptr);
    EXPECT_EQ(byAddress->Handle, modules.front().Handle);
    const std::string exe = std::filesystem::path(os::MainProgramPath()).filename();
    EXPECT_EQ(ModuleHandleByName(exe), byAddress->Handle);
    EXPECT_EQ(ModuleHandleByName(os::MainProgramPath()), byAddress->Handle);

    TCrashModuleInfo* lib = list.FindByAddress(CrashLibraryModuleHandle() + 0x10);
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(lib->Handle, CrashLibraryModuleHandle());
    EXPECT_EQ(ModuleHandleByName("libcrashlog.so"), CrashLibraryModuleHandle());
    EXPECT_EQ(ModuleHandleByName("no-such-module.so"), 0u);
}

TEST(OsSysCalls, MemoryReadFailuresAreReported) {
    const int value = 0x5A5A;
    int copy = 0;
    {
        os::ScopedSysOverride sys;
        // A refused read through the kernel is an unreadable address.
        sys.table().process_vm_readv = [](pid_t, const iovec*, unsigned long, const iovec*,
                                          unsigned long, unsigned long) -> ssize_t {
            errno = EFAULT;
            return -1;
        };
        EXPECT_FALSE(ReadMemory(reinterpret_cast<uintptr_t>(&value), &copy, sizeof copy));
        EXPECT_FALSE(IsReadableMemory(reinterpret_cast<uintptr_t>(&value), sizeof value));

        // Without the call, the memory file serves the read.
        sys.table().process_vm_readv = [](pid_t, const iovec*, unsigned long, const iovec*,
                                          unsigned long, unsigned long) -> ssize_t {
            errno = ENOSYS;
            return -1;
        };
        EXPECT_TRUE(ReadMemory(reinterpret_cast<uintptr_t>(&value), &copy, sizeof copy));
        EXPECT_EQ(copy, value);
        EXPECT_FALSE(ReadMemory(0x10, &copy, sizeof copy));
    }
    copy = 0;
    EXPECT_TRUE(ReadMemory(reinterpret_cast<uintptr_t>(&value), &copy, sizeof copy));
    EXPECT_EQ(copy, value);
}

TEST(OsSysCalls, OptionsFileAndSharedBlockFailuresAreReported) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("crashlog-os-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "options.bin").string();
    TCrashModuleOptions options;
    const ModuleHandle handle = 0x7000 + getpid();
    {
        os::ScopedSysOverride sys;
        sys.table().write = [](int, const void*, size_t) -> ssize_t {
            errno = ENOSPC;
            return -1;
        };
        try {
            options.SaveToFile(file);
            ADD_FAILURE() << "a full disk was reported as saved";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().value(), ENOSPC);
        }
        sys.table().shm_open = [](const char*, int, mode_t) -> int {
            errno = EACCES;
            return -1;
        };
        const uint8_t content[] = {1, 2, 3};
        EXPECT_FALSE(WriteSharedOptionsBlock(handle, content));
        ByteBuffer back;
        EXPECT_FALSE(ReadSharedOptionsBlock(handle, back));
    }
    options.SaveToFile(file);
    TCrashModuleOptions loaded;
    EXPECT_NO_THROW(loaded.LoadFromFile(file));
    std::filesystem::remove_all(dir);
}
