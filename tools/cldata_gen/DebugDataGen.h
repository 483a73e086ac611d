// The generator's reading side: line tables and functions of a linked file.
#pragma once

#include <string>
#include <vector>

#include "crashlog/CrashDebugData.h"

namespace crashlog {

struct GenFunction {
    uint32_t Offset = 0;  // relative to the module base plus 0x1000
    uint32_t Size = 0;
    std::string Mangled;
    std::string Demangled;
    std::string Stored;  // "Class.Proc" as the debug data keeps it
};

struct GenModule {
    std::vector<GenFunction> Functions;  // sorted by offset
    std::vector<DebugUnit> Units;
};

// Fills `mod` from the file's symbol table and DWARF line tables.  A file
// without DWARF gives no units (not an error); an unreadable file is one.
bool ReadModuleDebugInfo(const std::string& path, GenModule& mod, std::string& err);

// The options stream for the options text file, and its leak flags (which
// the container also keeps in a byte of their own).
bool LoadOptionsForGenerator(const std::string& path, Bytes& stream, uint8_t& leakFlags,
                             std::string& err);

}  // namespace crashlog
