// Reads the bytes and load address of an ELF file's .text section, for tests
// and benchmarks that decode real compiled code.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kvo_test {

struct ElfText {
    std::vector<std::uint8_t> Bytes;
    std::uint64_t Address = 0;
};

// Empty Bytes when the file is not a 64-bit little-endian ELF with a .text.
inline ElfText ReadElfText(const std::string& path) {
    ElfText result;
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    Elf64_Ehdr eh;
    if (file.size() < sizeof eh) return result;
    std::memcpy(&eh, file.data(), sizeof eh);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
        return result;
    const auto section = [&](unsigned i, Elf64_Shdr& sh) {
        const std::uint64_t at = eh.e_shoff + std::uint64_t{i} * sizeof sh;
        if (at + sizeof sh > file.size()) return false;
        std::memcpy(&sh, file.data() + at, sizeof sh);
        return true;
    };
    Elf64_Shdr names;
    if (!section(eh.e_shstrndx, names)) return result;
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh;
        if (!section(i, sh)) break;
        const std::uint64_t nameAt = names.sh_offset + sh.sh_name;
        if (nameAt + 6 > file.size() || std::strcmp(file.data() + nameAt, ".text") != 0) continue;
        if (sh.sh_type != SHT_PROGBITS || sh.sh_offset + sh.sh_size > file.size()) break;
        const auto* begin = reinterpret_cast<const std::uint8_t*>(file.data()) + sh.sh_offset;
        result.Bytes.assign(begin, begin + sh.sh_size);
        result.Address = sh.sh_addr;
        break;
    }
    return result;
}

}  // namespace kvo_test
