// Template tables of the x86 decoder.
//
// A template is the text of one instruction with placeholders:
//   mnemonic, one blank, operands separated by ", " (the decoder pads the
//   mnemonic to 8 columns at that blank);
//   "#" type size flag   an operand, 4 characters.  Types: A far address,
//       C control, D debug, T test register, E register or memory, G register
//       of the reg field, H signed immediate, I immediate, J relative target,
//       M memory, O direct offset, P/Q MMX register / MMX register or memory,
//       R register of the r/m field, S segment register, V/W/U XMM register
//       of the reg field / XMM register or memory / XMM register of r/m, Z
//       register in the opcode's low bits.  Sizes: b w d q t s x(16) v c a p,
//       blank for none.  Flag: "j"/"c" jump or call for J; "6" the operand
//       defaults to 64 bits in 64-bit mode; "8" an immediate as wide as the
//       operand (only mov r64, imm64); "w" a jump target that 0x66 narrows
//       to 16 bits in 64-bit mode too (xbegin); "_" nothing.
//   "@" control letter argument, 3 characters (2 for "@e" and "@m"):
//       @p<seg> segment prefix, @so/@sa operand/address size prefix,
//       @c2 two-byte page, @c3/@c4 the 0x38/0x3A pages, @ca..@ch the
//       floating-point escapes, @g<letter>/@h<digit> group by reg field,
//       @o<digit> string suffix, @e "e"/"r" by operand size, @m force the
//       size word, @n<digit> mnemonic by operand size, @x<digit> template by
//       exact ModRM, @r REX prefix, @f2/@f3/@fl repeat and lock prefixes,
//       @v2/@v3/@v4 the two- and three-byte vector prefixes and the
//       four-byte extended one (these last ones only in 64-bit mode).
//       0x8F followed by a map number of 8 or more (XOP) is recognised by
//       the decoder itself, before the pop template applies.
//   A group row may have memory forms of its own (GroupMemory): they replace
//   the row's template when the ModRM byte names memory.
//   A template starting with "?" decodes its operands for their length and
//   is then written in the "DB" form: the instruction is known to exist but
//   has no mnemonic here.
#include "disasm/DisasmTables.h"

#include <deque>
#include <string>

namespace crashlog::disasm {
namespace {

struct Entry {
    std::uint16_t Opcode;
    const char* Template;
};

struct GroupRow {
    char Name;
    std::array<const char*, 8> Templates;
};

// --- 32-bit one-byte page ------------------------------------------------

// The eight arithmetic operations share one layout of six forms in each row
// of eight opcodes from 0x00 to 0x3F.
constexpr const char* kAluForms[6] = {"#Eb_, #Gb_", "#Ev_, #Gv_", "#Gb_, #Eb_",
                                      "#Gv_, #Ev_", "al, #Ib_",   "@eax, #Iv_"};
constexpr const char* kAluNames[8] = {"add", "or", "adc", "sbb", "and", "sub", "xor", "cmp"};

constexpr Entry kOneByte32[] = {
    {0x06, "push es"},
    {0x07, "pop es"},
    {0x0E, "push cs"},
    {0x0F, "@c2"},
    {0x16, "push ss"},
    {0x17, "pop ss"},
    {0x1E, "push ds"},
    {0x1F, "pop ds"},
    {0x26, "@pe"},
    {0x27, "daa"},
    {0x2E, "@pc"},
    {0x2F, "das"},
    {0x36, "@ps"},
    {0x37, "aaa"},
    {0x3E, "@pd"},
    {0x3F, "aas"},
    {0x40, "inc @eax"},
    {0x41, "inc @ecx"},
    {0x42, "inc @edx"},
    {0x43, "inc @ebx"},
    {0x44, "inc @esp"},
    {0x45, "inc @ebp"},
    {0x46, "inc @esi"},
    {0x47, "inc @edi"},
    {0x48, "dec @eax"},
    {0x49, "dec @ecx"},
    {0x4A, "dec @edx"},
    {0x4B, "dec @ebx"},
    {0x4C, "dec @esp"},
    {0x4D, "dec @ebp"},
    {0x4E, "dec @esi"},
    {0x4F, "dec @edi"},
    {0x50, "push @eax"},
    {0x51, "push @ecx"},
    {0x52, "push @edx"},
    {0x53, "push @ebx"},
    {0x54, "push @esp"},
    {0x55, "push @ebp"},
    {0x56, "push @esi"},
    {0x57, "push @edi"},
    {0x58, "pop @eax"},
    {0x59, "pop @ecx"},
    {0x5A, "pop @edx"},
    {0x5B, "pop @ebx"},
    {0x5C, "pop @esp"},
    {0x5D, "pop @ebp"},
    {0x5E, "pop @esi"},
    {0x5F, "pop @edi"},
    {0x60, "@n5"},
    {0x61, "@n6"},
    {0x62, "bound #Gv_, #Ma_"},
    {0x63, "arpl #Ew_, #Gw_"},
    {0x64, "@pf"},
    {0x65, "@pg"},
    {0x66, "@so"},
    {0x67, "@sa"},
    {0x68, "push #Iv_"},
    {0x69, "imul #Gv_, #Ev_, #Iv_"},
    {0x6A, "push #Hb_"},
    {0x6B, "imul #Gv_, #Ev_, #Hb_"},
    {0x6C, "insb"},
    {0x6D, "ins@o4"},
    {0x6E, "outsb"},
    {0x6F, "outs@o4"},
    {0x70, "jo #Jbj"},
    {0x71, "jno #Jbj"},
    {0x72, "jb #Jbj"},
    {0x73, "jnb #Jbj"},
    {0x74, "jz #Jbj"},
    {0x75, "jnz #Jbj"},
    {0x76, "jbe #Jbj"},
    {0x77, "jnbe #Jbj"},
    {0x78, "js #Jbj"},
    {0x79, "jns #Jbj"},
    {0x7A, "jp #Jbj"},
    {0x7B, "jnp #Jbj"},
    {0x7C, "jl #Jbj"},
    {0x7D, "jnl #Jbj"},
    {0x7E, "jle #Jbj"},
    {0x7F, "jnle #Jbj"},
    {0x80, "@ga#Eb_, #Ib_"},
    {0x81, "@ga#Ev_, #Iv_"},
    {0x82, "@ga#Eb_, #Ib_"},
    {0x83, "@ga#Ev_, #Hb_"},
    {0x84, "test #Eb_, #Gb_"},
    {0x85, "test #Ev_, #Gv_"},
    {0x86, "xchg #Eb_, #Gb_"},
    {0x87, "xchg #Ev_, #Gv_"},
    {0x88, "mov #Eb_, #Gb_"},
    {0x89, "mov #Ev_, #Gv_"},
    {0x8A, "mov #Gb_, #Eb_"},
    {0x8B, "mov #Gv_, #Ev_"},
    {0x8C, "mov #Ew_, #Sw_"},
    {0x8D, "lea #Gv_, #M _"},
    {0x8E, "mov #Sw_, #Ew_"},
    {0x8F, "@gj"},
    {0x90, "nop"},
    {0x91, "xchg @eax, @ecx"},
    {0x92, "xchg @eax, @edx"},
    {0x93, "xchg @eax, @ebx"},
    {0x94, "xchg @eax, @esp"},
    {0x95, "xchg @eax, @ebp"},
    {0x96, "xchg @eax, @esi"},
    {0x97, "xchg @eax, @edi"},
    {0x98, "@n0"},
    {0x99, "@n1"},
    {0x9A, "call #Ap_"},
    {0x9B, "wait"},
    {0x9C, "@n3"},
    {0x9D, "@n4"},
    {0x9E, "sahf"},
    {0x9F, "lahf"},
    {0xA0, "mov al, #Ob_"},
    {0xA1, "mov @eax, #Ov_"},
    {0xA2, "mov #Ob_, al"},
    {0xA3, "mov #Ov_, @eax"},
    {0xA4, "movsb"},
    {0xA5, "movs@o4"},
    {0xA6, "cmpsb"},
    {0xA7, "cmps@o4"},
    {0xA8, "test al, #Ib_"},
    {0xA9, "test @eax, #Iv_"},
    {0xAA, "stosb"},
    {0xAB, "stos@o4"},
    {0xAC, "lodsb"},
    {0xAD, "lods@o4"},
    {0xAE, "scasb"},
    {0xAF, "scas@o4"},
    {0xB0, "mov al, #Ib_"},
    {0xB1, "mov cl, #Ib_"},
    {0xB2, "mov dl, #Ib_"},
    {0xB3, "mov bl, #Ib_"},
    {0xB4, "mov ah, #Ib_"},
    {0xB5, "mov ch, #Ib_"},
    {0xB6, "mov dh, #Ib_"},
    {0xB7, "mov bh, #Ib_"},
    {0xB8, "mov @eax, #Iv_"},
    {0xB9, "mov @ecx, #Iv_"},
    {0xBA, "mov @edx, #Iv_"},
    {0xBB, "mov @ebx, #Iv_"},
    {0xBC, "mov @esp, #Iv_"},
    {0xBD, "mov @ebp, #Iv_"},
    {0xBE, "mov @esi, #Iv_"},
    {0xBF, "mov @edi, #Iv_"},
    {0xC0, "@gb#Eb_, #Ib_"},
    {0xC1, "@gb#Ev_, #Ib_"},
    {0xC2, "ret #Iw_"},
    {0xC3, "ret"},
    {0xC4, "les #Gv_, #Mp_"},
    {0xC5, "lds #Gv_, #Mp_"},
    {0xC6, "@gi#Eb_, #Ib_"},
    {0xC7, "@gi#Ev_, #Iv_"},
    {0xC8, "enter #Iw_, #Ib_"},
    {0xC6, "@x4@gi#Eb_, #Ib_"},
    {0xC7, "@x5@gi#Ev_, #Iv_"},
    {0xC9, "leave"},
    {0xCA, "retf #Iw_"},
    {0xCB, "retf"},
    {0xCC, "int3"},
    {0xCD, "int #Ib_"},
    {0xCE, "into"},
    {0xCF, "@n2"},
    {0xD0, "@gb#Eb_, 1"},
    {0xD1, "@gb#Ev_, 1"},
    {0xD2, "@gb#Eb_, cl"},
    {0xD3, "@gb#Ev_, cl"},
    {0xD4, "aam #Ib_"},
    {0xD5, "aad #Ib_"},
    {0xD6, "salc"},
    {0xD7, "xlat"},
    {0xD8, "@ca"},
    {0xD9, "@cb"},
    {0xDA, "@cc"},
    {0xDB, "@cd"},
    {0xDC, "@ce"},
    {0xDD, "@cf"},
    {0xDE, "@cg"},
    {0xDF, "@ch"},
    {0xE0, "loopne #Jbj"},
    {0xE1, "loope #Jbj"},
    {0xE2, "loop #Jbj"},
    {0xE3, "jecxz #Jbj"},
    {0xE4, "in al, #Ib_"},
    {0xE5, "in @eax, #Ib_"},
    {0xE6, "out #Ib_, al"},
    {0xE7, "out #Ib_, @eax"},
    {0xE8, "call #Jvc"},
    {0xE9, "jmp #Jvj"},
    {0xEA, "jmp #Ap_"},
    {0xEB, "jmp #Jbj"},
    {0xEC, "in al, dx"},
    {0xED, "in @eax, dx"},
    {0xEE, "out dx, al"},
    {0xEF, "out dx, @eax"},
    {0xF0, "lock"},
    {0xF1, "int1"},
    {0xF2, "repne"},
    {0xF3, "rep"},
    {0xF4, "hlt"},
    {0xF5, "cmc"},
    {0xF6, "@gc"},
    {0xF7, "@gd"},
    {0xF8, "clc"},
    {0xF9, "stc"},
    {0xFA, "cli"},
    {0xFB, "sti"},
    {0xFC, "cld"},
    {0xFD, "std"},
    {0xFE, "@ge"},
    {0xFF, "@gf"},
};

// --- 32-bit two-byte page (after 0x0F) -----------------------------------
// 0x0F 0x01 (descriptor tables) has no template: the listing shows it as
// "DB" with the two bytes read.  The 3DNow! page 0x0F 0x0F has no names here
// either, but its operation sits in an 8-bit suffix after the operands, so
// its layout gives the length.

constexpr const char* kConditions[16] = {"o", "no", "b", "nb", "z", "nz", "be", "nbe",
                                         "s", "ns", "p", "np", "l", "nl", "le", "nle"};

// MMX operations "op MMx, MMx/m64" of the two-byte page; 64-bit mode adds an
// XMM form of each under the 0x66 prefix.
constexpr Entry kMmxArithmetic[] = {
    {0x60, "punpcklbw"}, {0x61, "punpcklwd"}, {0x62, "punpckldq"}, {0x63, "packsswb"},
    {0x64, "pcmpgtb"},   {0x65, "pcmpgtw"},   {0x66, "pcmpgtd"},   {0x67, "packuswb"},
    {0x68, "punpckhbw"}, {0x69, "punpckhwd"}, {0x6A, "punpckhdq"}, {0x6B, "packssdw"},
    {0x74, "pcmpeqb"},   {0x75, "pcmpeqw"},   {0x76, "pcmpeqd"},   {0xD1, "psrlw"},
    {0xD2, "psrld"},     {0xD3, "psrlq"},     {0xD5, "pmullw"},    {0xD8, "psubusb"},
    {0xD9, "psubusw"},   {0xDB, "pand"},      {0xDC, "paddusb"},   {0xDD, "paddusw"},
    {0xDF, "pandn"},     {0xE1, "psraw"},     {0xE2, "psrad"},     {0xE5, "pmulhw"},
    {0xE8, "psubsb"},    {0xE9, "psubsw"},    {0xEB, "por"},       {0xEC, "paddsb"},
    {0xED, "paddsw"},    {0xEF, "pxor"},      {0xF1, "psllw"},     {0xF2, "pslld"},
    {0xF3, "psllq"},     {0xF5, "pmaddwd"},   {0xF8, "psubb"},     {0xF9, "psubw"},
    {0xFA, "psubd"},     {0xFC, "paddb"},     {0xFD, "paddw"},     {0xFE, "paddd"},
};

// Integer SIMD operations that came with SSE/SSE2; 64-bit mode only.
constexpr Entry kSseIntegerArithmetic[] = {
    {0x6C, "punpcklqdq"}, {0x6D, "punpckhqdq"}, {0xD4, "paddq"},   {0xDA, "pminub"},
    {0xDE, "pmaxub"},     {0xE0, "pavgb"},      {0xE3, "pavgw"},   {0xE4, "pmulhuw"},
    {0xEA, "pminsw"},     {0xEE, "pmaxsw"},     {0xF4, "pmuludq"}, {0xF6, "psadbw"},
    {0xFB, "psubq"},
};

constexpr Entry kTwoByte32[] = {
    {0x00, "@gg"},
    {0x02, "lar #Gv_, #Ew_"},
    {0x03, "lsl #Gv_, #Ew_"},
    {0x06, "clts"},
    {0x08, "invd"},
    {0x09, "wbinvd"},
    {0x0B, "ud2"},
    {0x0F, "?#Qq_, #Ib_"},
    {0x1F, "nop #Ev_"},
    {0x20, "mov #Rd_, #Cd_"},
    {0x21, "mov #Rd_, #Dd_"},
    {0x22, "mov #Cd_, #Rd_"},
    {0x23, "mov #Dd_, #Rd_"},
    {0x24, "mov #Rd_, #Td_"},
    {0x26, "mov #Td_, #Rd_"},
    {0x30, "wrmsr"},
    {0x31, "rdtsc"},
    {0x32, "rdmsr"},
    {0x33, "rdpmc"},
    {0x34, "sysenter"},
    {0x35, "sysexit"},
    {0x6E, "movd #Pd_, #Ed_"},
    {0x6F, "movq #Pq_, #Qq_"},
    {0x71, "@h1"},
    {0x72, "@h2"},
    {0x73, "@h3"},
    {0x77, "emms"},
    {0x7E, "movd #Ed_, #Pd_"},
    {0x7F, "movq #Qq_, #Pq_"},
    {0xA0, "push fs"},
    {0xA1, "pop fs"},
    {0xA2, "cpuid"},
    {0xA3, "bt #Ev_, #Gv_"},
    {0xA4, "shld #Ev_, #Gv_, #Ib_"},
    {0xA5, "shld #Ev_, #Gv_, cl"},
    {0xA8, "push gs"},
    {0xA9, "pop gs"},
    {0xAA, "rsm"},
    {0xAB, "bts #Ev_, #Gv_"},
    {0xAC, "shrd #Ev_, #Gv_, #Ib_"},
    {0xAD, "shrd #Ev_, #Gv_, cl"},
    {0xAF, "imul #Gv_, #Ev_"},
    {0xB0, "cmpxchg #Eb_, #Gb_"},
    {0xB1, "cmpxchg #Ev_, #Gv_"},
    {0xB2, "lss #Gv_, #Mp_"},
    {0xB3, "btr #Ev_, #Gv_"},
    {0xB4, "lfs #Gv_, #Mp_"},
    {0xB5, "lgs #Gv_, #Mp_"},
    {0xB6, "movzx #Gv_, #Eb_"},
    {0xB7, "movzx #Gv_, #Ew_"},
    {0xBA, "@gh#Ev_, #Ib_"},
    {0xBB, "btc #Ev_, #Gv_"},
    {0xBC, "bsf #Gv_, #Ev_"},
    {0xBD, "bsr #Gv_, #Ev_"},
    {0xBE, "movsx #Gv_, #Eb_"},
    {0xBF, "movsx #Gv_, #Ew_"},
    {0xC0, "xadd #Eb_, #Gb_"},
    {0xC1, "xadd #Ev_, #Gv_"},
    {0xC7, "@gn"},
    {0xC8, "bswap @eax"},
    {0xC9, "bswap @ecx"},
    {0xCA, "bswap @edx"},
    {0xCB, "bswap @ebx"},
    {0xCC, "bswap @esp"},
    {0xCD, "bswap @ebp"},
    {0xCE, "bswap @esi"},
    {0xCF, "bswap @edi"},
};

// Groups: letters for the general ones, digits for the MMX shifts.  Entries that only name the
// operation continue with the rest of the opcode's template ("@ga#Eb_, #Ib_").
const GroupRow kGroups32[] = {
    {'a', {"add ", "or ", "adc ", "sbb ", "and ", "sub ", "xor ", "cmp "}},
    {'b', {"rol ", "ror ", "rcl ", "rcr ", "shl ", "shr ", "sal ", "sar "}},
    {'c',
     {"test #Eb_, #Ib_", "test #Eb_, #Ib_", "not #Eb_", "neg #Eb_", "mul #Eb_", "imul #Eb_",
      "div #Eb_", "idiv #Eb_"}},
    {'d',
     {"test #Ev_, #Iv_", "test #Ev_, #Iv_", "not #Ev_", "neg #Ev_", "mul #Ev_", "imul #Ev_",
      "div #Ev_", "idiv #Ev_"}},
    {'e', {"inc #Eb_", "dec #Eb_", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
    {'f',
     {"inc #Ev_", "dec #Ev_", "call #Ev_", "call far #Mp_", "jmp #Ev_", "jmp far #Mp_", "push #Ev_",
      nullptr}},
    {'g',
     {"sldt #Ew_", "str #Ew_", "lldt #Ew_", "ltr #Ew_", "verr #Ew_", "verw #Ew_", nullptr,
      nullptr}},
    {'h', {nullptr, nullptr, nullptr, nullptr, "bt ", "bts ", "btr ", "btc "}},
    {'i', {"mov ", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
    {'j', {"pop #Ev_", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
    {'n',
     {nullptr, "cmpxchg8b #Mq_", nullptr, nullptr, nullptr, nullptr, "rdrand #Rv_", "rdseed #Rv_"}},
    {'1',
     {nullptr, nullptr, "psrlw #Qq_, #Ib_", nullptr, "psraw #Qq_, #Ib_", nullptr,
      "psllw #Qq_, #Ib_", nullptr}},
    {'2',
     {nullptr, nullptr, "psrld #Qq_, #Ib_", nullptr, "psrad #Qq_, #Ib_", nullptr,
      "pslld #Qq_, #Ib_", nullptr}},
    {'3',
     {nullptr, nullptr, "psrlq #Qq_, #Ib_", nullptr, nullptr, nullptr, "psllq #Qq_, #Ib_",
      nullptr}},
};

// Memory forms of 0x0F 0xC7 whose register forms are rdrand/rdseed or
// invalid: the processor state saves and restores (no names here, only their
// length) and the VMCS pointer loads and stores (0x66 and 0xF3 turn /6 into
// vmclear and vmxon).
const GroupRow kGroupMemory[] = {
    {'n', {nullptr, nullptr, nullptr, "?#M _", "?#M _", "?#M _", "vmptrld #Mq_", "vmptrst #Mq_"}},
};

// --- Floating-point escapes 0xD8 to 0xDF ---------------------------------

constexpr const char* kFpuMemory[8][8] = {
    {"fadd #Md_", "fmul #Md_", "fcom #Md_", "fcomp #Md_", "fsub #Md_", "fsubr #Md_", "fdiv #Md_",
     "fdivr #Md_"},
    {"fld #Md_", nullptr, "fst #Md_", "fstp #Md_", "fldenv #M _", "fldcw #Mw_", "fnstenv #M _",
     "fnstcw #Mw_"},
    {"fiadd #Md_", "fimul #Md_", "ficom #Md_", "ficomp #Md_", "fisub #Md_", "fisubr #Md_",
     "fidiv #Md_", "fidivr #Md_"},
    {"fild #Md_", "fisttp #Md_", "fist #Md_", "fistp #Md_", nullptr, "fld #Mt_", nullptr,
     "fstp #Mt_"},
    {"fadd #Mq_", "fmul #Mq_", "fcom #Mq_", "fcomp #Mq_", "fsub #Mq_", "fsubr #Mq_", "fdiv #Mq_",
     "fdivr #Mq_"},
    {"fld #Mq_", "fisttp #Mq_", "fst #Mq_", "fstp #Mq_", "frstor #M _", nullptr, "fnsave #M _",
     "fnstsw #Mw_"},
    {"fiadd #Mw_", "fimul #Mw_", "ficom #Mw_", "ficomp #Mw_", "fisub #Mw_", "fisubr #Mw_",
     "fidiv #Mw_", "fidivr #Mw_"},
    {"fild #Mw_", "fisttp #Mw_", "fist #Mw_", "fistp #Mw_", "fbld #Mt_", "fild #Mq_", "fbstp #Mt_",
     "fistp #Mq_"},
};

// Register forms: a row of eight ModRM values (0xC0 + 8*row + i) names one
// operation on st(i), or a single ModRM value names an operation of its own.
enum FpuOperands { kNone, kStI, kSt0StI, kStISt0 };
struct FpuRow {
    std::uint8_t Escape;  // 0..7 for 0xD8..0xDF
    std::uint8_t ModRM;
    bool WholeRow;
    const char* Name;
    FpuOperands Operands;
};

constexpr FpuRow kFpuRegister[] = {
    {0, 0xC0, true, "fadd", kSt0StI},    {0, 0xC8, true, "fmul", kSt0StI},
    {0, 0xD0, true, "fcom", kStI},       {0, 0xD8, true, "fcomp", kStI},
    {0, 0xE0, true, "fsub", kSt0StI},    {0, 0xE8, true, "fsubr", kSt0StI},
    {0, 0xF0, true, "fdiv", kSt0StI},    {0, 0xF8, true, "fdivr", kSt0StI},
    {1, 0xC0, true, "fld", kStI},        {1, 0xC8, true, "fxch", kStI},
    {1, 0xD0, false, "fnop", kNone},     {1, 0xE0, false, "fchs", kNone},
    {1, 0xE1, false, "fabs", kNone},     {1, 0xE4, false, "ftst", kNone},
    {1, 0xE5, false, "fxam", kNone},     {1, 0xE8, false, "fld1", kNone},
    {1, 0xE9, false, "fldl2t", kNone},   {1, 0xEA, false, "fldl2e", kNone},
    {1, 0xEB, false, "fldpi", kNone},    {1, 0xEC, false, "fldlg2", kNone},
    {1, 0xED, false, "fldln2", kNone},   {1, 0xEE, false, "fldz", kNone},
    {1, 0xF0, false, "f2xm1", kNone},    {1, 0xF1, false, "fyl2x", kNone},
    {1, 0xF2, false, "fptan", kNone},    {1, 0xF3, false, "fpatan", kNone},
    {1, 0xF4, false, "fxtract", kNone},  {1, 0xF5, false, "fprem1", kNone},
    {1, 0xF6, false, "fdecstp", kNone},  {1, 0xF7, false, "fincstp", kNone},
    {1, 0xF8, false, "fprem", kNone},    {1, 0xF9, false, "fyl2xp1", kNone},
    {1, 0xFA, false, "fsqrt", kNone},    {1, 0xFB, false, "fsincos", kNone},
    {1, 0xFC, false, "frndint", kNone},  {1, 0xFD, false, "fscale", kNone},
    {1, 0xFE, false, "fsin", kNone},     {1, 0xFF, false, "fcos", kNone},
    {2, 0xC0, true, "fcmovb", kSt0StI},  {2, 0xC8, true, "fcmove", kSt0StI},
    {2, 0xD0, true, "fcmovbe", kSt0StI}, {2, 0xD8, true, "fcmovu", kSt0StI},
    {2, 0xE9, false, "fucompp", kNone},  {3, 0xC0, true, "fcmovnb", kSt0StI},
    {3, 0xC8, true, "fcmovne", kSt0StI}, {3, 0xD0, true, "fcmovnbe", kSt0StI},
    {3, 0xD8, true, "fcmovnu", kSt0StI}, {3, 0xE2, false, "fnclex", kNone},
    {3, 0xE3, false, "fninit", kNone},   {3, 0xE8, true, "fucomi", kSt0StI},
    {3, 0xF0, true, "fcomi", kSt0StI},   {4, 0xC0, true, "fadd", kStISt0},
    {4, 0xC8, true, "fmul", kStISt0},    {4, 0xE0, true, "fsubr", kStISt0},
    {4, 0xE8, true, "fsub", kStISt0},    {4, 0xF0, true, "fdivr", kStISt0},
    {4, 0xF8, true, "fdiv", kStISt0},    {5, 0xC0, true, "ffree", kStI},
    {5, 0xD0, true, "fst", kStI},        {5, 0xD8, true, "fstp", kStI},
    {5, 0xE0, true, "fucom", kStI},      {5, 0xE8, true, "fucomp", kStI},
    {6, 0xC0, true, "faddp", kStISt0},   {6, 0xC8, true, "fmulp", kStISt0},
    {6, 0xD9, false, "fcompp", kNone},   {6, 0xE0, true, "fsubrp", kStISt0},
    {6, 0xE8, true, "fsubp", kStISt0},   {6, 0xF0, true, "fdivrp", kStISt0},
    {6, 0xF8, true, "fdivp", kStISt0},   {7, 0xE0, false, "fnstsw ax", kNone},
    {7, 0xE8, true, "fucomip", kSt0StI}, {7, 0xF0, true, "fcomip", kSt0StI},
};

// --- 64-bit changes to the 32-bit pages ----------------------------------

constexpr std::uint8_t kInvalidIn64[] = {0x06, 0x07, 0x0E, 0x16, 0x17, 0x1E, 0x1F,
                                         0x27, 0x2F, 0x37, 0x3F, 0x60, 0x61, 0x62,
                                         0x82, 0x9A, 0xCE, 0xD4, 0xD5, 0xD6, 0xEA};

constexpr Entry kOneByte64[] = {
    {0x50, "push #Zv6"},
    {0x51, "push #Zv6"},
    {0x52, "push #Zv6"},
    {0x53, "push #Zv6"},
    {0x54, "push #Zv6"},
    {0x55, "push #Zv6"},
    {0x56, "push #Zv6"},
    {0x57, "push #Zv6"},
    {0x58, "pop #Zv6"},
    {0x59, "pop #Zv6"},
    {0x5A, "pop #Zv6"},
    {0x5B, "pop #Zv6"},
    {0x5C, "pop #Zv6"},
    {0x5D, "pop #Zv6"},
    {0x5E, "pop #Zv6"},
    {0x5F, "pop #Zv6"},
    {0x63, "movsxd #Gv_, #Ed_"},
    {0x68, "push #Iv6"},
    {0x6A, "push #Hb6"},
    {0x91, "xchg #Zv_, @eax"},
    {0x92, "xchg #Zv_, @eax"},
    {0x93, "xchg #Zv_, @eax"},
    {0x94, "xchg #Zv_, @eax"},
    {0x95, "xchg #Zv_, @eax"},
    {0x96, "xchg #Zv_, @eax"},
    {0x97, "xchg #Zv_, @eax"},
    {0x9C, "pushfq"},
    {0x9D, "popfq"},
    {0xB0, "mov #Zb_, #Ib_"},
    {0xB1, "mov #Zb_, #Ib_"},
    {0xB2, "mov #Zb_, #Ib_"},
    {0xB3, "mov #Zb_, #Ib_"},
    {0xB4, "mov #Zb_, #Ib_"},
    {0xB5, "mov #Zb_, #Ib_"},
    {0xB6, "mov #Zb_, #Ib_"},
    {0xB7, "mov #Zb_, #Ib_"},
    {0xB8, "mov #Zv_, #Iv8"},
    {0xB9, "mov #Zv_, #Iv8"},
    {0xBA, "mov #Zv_, #Iv8"},
    {0xBB, "mov #Zv_, #Iv8"},
    {0xBC, "mov #Zv_, #Iv8"},
    {0xBD, "mov #Zv_, #Iv8"},
    {0xBE, "mov #Zv_, #Iv8"},
    {0xBF, "mov #Zv_, #Iv8"},
    {0x62, "@v4"},
    {0xC4, "@v3"},
    {0xC5, "@v2"},
    {0xC6, "@x4@gi#Eb_, #Ib_"},
    {0xC7, "@x5@gi#Ev_, #Iv_"},
    {0xC9, "leave"},
    {0xE3, "jrcxz #Jbj"},
    {0xF0, "@fl"},
    {0xF2, "@f2"},
    {0xF3, "@f3"},
};

constexpr Entry kTwoByte64[] = {
    {0x01, "@x2@gk"},
    {0x05, "syscall"},
    {0x07, "sysret"},
    {0x0D, "prefetchw #Mb_"},
    {0x10, "movups #Vx_, #Wx_"},
    {0x11, "movups #Wx_, #Vx_"},
    {0x12, "movlps #Vx_, #Wq_"},
    {0x13, "movlps #Mq_, #Vx_"},
    {0x14, "unpcklps #Vx_, #Wx_"},
    {0x15, "unpckhps #Vx_, #Wx_"},
    {0x16, "movhps #Vx_, #Wq_"},
    {0x17, "movhps #Mq_, #Vx_"},
    {0x18, "@gl"},
    // Control and debug registers move whole 64-bit registers.
    {0x20, "mov #Rq_, #Cq_"},
    {0x21, "mov #Rq_, #Dq_"},
    {0x22, "mov #Cq_, #Rq_"},
    {0x23, "mov #Dq_, #Rq_"},
    {0x19, "nop #Ev_"},
    {0x1A, "nop #Ev_"},
    {0x1B, "nop #Ev_"},
    {0x1C, "nop #Ev_"},
    {0x1D, "nop #Ev_"},
    {0x1E, "nop #Ev_"},
    {0x24, nullptr},
    {0x26, nullptr},
    {0x28, "movaps #Vx_, #Wx_"},
    {0x29, "movaps #Wx_, #Vx_"},
    {0x2A, "cvtpi2ps #Vx_, #Qq_"},
    {0x2B, "movntps #Mx_, #Vx_"},
    {0x2C, "cvttps2pi #Pq_, #Wq_"},
    {0x2D, "cvtps2pi #Pq_, #Wq_"},
    {0x2E, "ucomiss #Vx_, #Wd_"},
    {0x2F, "comiss #Vx_, #Wd_"},
    {0x38, "@c3"},
    {0x3A, "@c4"},
    {0x50, "movmskps #Gd_, #Ux_"},
    {0x51, "sqrtps #Vx_, #Wx_"},
    {0x52, "rsqrtps #Vx_, #Wx_"},
    {0x53, "rcpps #Vx_, #Wx_"},
    {0x54, "andps #Vx_, #Wx_"},
    {0x55, "andnps #Vx_, #Wx_"},
    {0x56, "orps #Vx_, #Wx_"},
    {0x57, "xorps #Vx_, #Wx_"},
    {0x58, "addps #Vx_, #Wx_"},
    {0x59, "mulps #Vx_, #Wx_"},
    {0x5A, "cvtps2pd #Vx_, #Wq_"},
    {0x5B, "cvtdq2ps #Vx_, #Wx_"},
    {0x5C, "subps #Vx_, #Wx_"},
    {0x5D, "minps #Vx_, #Wx_"},
    {0x5E, "divps #Vx_, #Wx_"},
    {0x5F, "maxps #Vx_, #Wx_"},
    {0x6E, "@n7 #Pq_, #Ev_"},
    {0x70, "pshufw #Pq_, #Qq_, #Ib_"},
    {0x7E, "@n7 #Ev_, #Pq_"},
    {0xAE, "@x3@gm"},
    {0xC2, "cmpps #Vx_, #Wx_, #Ib_"},
    {0xC3, "movnti #Mv_, #Gv_"},
    {0xC4, "pinsrw #Pq_, #Ed_, #Ib_"},
    {0xC5, "pextrw #Gd_, #Qq_, #Ib_"},
    {0xC6, "shufps #Vx_, #Wx_, #Ib_"},
    {0xC8, "bswap #Zv_"},
    {0xC9, "bswap #Zv_"},
    {0xCA, "bswap #Zv_"},
    {0xCB, "bswap #Zv_"},
    {0xCC, "bswap #Zv_"},
    {0xCD, "bswap #Zv_"},
    {0xCE, "bswap #Zv_"},
    {0xCF, "bswap #Zv_"},
    {0xD7, "pmovmskb #Gd_, #Qq_"},
    {0xE7, "movntq #Mq_, #Pq_"},
};

const GroupRow kGroups64[] = {
    {'f',
     {"inc #Ev_", "dec #Ev_", "call #Ev6", "call far #Mp_", "jmp #Ev6", "jmp far #Mp_", "push #Ev6",
      nullptr}},
    {'j', {"pop #Ev6", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
    {'k',
     {"sgdt #M _", "sidt #M _", "lgdt #M _", "lidt #M _", "smsw #Ew_", nullptr, "lmsw #Ew_",
      "invlpg #Mb_"}},
    {'l',
     {"prefetchnta #Mb_", "prefetcht0 #Mb_", "prefetcht1 #Mb_", "prefetcht2 #Mb_", "nop #Ev_",
      "nop #Ev_", "nop #Ev_", "nop #Ev_"}},
    {'m',
     {"fxsave #M _", "fxrstor #M _", "ldmxcsr #Md_", "stmxcsr #Md_", "xsave #M _", "xrstor #M _",
      "xsaveopt #M _", "clflush #Mb_"}},
    // XMM forms of the MMX shift groups under 0x66.
    {'5',
     {nullptr, nullptr, "psrlw #Ux_, #Ib_", nullptr, "psraw #Ux_, #Ib_", nullptr,
      "psllw #Ux_, #Ib_", nullptr}},
    {'6',
     {nullptr, nullptr, "psrld #Ux_, #Ib_", nullptr, "psrad #Ux_, #Ib_", nullptr,
      "pslld #Ux_, #Ib_", nullptr}},
    {'7',
     {nullptr, nullptr, "psrlq #Ux_, #Ib_", "psrldq #Ux_, #Ib_", nullptr, nullptr,
      "psllq #Ux_, #Ib_", "pslldq #Ux_, #Ib_"}},
};

struct PrefixedEntry {
    MandatoryPrefix Prefix;
    std::uint8_t Opcode;
    const char* Template;
};

constexpr PrefixedEntry kMandatory64[] = {
    {kPrefix66, 0x10, "movupd #Vx_, #Wx_"},
    {kPrefixF3, 0x10, "movss #Vx_, #Wd_"},
    {kPrefixF2, 0x10, "movsd #Vx_, #Wq_"},
    {kPrefix66, 0x11, "movupd #Wx_, #Vx_"},
    {kPrefixF3, 0x11, "movss #Wd_, #Vx_"},
    {kPrefixF2, 0x11, "movsd #Wq_, #Vx_"},
    {kPrefix66, 0x12, "movlpd #Vx_, #Mq_"},
    {kPrefixF3, 0x12, "movsldup #Vx_, #Wx_"},
    {kPrefixF2, 0x12, "movddup #Vx_, #Wq_"},
    {kPrefix66, 0x13, "movlpd #Mq_, #Vx_"},
    {kPrefix66, 0x14, "unpcklpd #Vx_, #Wx_"},
    {kPrefix66, 0x15, "unpckhpd #Vx_, #Wx_"},
    {kPrefix66, 0x16, "movhpd #Vx_, #Mq_"},
    {kPrefixF3, 0x16, "movshdup #Vx_, #Wx_"},
    {kPrefix66, 0x17, "movhpd #Mq_, #Vx_"},
    {kPrefixF3, 0x1E, "@x1nop #Ev_"},
    {kPrefix66, 0x28, "movapd #Vx_, #Wx_"},
    {kPrefix66, 0x29, "movapd #Wx_, #Vx_"},
    {kPrefix66, 0x2A, "cvtpi2pd #Vx_, #Qq_"},
    {kPrefixF3, 0x2A, "cvtsi2ss #Vx_, #Ev_"},
    {kPrefixF2, 0x2A, "cvtsi2sd #Vx_, #Ev_"},
    {kPrefix66, 0x2B, "movntpd #Mx_, #Vx_"},
    {kPrefix66, 0x2C, "cvttpd2pi #Pq_, #Wx_"},
    {kPrefixF3, 0x2C, "cvttss2si #Gv_, #Wd_"},
    {kPrefixF2, 0x2C, "cvttsd2si #Gv_, #Wq_"},
    {kPrefix66, 0x2D, "cvtpd2pi #Pq_, #Wx_"},
    {kPrefixF3, 0x2D, "cvtss2si #Gv_, #Wd_"},
    {kPrefixF2, 0x2D, "cvtsd2si #Gv_, #Wq_"},
    {kPrefix66, 0x2E, "ucomisd #Vx_, #Wq_"},
    {kPrefix66, 0x2F, "comisd #Vx_, #Wq_"},
    {kPrefix66, 0x50, "movmskpd #Gd_, #Ux_"},
    {kPrefix66, 0x51, "sqrtpd #Vx_, #Wx_"},
    {kPrefixF3, 0x51, "sqrtss #Vx_, #Wd_"},
    {kPrefixF2, 0x51, "sqrtsd #Vx_, #Wq_"},
    {kPrefixF3, 0x52, "rsqrtss #Vx_, #Wd_"},
    {kPrefixF3, 0x53, "rcpss #Vx_, #Wd_"},
    {kPrefix66, 0x54, "andpd #Vx_, #Wx_"},
    {kPrefix66, 0x55, "andnpd #Vx_, #Wx_"},
    {kPrefix66, 0x56, "orpd #Vx_, #Wx_"},
    {kPrefix66, 0x57, "xorpd #Vx_, #Wx_"},
    {kPrefix66, 0x58, "addpd #Vx_, #Wx_"},
    {kPrefixF3, 0x58, "addss #Vx_, #Wd_"},
    {kPrefixF2, 0x58, "addsd #Vx_, #Wq_"},
    {kPrefix66, 0x59, "mulpd #Vx_, #Wx_"},
    {kPrefixF3, 0x59, "mulss #Vx_, #Wd_"},
    {kPrefixF2, 0x59, "mulsd #Vx_, #Wq_"},
    {kPrefix66, 0x5A, "cvtpd2ps #Vx_, #Wx_"},
    {kPrefixF3, 0x5A, "cvtss2sd #Vx_, #Wd_"},
    {kPrefixF2, 0x5A, "cvtsd2ss #Vx_, #Wq_"},
    {kPrefix66, 0x5B, "cvtps2dq #Vx_, #Wx_"},
    {kPrefixF3, 0x5B, "cvttps2dq #Vx_, #Wx_"},
    {kPrefix66, 0x5C, "subpd #Vx_, #Wx_"},
    {kPrefixF3, 0x5C, "subss #Vx_, #Wd_"},
    {kPrefixF2, 0x5C, "subsd #Vx_, #Wq_"},
    {kPrefix66, 0x5D, "minpd #Vx_, #Wx_"},
    {kPrefixF3, 0x5D, "minss #Vx_, #Wd_"},
    {kPrefixF2, 0x5D, "minsd #Vx_, #Wq_"},
    {kPrefix66, 0x5E, "divpd #Vx_, #Wx_"},
    {kPrefixF3, 0x5E, "divss #Vx_, #Wd_"},
    {kPrefixF2, 0x5E, "divsd #Vx_, #Wq_"},
    {kPrefix66, 0x5F, "maxpd #Vx_, #Wx_"},
    {kPrefixF3, 0x5F, "maxss #Vx_, #Wd_"},
    {kPrefixF2, 0x5F, "maxsd #Vx_, #Wq_"},
    {kPrefix66, 0x6E, "@n7 #Vx_, #Ev_"},
    {kPrefix66, 0x6F, "movdqa #Vx_, #Wx_"},
    {kPrefixF3, 0x6F, "movdqu #Vx_, #Wx_"},
    {kPrefix66, 0x70, "pshufd #Vx_, #Wx_, #Ib_"},
    {kPrefixF3, 0x70, "pshufhw #Vx_, #Wx_, #Ib_"},
    {kPrefixF2, 0x70, "pshuflw #Vx_, #Wx_, #Ib_"},
    {kPrefix66, 0x71, "@h5"},
    {kPrefix66, 0x72, "@h6"},
    {kPrefix66, 0x73, "@h7"},
    {kPrefix66, 0x7E, "@n7 #Ev_, #Vx_"},
    {kPrefixF3, 0x7E, "movq #Vx_, #Wq_"},
    {kPrefix66, 0x7F, "movdqa #Wx_, #Vx_"},
    {kPrefixF3, 0x7F, "movdqu #Wx_, #Vx_"},
    {kPrefixF3, 0xB8, "popcnt #Gv_, #Ev_"},
    {kPrefixF3, 0xBC, "tzcnt #Gv_, #Ev_"},
    {kPrefixF3, 0xBD, "lzcnt #Gv_, #Ev_"},
    {kPrefix66, 0xC2, "cmppd #Vx_, #Wx_, #Ib_"},
    {kPrefixF3, 0xC2, "cmpss #Vx_, #Wd_, #Ib_"},
    {kPrefixF2, 0xC2, "cmpsd #Vx_, #Wq_, #Ib_"},
    {kPrefix66, 0xC4, "pinsrw #Vx_, #Ed_, #Ib_"},
    {kPrefix66, 0xC5, "pextrw #Gd_, #Ux_, #Ib_"},
    {kPrefix66, 0xC6, "shufpd #Vx_, #Wx_, #Ib_"},
    {kPrefix66, 0xD6, "movq #Wq_, #Vx_"},
    {kPrefix66, 0xD7, "pmovmskb #Gd_, #Ux_"},
    {kPrefix66, 0xE6, "cvttpd2dq #Vx_, #Wx_"},
    {kPrefixF3, 0xE6, "cvtdq2pd #Vx_, #Wq_"},
    {kPrefixF2, 0xE6, "cvtpd2dq #Vx_, #Wx_"},
    {kPrefix66, 0xE7, "movntdq #Mx_, #Vx_"},
};

struct ExactEntry {
    char Table;
    std::uint8_t ModRM;
    const char* Template;
};

constexpr ExactEntry kExact[] = {
    {'1', 0xFA, "endbr64"}, {'1', 0xFB, "endbr32"},     {'2', 0xC8, "monitor"},
    {'2', 0xC9, "mwait"},   {'2', 0xD0, "xgetbv"},      {'2', 0xD1, "xsetbv"},
    {'2', 0xD5, "xend"},    {'2', 0xD6, "xtest"},       {'2', 0xF8, "swapgs"},
    {'2', 0xF9, "rdtscp"},  {'3', 0xE8, "lfence"},      {'3', 0xF0, "mfence"},
    {'3', 0xF8, "sfence"},  {'4', 0xF8, "xabort #Ib_"}, {'5', 0xF8, "xbegin #Jvw"},
};

struct SizedRow {
    char Table;
    const char* Names[3];  // operand size 2, 4, 8
};

constexpr SizedRow kSized[] = {
    {'0', {"cbw", "cwde", "cdqe"}},    {'1', {"cwd", "cdq", "cqo"}},
    {'2', {"iret", "iretd", "iretq"}}, {'3', {"pushf", "pushfd", "pushfq"}},
    {'4', {"popf", "popfd", "popfq"}}, {'5', {"pusha", "pushad", "pushad"}},
    {'6', {"popa", "popad", "popad"}}, {'7', {"movd", "movd", "movq"}},
};

// Owns the texts made at start-up (the floating-point register forms and the
// XMM forms of the MMX operations); the tables point into it.
// A deque, because growing it never moves the texts already handed out.
struct Storage {
    std::deque<std::string> Texts;
    const char* Keep(std::string text) {
        Texts.push_back(std::move(text));
        return Texts.back().c_str();
    }
};

void Fill32(TemplateSet& t, Storage& storage) {
    for (int row = 0; row < 8; ++row) {
        for (int form = 0; form < 6; ++form) {
            t.OneByte[row * 8 + form] =
                storage.Keep(std::string(kAluNames[row]) + " " + kAluForms[form]);
        }
    }
    for (const Entry& e : kOneByte32)
        t.OneByte[e.Opcode] = e.Template;
    for (int c = 0; c < 16; ++c) {
        t.TwoByte[0x40 + c] = storage.Keep(std::string("cmov") + kConditions[c] + " #Gv_, #Ev_");
        t.TwoByte[0x80 + c] = storage.Keep(std::string("j") + kConditions[c] + " #Jvj");
        t.TwoByte[0x90 + c] = storage.Keep(std::string("set") + kConditions[c] + " #Eb_");
    }
    for (const Entry& e : kMmxArithmetic) {
        t.TwoByte[e.Opcode] = storage.Keep(std::string(e.Template) + " #Pq_, #Qq_");
    }
    for (const Entry& e : kTwoByte32)
        t.TwoByte[e.Opcode] = e.Template;
    for (const GroupRow& g : kGroups32)
        t.Group[GroupIndex(g.Name)] = g.Templates;
    for (const GroupRow& g : kGroupMemory)
        t.GroupMemory[GroupIndex(g.Name)] = g.Templates;
    for (int esc = 0; esc < 8; ++esc) {
        for (int reg = 0; reg < 8; ++reg)
            t.FpuMemory[esc][reg] = kFpuMemory[esc][reg];
    }
    for (const FpuRow& r : kFpuRegister) {
        const int count = r.WholeRow ? 8 : 1;
        for (int i = 0; i < count; ++i) {
            const std::string sti = "st(" + std::to_string(i) + ")";
            std::string text = r.Name;
            switch (r.Operands) {
                case kNone:
                    break;
                case kStI:
                    text += " " + sti;
                    break;
                case kSt0StI:
                    text += " st(0), " + sti;
                    break;
                case kStISt0:
                    text += " " + sti + ", st(0)";
                    break;
            }
            t.FpuRegister[r.Escape][r.ModRM - 0xC0 + i] = storage.Keep(std::move(text));
        }
    }
}

void Fill64(TemplateSet& t, Storage& storage) {
    Fill32(t, storage);
    for (int b = 0x40; b < 0x50; ++b)
        t.OneByte[b] = "@r_";
    for (std::uint8_t b : kInvalidIn64)
        t.OneByte[b] = nullptr;
    for (const Entry& e : kOneByte64)
        t.OneByte[e.Opcode] = e.Template;
    for (const Entry& e : kSseIntegerArithmetic) {
        t.TwoByte[e.Opcode] = storage.Keep(std::string(e.Template) + " #Pq_, #Qq_");
    }
    for (const Entry& e : kTwoByte64)
        t.TwoByte[e.Opcode] = e.Template;
    for (const GroupRow& g : kGroups64)
        t.Group[GroupIndex(g.Name)] = g.Templates;
    for (const Entry* list : {std::begin(kMmxArithmetic), std::begin(kSseIntegerArithmetic)}) {
        const Entry* end = list == std::begin(kMmxArithmetic) ? std::end(kMmxArithmetic)
                                                              : std::end(kSseIntegerArithmetic);
        for (const Entry* e = list; e != end; ++e) {
            t.Mandatory[kPrefix66][e->Opcode] =
                storage.Keep(std::string(e->Template) + " #Vx_, #Wx_");
        }
    }
    for (const PrefixedEntry& e : kMandatory64)
        t.Mandatory[e.Prefix][e.Opcode] = e.Template;
    // Nothing on these pages is named here, but their layout is regular
    // enough to know each instruction's length.
    t.ThreeByte38 = "?#Ex_";
    t.ThreeByte3A = "?#Ex_, #Ib_";
}

struct Tables {
    Storage Texts32, Texts64;
    TemplateSet Set32, Set64;
    Tables() {
        Fill32(Set32, Texts32);
        Fill64(Set64, Texts64);
    }
};

const Tables& AllTables() {
    static const Tables tables;
    return tables;
}

}  // namespace

const TemplateSet& Templates32() {
    return AllTables().Set32;
}
const TemplateSet& Templates64() {
    return AllTables().Set64;
}

const char* ExactModRM(char table, std::uint8_t modrm) {
    for (const ExactEntry& e : kExact) {
        if (e.Table == table && e.ModRM == modrm) return e.Template;
    }
    return nullptr;
}

const char* UnnamedGroupForm(char group, bool operandsFollow) {
    if (operandsFollow) return "?";
    // The MMX/XMM shift groups carry an immediate after their operand.
    for (char shift : {'1', '2', '3', '5', '6', '7'}) {
        if (group == shift) return "?#Eb_, #Ib_";
    }
    return "?#Eb_";
}

const char* SizedMnemonic(char table, int operandSize) {
    const int column = operandSize == 2 ? 0 : operandSize == 8 ? 2 : 1;
    for (const SizedRow& r : kSized) {
        if (r.Table == table) return r.Names[column];
    }
    return nullptr;
}

}  // namespace crashlog::disasm
