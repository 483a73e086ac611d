// The decoder's template tables: one set per mode, built once and then only
// read.  The template language is described in DisasmTables.cpp.
#pragma once

#include <array>
#include <cstdint>

namespace crashlog::disasm {

// Group tables are named by a letter or a digit; GroupIndex maps the name to
// a row of TemplateSet::Group.
inline constexpr int kGroupCount = 36;
constexpr int GroupIndex(char name) {
    if (name >= 'a' && name <= 'z') return name - 'a';
    if (name >= '0' && name <= '9') return 26 + (name - '0');
    return -1;
}

// Indexes of the mandatory-prefix maps of the 0x0F page (64-bit mode).
enum MandatoryPrefix { kPrefix66 = 0, kPrefixF3 = 1, kPrefixF2 = 2, kMandatoryPrefixCount = 3 };

// An empty template (nullptr) marks an opcode the decoder cannot decode.
struct TemplateSet {
    std::array<const char*, 256> OneByte{};
    std::array<const char*, 256> TwoByte{};
    std::array<std::array<const char*, 8>, kGroupCount> Group{};
    // Forms that replace a group's template when ModRM names memory.
    std::array<std::array<const char*, 8>, kGroupCount> GroupMemory{};
    std::array<std::array<const char*, 8>, 8> FpuMemory{};     // by escape, reg field
    std::array<std::array<const char*, 64>, 8> FpuRegister{};  // by escape, ModRM - 0xC0
    std::array<std::array<const char*, 256>, kMandatoryPrefixCount> Mandatory{};
    const char* ThreeByte38 = nullptr;  // every opcode of the 0x0F 0x38 page
    const char* ThreeByte3A = nullptr;  // every opcode of the 0x0F 0x3A page
};

const TemplateSet& Templates32();
const TemplateSet& Templates64();

// "@x" + digit: a template chosen by the exact ModRM byte, or nullptr when the
// rest of the template applies.
const char* ExactModRM(char table, std::uint8_t modrm);

// The layout of a group's forms that have no template (64-bit mode): "?"
// when the operands follow the group's name in the opcode's template,
// otherwise the operands every form of the group has.
const char* UnnamedGroupForm(char group, bool operandsFollow);

// "@n" + digit: a mnemonic chosen by operand size (2, 4 or 8 bytes).
const char* SizedMnemonic(char table, int operandSize);

}  // namespace crashlog::disasm
