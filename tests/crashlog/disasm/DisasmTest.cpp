#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "crashlog/CrashDisasm.h"

using crashlog::kDisAsmRipRegister;
using crashlog::TDisAsm;
using crashlog::TDisAsmMode;
using crashlog::TDisAsmState;

namespace {

struct Case {
    const char* Label;
    std::vector<std::uint8_t> Bytes;
    const char* Text;
    int Length;
};

void ExpectCases(TDisAsmMode mode, const std::vector<Case>& cases) {
    const TDisAsm d(mode);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        int length = -1;
        EXPECT_EQ(d.Disassemble(c.Bytes.data(), c.Bytes.size(), 0x401000, length), c.Text);
        EXPECT_EQ(length, c.Length);
    }
}

TEST(Disasm32, OperandsSizeWordsAndUndecodableForms) {
    ExpectCases(
        TDisAsmMode::Bits32,
        {
            {"register operand fixes the size", {0x8B, 0x03}, "mov     eax, [ebx]", 2},
            {"sign-extended byte", {0x83, 0xC0, 0xFB}, "add     eax, -$05", 3},
            {"16-bit memory always named", {0x66, 0x8B, 0x03}, "mov     ax, word ptr [ebx]", 3},
            {"byte memory named", {0x8A, 0x00}, "mov     al, byte ptr [eax]", 2},
            {"immediate keeps the size word",
             {0xC7, 0x00, 0x05, 0x00, 0x00, 0x00},
             "mov     dword ptr [eax], $00000005",
             6},
            {"last operand decides", {0x88, 0x08}, "mov     [eax], cl", 2},
            {"lea has no size", {0x8D, 0x44, 0x98, 0x08}, "lea     eax, [eax+ebx*4+$08]", 4},
            {"disp8 of 0x80", {0x8B, 0x43, 0x80}, "mov     eax, [ebx-$80]", 3},
            {"disp32 at least 4 digits",
             {0x8B, 0x83, 0x00, 0x01, 0x00, 0x00},
             "mov     eax, [ebx+$0100]",
             6},
            {"disp32 wider", {0x8B, 0x83, 0x00, 0x00, 0x01, 0x00}, "mov     eax, [ebx+$10000]", 6},
            {"direct address in SIB",
             {0x8B, 0x04, 0x85, 0x00, 0x10, 0x40, 0x00},
             "mov     eax, [$00401000+eax*4]",
             7},
            {"direct address",
             {0xFF, 0x15, 0x00, 0x20, 0x40, 0x00},
             "call    dword ptr [$00402000]",
             6},
            {"segment on a direct offset",
             {0x64, 0xA1, 0x00, 0x00, 0x00, 0x00},
             "mov     eax, dword ptr fs:[$00000000]",
             6},
            {"segment on ModRM memory", {0x26, 0x8B, 0x03}, "mov     eax, es:[ebx]", 3},
            {"16-bit addressing", {0x67, 0x8B, 0x47, 0xFE}, "mov     eax, [bx-$02]", 4},
            {"16-bit direct", {0x67, 0x8B, 0x06, 0x34, 0x12}, "mov     eax, [$1234]", 5},
            {"16-bit base pair", {0x67, 0x8A, 0x00}, "mov     al, byte ptr [bx+si]", 3},
            {"16-bit offset", {0x67, 0xA0, 0x34, 0x12}, "mov     al, byte ptr [$1234]", 4},
            {"segment register", {0x8C, 0xD8}, "mov     ax, ds", 2},
            {"signed push", {0x6A, 0xFF}, "push    -$01", 2},
            {"16-bit push", {0x66, 0x50}, "push    ax", 2},
            {"16-bit immediate", {0x66, 0xB8, 0x34, 0x12}, "mov     ax, $1234", 4},
            {"relative call", {0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, "call    -$00000005", 5},
            {"short jump", {0x74, 0x03}, "jz      +$03", 2},
            {"near jcc", {0x0F, 0x85, 0x10, 0x00, 0x00, 0x00}, "jnz     +$00000010", 6},
            {"shift group", {0xC0, 0xE0, 0x04}, "shl     al, $04", 3},
            {"shift by cl", {0xD3, 0xF8}, "sar     eax, cl", 2},
            {"unary group with immediate", {0xF6, 0xC1, 0x01}, "test    cl, $01", 3},
            {"unary group", {0xF7, 0xD8}, "neg     eax", 2},
            {"long mnemonic gets one blank", {0x0F, 0xC7, 0x08}, "cmpxchg8b qword ptr [eax]", 3},
            {"two-byte page", {0x0F, 0xB6, 0xC0}, "movzx   eax, al", 3},
            {"cmov", {0x0F, 0x44, 0xC2}, "cmovz   eax, edx", 3},
            {"three operands",
             {0x69, 0xC0, 0x10, 0x00, 0x00, 0x00},
             "imul    eax, eax, $00000010",
             6},
            {"enter", {0xC8, 0x10, 0x00, 0x01}, "enter   $0010, $01", 4},
            {"string suffix 32", {0xA5}, "movsd", 1},
            {"string suffix 16", {0x66, 0xA5}, "movsw", 2},
            {"size-named mnemonic", {0x66, 0x98}, "cbw", 2},
            {"rep is its own instruction", {0xF3, 0xA5}, "rep", 1},
            {"lock is its own instruction", {0xF0, 0x01, 0x08}, "lock", 1},
            {"MMX registers", {0x0F, 0x6F, 0xC1}, "movq    MM0, MM1", 3},
            {"MMX shift group", {0x0F, 0x71, 0xD0, 0x04}, "psrlw   MM0, $04", 4},
            {"control register", {0x0F, 0x20, 0xC0}, "mov     eax, C0", 3},
            {"far call", {0x9A, 0x78, 0x56, 0x34, 0x12, 0x08, 0x00}, "call    $12345678", 7},
            {"16-bit far call", {0x66, 0x9A, 0x34, 0x12, 0x08, 0x00}, "call    $1234", 6},
            {"16-bit far pointer in memory", {0x66, 0xC4, 0x03}, "les     ax, [ebx]", 3},
            {"two-byte opcode without template", {0x0F, 0x01, 0xC0}, "DB      $0F, $01  //", 2},
            {"group entry without template", {0xFE, 0x38}, "DB      $FE, $38  //", 2},
            {"register where memory is needed", {0x8D, 0xC0}, "DB      $8D, $C0  //", 2},
            {"segment register 6", {0x8E, 0xF0}, "DB      $8E, $F0  //", 2},
            {"bytes end inside the operand", {0x83, 0xC0}, "DB      $83, $C0  //", 2},
            {"bytes end after a prefix", {0x66}, "DB      $66  //", 1},
        });
}

TEST(Disasm32, FloatingPointEscapes) {
    ExpectCases(TDisAsmMode::Bits32,
                {
                    {"register form", {0xD9, 0xC3}, "fld     st(3)", 2},
                    {"two stack registers", {0xD8, 0xC1}, "fadd    st(0), st(1)", 2},
                    {"popping form", {0xDE, 0xE9}, "fsubp   st(1), st(0)", 2},
                    {"no operands", {0xD9, 0xE8}, "fld1", 2},
                    {"fixed operand", {0xDF, 0xE0}, "fnstsw  ax", 2},
                    {"single", {0xD9, 0x45, 0x08}, "fld     dword ptr [ebp+$08]", 3},
                    {"double", {0xDD, 0x1C, 0x24}, "fstp    qword ptr [esp]", 3},
                    {"extended", {0xDB, 0x28}, "fld     tbyte ptr [eax]", 2},
                    {"control word", {0xD9, 0x7D, 0xFC}, "fnstcw  word ptr [ebp-$04]", 3},
                    {"environment has no size", {0xD9, 0x30}, "fnstenv [eax]", 2},
                    {"empty register slot", {0xD9, 0xD1}, "DB      $D9, $D1  //", 2},
                    {"empty memory slot", {0xD9, 0x08}, "DB      $D9, $08  //", 2},
                });
}

TEST(Disasm64, RexRipRelativeAndSse) {
    ExpectCases(
        TDisAsmMode::Bits64,
        {
            {"64-bit operand", {0x48, 0x8B, 0x03}, "mov     rax, qword ptr [rbx]", 3},
            {"32-bit operand", {0x8B, 0x03}, "mov     eax, [rbx]", 2},
            {"extended registers",
             {0x4C, 0x8B, 0x44, 0x24, 0x08},
             "mov     r8, qword ptr [rsp+$08]",
             5},
            {"extended base and index", {0x43, 0x8B, 0x04, 0xA0}, "mov     eax, [r8+r12*4]", 4},
            {"REX.X with index 4 is r12", {0x42, 0x8B, 0x04, 0x20}, "mov     eax, [rax+r12]", 4},
            {"byte registers with REX", {0x40, 0x88, 0xC6}, "mov     sil, al", 3},
            {"byte registers without REX", {0x88, 0xC6}, "mov     dh, al", 2},
            {"push defaults to 64 bits", {0x55}, "push    rbp", 1},
            {"push extended", {0x41, 0x55}, "push    r13", 2},
            {"indirect call", {0xFF, 0xD0}, "call    rax", 2},
            {"xor extended", {0x45, 0x31, 0xC0}, "xor     r8d, r8d", 3},
            {"sign-extended byte", {0x48, 0x83, 0xEC, 0x18}, "sub     rsp, +$18", 4},
            {"negative disp32",
             {0x48, 0x8B, 0x84, 0x24, 0xF0, 0xFF, 0xFF, 0xFF},
             "mov     rax, qword ptr [rsp-$0010]",
             8},
            {"imm64",
             {0x48, 0xB8, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11},
             "mov     rax, $1122334455667788",
             10},
            {"sign-extended imm32",
             {0x48, 0xC7, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF},
             "mov     rax, $FFFFFFFFFFFFFFFF",
             7},
            {"movsxd", {0x48, 0x63, 0xC7}, "movsxd  rax, edi", 3},
            {"movzx", {0x0F, 0xB6, 0xC0}, "movzx   eax, al", 3},
            {"cdqe", {0x48, 0x98}, "cdqe", 2},
            {"endbr64", {0xF3, 0x0F, 0x1E, 0xFA}, "endbr64", 4},
            {"nop with operand",
             {0x0F, 0x1F, 0x44, 0x00, 0x00},
             "nop     dword ptr [rax+rax+$00]",
             5},
            {"long nop",
             {0x66, 0x2E, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00},
             "nop     word ptr cs:[rax+rax+$0000]",
             10},
            {"pause", {0xF3, 0x90}, "pause", 2},
            {"pxor", {0x66, 0x0F, 0xEF, 0xC0}, "pxor    xmm0, xmm0", 4},
            {"movaps", {0x0F, 0x28, 0xC1}, "movaps  xmm0, xmm1", 3},
            {"movdqu extended",
             {0xF3, 0x44, 0x0F, 0x6F, 0x07},
             "movdqu  xmm8, xmmword ptr [rdi]",
             5},
            {"cvtsi2sd 64", {0xF2, 0x48, 0x0F, 0x2A, 0xC0}, "cvtsi2sd xmm0, rax", 5},
            {"movq to xmm", {0x66, 0x48, 0x0F, 0x6E, 0xC0}, "movq    xmm0, rax", 5},
            {"ucomisd", {0x66, 0x0F, 0x2E, 0xC1}, "ucomisd xmm0, xmm1", 4},
            {"rep stos", {0xF3, 0x48, 0xAB}, "rep stosq", 3},
            {"lock", {0xF0, 0x0F, 0xB1, 0x0A}, "lock cmpxchg [rdx], ecx", 4},
            {"prefix joins the mnemonic column",
             {0xF0, 0x83, 0x00, 0x01},
             "lock add dword ptr [rax], +$01",
             4},
            {"popcnt", {0xF3, 0x0F, 0xB8, 0xC1}, "popcnt  eax, ecx", 4},
            {"fence", {0x0F, 0xAE, 0xF0}, "mfence", 3},
            {"near call", {0xE8, 0x00, 0x00, 0x00, 0x00}, "call    +$00000000", 5},
            {"invalid in 64-bit mode", {0x06}, "DB      $06  //", 1},
            {"vector prefix: length only", {0xC5, 0xF8, 0x77}, "DB      $C5, $F8, $77  //", 3},
            {"three-byte vector prefix with immediate",
             {0xC4, 0xE3, 0x79, 0x0F, 0xC1, 0x08},
             "DB      $C4, $E3, $79, $0F, $C1, $08  //",
             6},
            {"four-byte vector prefix",
             {0x62, 0xF1, 0x7F, 0xC9, 0x6F, 0x0F},
             "DB      $62, $F1, $7F, $C9, $6F, $0F  //",
             6},
            {"group form without a name keeps its length",
             {0x0F, 0xC7, 0x60, 0x08},
             "DB      $0F, $C7, $60, $08  //",
             4},
            {"group form without a name, operands after the group",
             {0x0F, 0xBA, 0x40, 0x08, 0x01},
             "DB      $0F, $BA, $40, $08, $01  //",
             5},
            {"transaction begin", {0xC7, 0xF8, 0x10, 0x00, 0x00, 0x00}, "xbegin  +$00000010", 6},
            {"0x38 page: length only",
             {0x66, 0x0F, 0x38, 0x00, 0xC1},
             "DB      $66, $0F, $38, $00, $C1  //",
             5},
            {"REX cancelled by a later prefix",
             {0x48, 0x66, 0x8B, 0x03},
             "mov     ax, word ptr [rbx]",
             4},
        });
}

// Encodings whose length once came out wrong and threw the listing out of
// step (lengths as an independent decoder gives them).
TEST(Disasm64, RareEncodingsKeepTheirLength) {
    ExpectCases(
        TDisAsmMode::Bits64,
        {
            {"VMCS pointer load is a memory form",
             {0x0F, 0xC7, 0x34, 0x24},
             "vmptrld qword ptr [rsp]",
             4},
            {"VMCS pointer store", {0x0F, 0xC7, 0x38}, "vmptrst qword ptr [rax]", 3},
            {"0x66 makes the load vmclear", {0x66, 0x0F, 0xC7, 0x30}, "vmclear qword ptr [rax]", 4},
            {"0xF3 makes the load vmxon", {0xF3, 0x0F, 0xC7, 0x30}, "vmxon   qword ptr [rax]", 4},
            {"register form stays rdrand", {0x0F, 0xC7, 0xF0}, "rdrand  eax", 3},
            {"register form stays rdseed", {0x0F, 0xC7, 0xF8}, "rdseed  eax", 3},
            {"xbegin with a 16-bit target", {0x66, 0xC7, 0xF8, 0x10, 0x00}, "xbegin  +$0010", 5},
            {"XOP map 8 with immediate",
             {0x8F, 0xE8, 0x78, 0xC2, 0xEC, 0x0E},
             "DB      $8F, $E8, $78, $C2, $EC, $0E  //",
             6},
            {"XOP map 9", {0x8F, 0xE9, 0x78, 0x81, 0xC1}, "DB      $8F, $E9, $78, $81, $C1  //", 5},
            {"XOP map 10 with a 32-bit immediate",
             {0x8F, 0xEA, 0x78, 0x10, 0xC0, 0x01, 0x02, 0x00, 0x00},
             "DB      $8F, $EA, $78, $10, $C0, $01, $02, $00, $00  //",
             9},
            {"pop is still pop", {0x8F, 0xC0}, "pop     rax", 2},
            {"pop to memory", {0x8F, 0x00}, "pop     qword ptr [rax]", 2},
            {"0xF3 makes rdseed rdpid, always 64 bits", {0xF3, 0x0F, 0xC7, 0xF9}, "rdpid   rcx", 4},
            {"REX.W makes cmpxchg8b cmpxchg16b",
             {0x48, 0x0F, 0xC7, 0x0E},
             "cmpxchg16b xmmword ptr [rsi]",
             4},
            {"3DNow! operation byte after a displacement",
             {0x0F, 0x0F, 0x44, 0x24, 0x08, 0xBF},
             "DB      $0F, $0F, $44, $24, $08, $BF  //",
             6},
        });
}

// The same encodings in 32-bit code, where an F3 that is part of the
// instruction must not be listed on a line of its own.
TEST(Disasm32, RareEncodingsKeepTheirLength) {
    ExpectCases(
        TDisAsmMode::Bits32,
        {
            {"endbr32", {0xF3, 0x0F, 0x1E, 0xFB}, "endbr32", 4},
            {"endbr64 bytes", {0xF3, 0x0F, 0x1E, 0xFA}, "endbr64", 4},
            {"other F3 stays a prefix line", {0xF3, 0xA5}, "rep", 1},
            {"F3 0F 1E cut short", {0xF3, 0x0F, 0x1E}, "rep", 1},
            {"XOP",
             {0x8F, 0xE8, 0x78, 0xC2, 0xEC, 0x0E},
             "DB      $8F, $E8, $78, $C2, $EC, $0E  //",
             6},
            {"XOP map 10 with a 32-bit immediate",
             {0x8F, 0xEA, 0x78, 0x10, 0xC0, 0x01, 0x02, 0x00, 0x00},
             "DB      $8F, $EA, $78, $10, $C0, $01, $02, $00, $00  //",
             9},
            {"xbegin with a 16-bit target", {0x66, 0xC7, 0xF8, 0x10, 0x00}, "xbegin  +$0010", 5},
            {"VMCS pointer load", {0x0F, 0xC7, 0x34, 0x24}, "vmptrld qword ptr [esp]", 4},
            {"VMCS pointer store at a direct address",
             {0x0F, 0xC7, 0x3D, 0x00, 0x10, 0x40, 0x00},
             "vmptrst qword ptr [$00401000]",
             7},
            {"VMCS pointer load, 16-bit addressing",
             {0x67, 0x0F, 0xC7, 0x76, 0x08},
             "vmptrld qword ptr [bp+$08]",
             5},
            {"0x66 makes the load vmclear", {0x66, 0x0F, 0xC7, 0x30}, "vmclear qword ptr [eax]", 4},
            {"0xF3 makes the load vmxon", {0xF3, 0x0F, 0xC7, 0x30}, "vmxon   qword ptr [eax]", 4},
            {"0xF3 after 0x66 still makes vmxon",
             {0x66, 0xF3, 0x0F, 0xC7, 0x34, 0x24},
             "vmxon   qword ptr [esp]",
             6},
            {"register form stays rdrand", {0x0F, 0xC7, 0xF0}, "rdrand  eax", 3},
            {"16-bit rdseed", {0x66, 0x0F, 0xC7, 0xF9}, "rdseed  cx", 4},
            {"0xF3 makes rdseed rdpid", {0xF3, 0x0F, 0xC7, 0xF9}, "rdpid   ecx", 4},
            {"0xF3 on rdrand stays a prefix line", {0xF3, 0x0F, 0xC7, 0xF0}, "rep", 1},
            {"F3 0F C7 cut short", {0xF3, 0x0F, 0xC7}, "rep", 1},
            {"state save: no name, but its length",
             {0x0F, 0xC7, 0x64, 0x24, 0x08},
             "DB      $0F, $C7, $64, $24, $08  //",
             5},
            {"3DNow! operation byte after a displacement",
             {0x0F, 0x0F, 0x44, 0x24, 0x08, 0xBF},
             "DB      $0F, $0F, $44, $24, $08, $BF  //",
             6},
            {"3DNow! on registers", {0x0F, 0x0F, 0xC1, 0xB4}, "DB      $0F, $0F, $C1, $B4  //", 4},
        });
}

TEST(Disasm64, RipRelativeOperandsShowTheTarget) {
    const TDisAsm d(TDisAsmMode::Bits64);
    struct RipCase {
        const char* Label;
        std::vector<std::uint8_t> Bytes;
        const char* Text;
    };
    // The target counts from the end of the instruction, immediates included.
    const RipCase cases[] = {
        {"lea", {0x48, 0x8D, 0x05, 0x10, 0x00, 0x00, 0x00}, "lea     rax, [$0000000000401017]"},
        {"immediate after the operand",
         {0x80, 0x3D, 0x10, 0x00, 0x00, 0x00, 0x05},
         "cmp     byte ptr [$0000000000401017], $05"},
        {"negative",
         {0xF2, 0x0F, 0x10, 0x05, 0xF8, 0xFF, 0xFF, 0xFF},
         "movsd   xmm0, qword ptr [$0000000000401000]"},
    };
    for (const RipCase& c : cases) {
        SCOPED_TRACE(c.Label);
        int length = 0;
        EXPECT_EQ(d.Disassemble(c.Bytes.data(), c.Bytes.size(), 0x401000, length), c.Text);
        EXPECT_EQ(length, static_cast<int>(c.Bytes.size()));
    }
}

// --- call-backs -----------------------------------------------------------

struct Seen {
    std::vector<std::string> Events;
    TDisAsmState LastState;
};

void OnJump(void* user, std::uint64_t at, std::uint64_t target, std::string& text) {
    static_cast<Seen*>(user)->Events.push_back("jump " + std::to_string(at) + " " +
                                               std::to_string(target) + " " + text);
    text = "Unit.Loop";
}
void OnCall(void* user, std::uint64_t at, std::uint64_t target, std::string& text) {
    static_cast<Seen*>(user)->Events.push_back("call " + std::to_string(at) + " " +
                                               std::to_string(target) + " " + text);
    text = "Unit.Proc";
}
void OnAddress(void* user, std::uint64_t at, std::uint64_t target, std::string& text) {
    static_cast<Seen*>(user)->Events.push_back("address " + std::to_string(at) + " " +
                                               std::to_string(target) + " " + text);
    if (target == 0x402000) text = "Unit.Table";
}
void OnMemory(void* user, const TDisAsmState& state, int size, std::string& text) {
    auto* seen = static_cast<Seen*>(user);
    seen->LastState = state;
    seen->Events.push_back("memory " + std::to_string(size) + " " + text);
}
void OnImmediate(void* user, std::uint64_t at, int size, std::string& text, bool isSigned) {
    static_cast<Seen*>(user)->Events.push_back("immediate " + std::to_string(at) + " " +
                                               std::to_string(size) + " " + text +
                                               (isSigned ? " signed" : " unsigned"));
    text += "  ; 'hello'";
}

TDisAsm WithCallBacks(TDisAsmMode mode, Seen& seen) {
    TDisAsm d(mode);
    d.SetOnJumpSymbol(OnJump, &seen);
    d.SetOnCallSymbol(OnCall, &seen);
    d.SetOnAddressSymbol(OnAddress, &seen);
    d.SetOnMemoryOperand(OnMemory, &seen);
    d.SetOnImmediateComment(OnImmediate, &seen);
    return d;
}

std::string Decode(const TDisAsm& d, std::vector<std::uint8_t> bytes, std::uint64_t at = 0x1000) {
    int length = 0;
    return d.Disassemble(bytes.data(), bytes.size(), at, length);
}

TEST(DisasmCallBacks, SymbolsReplaceTargetsAndAddresses) {
    Seen seen;
    const TDisAsm d = WithCallBacks(TDisAsmMode::Bits32, seen);
    EXPECT_EQ(Decode(d, {0xE8, 0xFB, 0x0F, 0x00, 0x00}), "call    Unit.Proc");
    EXPECT_EQ(Decode(d, {0xEB, 0xFE}), "jmp     Unit.Loop");
    EXPECT_EQ(Decode(d, {0xFF, 0x25, 0x00, 0x20, 0x40, 0x00}), "jmp     dword ptr [Unit.Table]");
    EXPECT_EQ(Decode(d, {0x8B, 0x80, 0x00, 0x20, 0x40, 0x00}), "mov     eax, [eax+Unit.Table]");
    const std::vector<std::string> expected = {
        "call 4096 8192 +$00000FFB",      "jump 4096 4096 -$02",
        "address 4096 4202496 $00402000", "memory 4 [Unit.Table]",
        "address 4096 4202496 $402000",   "memory 4 [eax+Unit.Table]",
    };
    EXPECT_EQ(seen.Events, expected);
}

TEST(DisasmCallBacks, ImmediatesAndMemoryOperands) {
    Seen seen;
    const TDisAsm d = WithCallBacks(TDisAsmMode::Bits32, seen);
    EXPECT_EQ(Decode(d, {0x68, 0x00, 0x30, 0x40, 0x00}), "push    $00403000  ; 'hello'");
    EXPECT_EQ(Decode(d, {0x83, 0xC0, 0xFB}), "add     eax, -$05  ; 'hello'");
    EXPECT_EQ(Decode(d, {0x8B, 0x44, 0x9E, 0x04}), "mov     eax, [esi+ebx*4+$04]");
    EXPECT_EQ(seen.LastState.BaseRegister, 6);
    EXPECT_EQ(seen.LastState.IndexRegister, 3);
    const std::vector<std::string> expected = {
        "immediate 4097 4 $00403000 unsigned",
        "immediate 4098 1 -$05 signed",
        "memory 4 [esi+ebx*4+$04]",
    };
    EXPECT_EQ(seen.Events, expected);
}

TEST(DisasmCallBacks, RipTargetGoesToTheAddressCallBackOnce) {
    Seen seen;
    const TDisAsm d = WithCallBacks(TDisAsmMode::Bits64, seen);
    // cmp byte ptr [rip+$0FF9], 5 at 0x1000: 7 bytes, target 0x2000.
    EXPECT_EQ(Decode(d, {0x80, 0x3D, 0xF9, 0x0F, 0x00, 0x00, 0x05}),
              "cmp     byte ptr [$0000000000002000], $05  ; 'hello'");
    const std::vector<std::string> expected = {
        "address 4096 8192 $0000000000002000",
        "memory 1 [$0000000000002000]",
        "immediate 4102 1 $05 unsigned",
    };
    EXPECT_EQ(seen.Events, expected);
    EXPECT_EQ(seen.LastState.BaseRegister, kDisAsmRipRegister);
}

void TemplateLikeName(void*, std::uint64_t, std::uint64_t, std::string& text) {
    text = "#Ev_@ga";
}

// Names from the symbol tables may hold any characters; they are never read
// as templates.
TEST(DisasmCallBacks, ReplacedTextIsNotScannedAgain) {
    TDisAsm d(TDisAsmMode::Bits32);
    d.SetOnCallSymbol(TemplateLikeName, nullptr);
    int length = 0;
    const std::uint8_t call[] = {0xE8, 0x00, 0x00, 0x00, 0x00, 0x8B};
    EXPECT_EQ(d.Disassemble(call, sizeof call, 0x1000, length), "call    #Ev_@ga");
    EXPECT_EQ(length, 5);
}

void EmptyText(void*, std::uint64_t, std::uint64_t, std::string& text) {
    text.clear();
}
void EmptyMemoryText(void*, const TDisAsmState&, int, std::string& text) {
    text.clear();
}
void Throwing(void*, std::uint64_t, std::uint64_t, std::string&) {
    throw std::runtime_error("call-back failed");
}

// A call-back may leave nothing of an operand, and may even throw: the
// decoder still answers with a line and the instruction's length.
TEST(DisasmCallBacks, EmptiedOrFailingOperandsNeverEscape) {
    TDisAsm d(TDisAsmMode::Bits64);
    d.SetOnJumpSymbol(EmptyText, nullptr);
    d.SetOnMemoryOperand(EmptyMemoryText, nullptr);
    int length = 0;
    const std::uint8_t jump[] = {0xF2, 0xE9, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(d.Disassemble(jump, sizeof jump, 0x1000, length), "repne jmp");
    EXPECT_EQ(length, 6);
    const std::uint8_t stos[] = {0xF3, 0x48, 0xAB};
    EXPECT_EQ(d.Disassemble(stos, sizeof stos, 0x1000, length), "rep stosq");
    const std::uint8_t cmpxchg[] = {0xF0, 0x0F, 0xB1, 0x0A};
    EXPECT_EQ(d.Disassemble(cmpxchg, sizeof cmpxchg, 0x1000, length), "lock cmpxchg , ecx");
    EXPECT_EQ(length, 4);

    d.SetOnJumpSymbol(Throwing, nullptr);
    std::string text;
    EXPECT_NO_THROW(text = d.Disassemble(jump, sizeof jump, 0x1000, length));
    EXPECT_EQ(text, "repne jmp +$00000100");
    EXPECT_EQ(length, 6);
}

TEST(DisasmCallBacks, UndecodableFormsCallNothing) {
    Seen seen;
    const TDisAsm d = WithCallBacks(TDisAsmMode::Bits64, seen);
    EXPECT_EQ(Decode(d, {0x66, 0x0F, 0x3A, 0x0F, 0x05, 0x10, 0x00, 0x00, 0x00, 0x08}),
              "DB      $66, $0F, $3A, $0F, $05, $10, $00, $00, $00, $08  //");
    EXPECT_TRUE(seen.Events.empty());
}

// --- robustness -----------------------------------------------------------

// Every two-byte start, in a buffer that ends right there or a little later:
// the decoder stays inside the bytes and always moves on.
TEST(DisasmBounds, LengthStaysWithinTheBytes) {
    for (TDisAsmMode mode : {TDisAsmMode::Bits32, TDisAsmMode::Bits64}) {
        const TDisAsm d(mode);
        for (int first = 0; first < 256; ++first) {
            for (int second = 0; second < 256; ++second) {
                for (std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{6}}) {
                    std::vector<std::uint8_t> bytes(size, 0x24);
                    bytes[0] = static_cast<std::uint8_t>(first);
                    if (size > 1) bytes[1] = static_cast<std::uint8_t>(second);
                    int length = 0;
                    const std::string text = d.Disassemble(bytes.data(), size, 0, length);
                    ASSERT_GE(length, 1) << first << " " << second;
                    ASSERT_LE(length, static_cast<int>(size)) << first << " " << second;
                    ASSERT_FALSE(text.empty());
                }
            }
        }
    }
}

TEST(DisasmBounds, PrefixRunsStopAtFifteenBytes) {
    const std::vector<std::uint8_t> prefixes(40, 0x66);
    for (TDisAsmMode mode : {TDisAsmMode::Bits32, TDisAsmMode::Bits64}) {
        int length = 0;
        const std::string text =
            TDisAsm(mode).Disassemble(prefixes.data(), prefixes.size(), 0, length);
        EXPECT_EQ(length, TDisAsm::kMaxInstructionLength);
        EXPECT_EQ(text.rfind("DB      $66, $66", 0), 0u);
    }
}

TEST(DisasmBounds, EmptyInputConsumesNothing) {
    int length = -1;
    EXPECT_EQ(TDisAsm().Disassemble(nullptr, 0, 0, length), "");
    EXPECT_EQ(length, 0);
}

TEST(DisasmLive, DecodesTheProcessOwnMemory) {
    static const std::uint8_t code[] = {0x8B, 0x03, 0xC3};
    int length = 0;
    EXPECT_EQ(TDisAsm().Disassemble(reinterpret_cast<std::uint64_t>(code), length),
              "mov     eax, [ebx]");
    EXPECT_EQ(length, 2);
}

}  // namespace
