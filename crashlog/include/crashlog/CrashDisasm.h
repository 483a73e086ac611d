// Table-driven x86 disassembler behind the bug report's assembler listing.
//
// TDisAsm decodes one instruction at a time into its length and one line of
// text in the library's own spelling ("mov     eax, [ebx]", "add     eax, -$05",
// "DB      $0F, $01  //" for what it cannot decode).  Two modes exist: the
// 32-bit decoder with the Pentium/MMX opcode maps, and a 64-bit mode (REX
// prefixes, 64-bit registers, RIP-relative operands, SSE/SSE2) for the live
// process.
//
// Decoding allocates nothing but text (the result and the operand texts
// handed to call-backs), never reads a byte outside the span it is given, and
// always consumes at least one byte when the span is not empty.  The tables
// are built by the first constructor and then only read.  A TDisAsm holds only its call-backs, so
// one object may decode on several threads at once when its call-backs allow that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace crashlog {

enum class TDisAsmMode : std::uint8_t { Bits32, Bits64 };

// What the decoder knows about the instruction so far; handed to the
// memory-operand call-back.  Register numbers are 0-15 (eax/rax = 0 ... r15 =
// 15), kDisAsmRipRegister for a RIP-relative operand, -1 for none.
inline constexpr int kDisAsmRipRegister = 16;

struct TDisAsmState {
    TDisAsmMode Mode = TDisAsmMode::Bits32;
    int OperandSize = 4;   // 2, 4 or 8 bytes
    int AddressSize = 4;   // 2, 4 or 8 bytes
    char Segment[3] = {};  // "" or the override prefix's segment ("fs")
    int ModRM = -1;        // -1 until the instruction needed it
    int SIB = -1;
    int Length = 0;  // bytes consumed so far
    bool SizeWord = true;
    int BaseRegister = -1;
    int IndexRegister = -1;
    int Rex = 0;  // low nibble of the REX prefix (64-bit mode only)
};

// Symbol call-backs for a jump target, a call target and a 32-bit (or, in
// 64-bit mode, absolute) address met in an operand.  `text` holds the
// operand's text as formatted; assigning to it replaces it.
using TDisAsmSymbolEvent = void (*)(void* userData, std::uint64_t instructionAddress,
                                    std::uint64_t target, std::string& text);
// Called for every memory operand with its text (without the size word).
using TDisAsmMemoryEvent = void (*)(void* userData, const TDisAsmState& state, int operandSize,
                                    std::string& text);
// Called for every immediate; `immediateAddress` is where its bytes are.
// Appending to `text` adds a comment after the operand.
using TDisAsmImmediateEvent = void (*)(void* userData, std::uint64_t immediateAddress, int size,
                                       std::string& text, bool isSigned);

class TDisAsm {
  public:
    // No x86 instruction is longer; the decoder never looks further.
    static constexpr int kMaxInstructionLength = 15;

    explicit TDisAsm(TDisAsmMode mode = TDisAsmMode::Bits32);

    TDisAsmMode Mode() const { return Mode_; }

    void SetOnJumpSymbol(TDisAsmSymbolEvent event, void* userData);
    void SetOnCallSymbol(TDisAsmSymbolEvent event, void* userData);
    void SetOnAddressSymbol(TDisAsmSymbolEvent event, void* userData);
    void SetOnMemoryOperand(TDisAsmMemoryEvent event, void* userData);
    void SetOnImmediateComment(TDisAsmImmediateEvent event, void* userData);

    // Decodes the instruction whose bytes start at code[0] and which lives at
    // `address` (used for jump targets and RIP-relative operands).  Reads at
    // most min(size, kMaxInstructionLength) bytes.  `length` receives the
    // number of bytes consumed: at least 1 when there are bytes, 0 only when
    // size is 0 or code is null.  When the bytes end before the instruction
    // does, the text is the "DB" form of the bytes available.  Never throws:
    // when a call-back throws, the line is made again without call-backs.
    std::string Disassemble(const std::uint8_t* code, std::size_t size, std::uint64_t address,
                            int& length) const;

    // Decodes the instruction at `address` in this process.
    // REQUIRES: kMaxInstructionLength bytes at `address` are readable, or the
    // caller knows the instruction ends before unreadable memory; the
    // listing checks readability before it calls.
    std::string Disassemble(std::uint64_t address, int& length) const;

  private:
    friend struct TDisAsmDecoder;

    template <class Fn>
    struct Hook {
        Fn Event = nullptr;
        void* UserData = nullptr;
    };

    TDisAsmMode Mode_;
    Hook<TDisAsmSymbolEvent> OnJump_;
    Hook<TDisAsmSymbolEvent> OnCall_;
    Hook<TDisAsmSymbolEvent> OnAddress_;
    Hook<TDisAsmMemoryEvent> OnMemory_;
    Hook<TDisAsmImmediateEvent> OnImmediate_;
};

}  // namespace crashlog
