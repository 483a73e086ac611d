// What the debug code reads from module files on disk.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "crashlog/CrashDebug.h"

namespace crashlog {

struct ElfExport {
    std::string Name;
    uint64_t Value = 0;  // file address
    uint64_t Size = 0;
};

struct ElfModuleFile {
    unsigned Type = 0;       // ET_EXEC, ET_DYN ...
    uint64_t CodeStart = 0;  // lowest executable address
    std::vector<ElfExport> Exports;
    Bytes CLData;  // the .cldata section, empty when none
    bool HasAppendedMagic = false;
};

// False when the file cannot be read as ELF.
bool ReadElfModuleFile(const std::string& path, ElfModuleFile& out);
bool ReadWholeFile(const std::string& path, Bytes& out, size_t limit = size_t(1) << 31);
// The first outside source that opens for the module, or nullptr.
std::unique_ptr<TCLDebugInfoSource> OpenOutsideDebugSource(const std::string& fileName,
                                                           uintptr_t base, uintptr_t bias);

}  // namespace crashlog
