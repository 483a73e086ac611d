#include "crashlog/CrashDisasm.h"

#include "disasm/DisasmTables.h"

namespace crashlog {

using disasm::TemplateSet;

namespace {

constexpr const char* kReg8[8] = {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"};
// With any REX prefix the encodings of ah..bh name the low bytes of
// rsp..rdi instead.
constexpr const char* kReg8Rex[16] = {"al",  "cl",  "dl",   "bl",   "spl",  "bpl",  "sil",  "dil",
                                      "r8b", "r9b", "r10b", "r11b", "r12b", "r13b", "r14b", "r15b"};
constexpr const char* kReg16[16] = {"ax",  "cx",  "dx",   "bx",   "sp",   "bp",   "si",   "di",
                                    "r8w", "r9w", "r10w", "r11w", "r12w", "r13w", "r14w", "r15w"};
constexpr const char* kReg32[16] = {"eax", "ecx", "edx",  "ebx",  "esp",  "ebp",  "esi",  "edi",
                                    "r8d", "r9d", "r10d", "r11d", "r12d", "r13d", "r14d", "r15d"};
constexpr const char* kReg64[16] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi",
                                    "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};
constexpr const char* kSegments[6] = {"es", "cs", "ss", "ds", "fs", "gs"};
constexpr const char* k16BitForms[8] = {"bx+si", "bx+di", "bp+si", "bp+di", "si", "di", "bp", "bx"};
// Base and index register numbers of the eight 16-bit forms above.
constexpr int k16BitBase[8] = {3, 3, 5, 5, 6, 7, 5, 3};
constexpr int k16BitIndex[8] = {6, 7, 6, 7, -1, -1, -1, -1};

constexpr int kMaxSizeWords = 4;

void AppendHex(std::string& out, std::uint64_t value, int minDigits) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (int i = n; i < minDigits; ++i)
        out += '0';
    while (n > 0)
        out += digits[--n];
}

std::string Hex(std::uint64_t value, int minDigits) {
    std::string s;
    AppendHex(s, value, minDigits);
    return s;
}

const char* SizeWord(int size) {
    switch (size) {
        case 1:
            return "byte ptr ";
        case 2:
            return "word ptr ";
        case 4:
            return "dword ptr ";
        case 8:
            return "qword ptr ";
        case 10:
            return "tbyte ptr ";
        case 16:
            return "xmmword ptr ";
        default:
            return "";  // six-byte far pointers and sizeless operands
    }
}

std::int64_t SignExtend(std::uint64_t value, int bytes) {
    if (bytes >= 8) return static_cast<std::int64_t>(value);
    const int shift = 64 - 8 * bytes;
    return static_cast<std::int64_t>(value << shift) >> shift;
}

// "+$05" / "-$80": a signed value with two digits per byte.
std::string SignedText(std::int64_t value, int digits) {
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::string s = value < 0 ? "-$" : "+$";
    AppendHex(s, magnitude, digits);
    return s;
}

}  // namespace

// One instruction's decoding: walks the template tables, filling Out.
struct TDisAsmDecoder {
    const TDisAsm& Owner;
    const TemplateSet& T;
    const std::uint8_t* Code;
    std::size_t Avail;
    std::uint64_t Address;
    bool Is64;
    int KnownLength;  // the whole instruction's length when a first pass found it

    TDisAsmState St;
    std::size_t Pos = 0;
    bool Truncated = false;
    bool Invalid = false;
    bool Unnamed = false;  // "?" template: length known, no mnemonic
    bool Quiet = false;    // no call-backs (first pass of a RIP-relative operand)
    bool NeedsLength = false;
    bool Op66 = false;
    bool Addr67 = false;
    bool RexPresent = false;
    bool Lock = false;
    int Rep = 0;  // 0xF2 or 0xF3 not taken as a mandatory prefix (64-bit)
    std::uint8_t LastByte = 0;

    std::string Out;
    bool Padded = false;
    struct SizeMark {
        std::size_t Pos;
        int Size;
    };
    SizeMark Marks[kMaxSizeWords];
    int MarkCount = 0;

    // Template cursor; a group's template runs before the rest of the one
    // that named it.
    const char* Cur = nullptr;
    const char* Stack[4];
    int Depth = 0;

    TDisAsmDecoder(const TDisAsm& owner, const std::uint8_t* code, std::size_t size,
                   std::uint64_t address, int knownLength)
        : Owner(owner),
          T(owner.Mode() == TDisAsmMode::Bits64 ? disasm::Templates64() : disasm::Templates32()),
          Code(code),
          Avail(size < TDisAsm::kMaxInstructionLength ? size : TDisAsm::kMaxInstructionLength),
          Address(address),
          Is64(owner.Mode() == TDisAsmMode::Bits64),
          KnownLength(knownLength) {
        St.Mode = owner.Mode();
        Out.reserve(48);
    }

    bool Silent() const { return Quiet || Unnamed; }

    bool Fetch(std::uint8_t& b) {
        if (Pos >= Avail) {
            Truncated = true;
            return false;
        }
        b = Code[Pos++];
        St.Length = static_cast<int>(Pos);
        return true;
    }

    std::uint64_t FetchLE(int bytes) {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            std::uint8_t b = 0;
            if (!Fetch(b)) return 0;
            v |= static_cast<std::uint64_t>(b) << (8 * i);
        }
        return v;
    }

    int ModRM() {
        if (St.ModRM < 0) {
            std::uint8_t b = 0;
            if (!Fetch(b)) return 0;
            St.ModRM = b;
        }
        return St.ModRM;
    }

    int SIB() {
        if (St.SIB < 0) {
            std::uint8_t b = 0;
            if (!Fetch(b)) return 0;
            St.SIB = b;
        }
        return St.SIB;
    }

    int Mod() { return ModRM() >> 6; }
    int RegField() { return ((ModRM() >> 3) & 7) | (St.Rex & 4 ? 8 : 0); }
    int RmField() { return (ModRM() & 7) | (St.Rex & 1 ? 8 : 0); }

    int OperandSize(bool default64) const {
        if (Is64) {
            if (St.Rex & 8) return 8;
            if (Op66) return 2;
            return default64 ? 8 : 4;
        }
        return Op66 ? 2 : 4;
    }
    int AddressSize() const {
        if (Is64) return Addr67 ? 4 : 8;
        return Addr67 ? 2 : 4;
    }

    int SizeOf(char letter, bool default64) {
        const int os = OperandSize(default64);
        switch (letter) {
            case 'b':
                return 1;
            case 'w':
                return 2;
            case 'd':
                return 4;
            case 'q':
                return 8;
            case 't':
                return 10;
            case 's':
                return 6;
            case 'x':
                return 16;
            case 'v':
                return os;
            case 'c':
                return os == 2 ? 1 : 2;
            case 'a':
                return os == 2 ? 4 : 8;
            case 'p':
                // The offset of a far pointer is as wide as the operand (the
                // 0x66 prefix makes it 16 bits), not as the address.
                return Is64 ? 6 : os + 2;
            case ' ':
                return 0;
            default:
                Invalid = true;
                return 0;
        }
    }

    const char* GpRegister(int n, int size) const {
        switch (size) {
            case 1:
                return RexPresent ? kReg8Rex[n] : kReg8[n & 7];
            case 2:
                return kReg16[n];
            case 8:
                return kReg64[n];
            default:
                return kReg32[n];
        }
    }

    void Symbol(const TDisAsm::Hook<TDisAsmSymbolEvent>& hook, std::uint64_t target,
                std::string& text) const {
        if (hook.Event && !Silent()) hook.Event(hook.UserData, Address, target, text);
    }

    // --- template walk ---------------------------------------------------

    void StartTemplate(const char* t) {
        Cur = t;
        Depth = 0;
        if (!t) Invalid = true;
    }

    void NextOneByte() {
        std::uint8_t b = 0;
        if (!Fetch(b)) return;
        LastByte = b;
        const char* t = T.OneByte[b];
        // 0x8F followed by a map number of 8 or more is an XOP prefix, not
        // pop (whose reg field is 0); decoding it as pop would lose step.
        if (b == 0x8F && Pos < Avail && (Code[Pos] & 0x1F) >= 8) {
            Vex('x');
            return;
        }
        // The 32-bit tables list F3 on its own line, but endbr32/endbr64
        // are single instructions that happen to begin with it.
        if (!Is64 && b == 0xF3 && Pos == 1 && Avail >= 4 && Code[1] == 0x0F && Code[2] == 0x1E &&
            (Code[3] == 0xFA || Code[3] == 0xFB)) {
            Pos = 4;
            St.Length = 4;
            StartTemplate(Code[3] == 0xFB ? "endbr32" : "endbr64");
            return;
        }
        // Nor is F3 a line of its own where it selects the operation of
        // 0x0F 0xC7 (vmxon, rdpid): the rest alone would be another
        // instruction.
        if (!Is64 && b == 0xF3 && SelectsGroupC7Form()) {
            Rep = 0xF3;
            LegacyPrefixSeen();
            NextOneByte();
            return;
        }
        if (Is64 && b == 0x90) {
            if (Rep == 0xF3) {
                t = "pause";
                Rep = 0;
            } else if (St.Rex & 1) {
                t = "xchg #Zv_, @eax";
            }
        }
        StartTemplate(t);
    }

    // Whether the bytes after an F3 are 0x0F 0xC7 with a ModRM byte whose
    // form F3 renames: /6 with memory (vmxon), /7 with a register (rdpid).
    bool SelectsGroupC7Form() const {
        if (Pos + 2 >= Avail || Code[Pos] != 0x0F || Code[Pos + 1] != 0xC7) return false;
        const int m = Code[Pos + 2];
        return (m >> 6) == 3 ? ((m >> 3) & 7) == 7 : ((m >> 3) & 7) == 6;
    }

    const char* TwoByteTemplate(std::uint8_t op) {
        if (Is64) {
            if (Rep) {
                const char* t =
                    T.Mandatory[Rep == 0xF3 ? disasm::kPrefixF3 : disasm::kPrefixF2][op];
                if (t) {
                    Rep = 0;
                    return t;
                }
            }
            if (Op66) {
                const char* t = T.Mandatory[disasm::kPrefix66][op];
                if (t) {
                    Op66 = false;
                    return t;
                }
            }
        }
        return T.TwoByte[op];
    }

    void Run() {
        NextOneByte();
        while (!Invalid && !Truncated) {
            const char c = *Cur;
            if (c == '\0') {
                if (Depth == 0) break;
                Cur = Stack[--Depth];
                continue;
            }
            switch (c) {
                case '#':
                    if (!Cur[1] || !Cur[2] || !Cur[3]) {
                        Invalid = true;
                        break;
                    }
                    Operand(Cur[1], Cur[2], Cur[3]);
                    Cur += 4;
                    break;
                case '@':
                    Control();
                    break;
                case '?':
                    Unnamed = true;
                    ++Cur;
                    break;
                case ' ':
                    if (!Padded) {
                        Padded = true;
                        Out.append(Out.size() < 8 ? 8 - Out.size() : 1, ' ');
                    } else {
                        Out += ' ';
                    }
                    ++Cur;
                    break;
                default:
                    Out += c;
                    ++Cur;
                    break;
            }
            if (!Cur && !Invalid) Invalid = true;
        }
    }

    void Control() {
        const char k = Cur[1];
        if (k == 'e') {
            const int os = OperandSize(false);
            if (os == 4) Out += 'e';
            if (os == 8) Out += 'r';
            Cur += 2;
            return;
        }
        if (k == 'm') {
            St.SizeWord = true;
            Cur += 2;
            return;
        }
        const char a = k ? Cur[2] : '\0';
        if (!a) {
            Invalid = true;
            return;
        }
        switch (k) {
            case 'p':  // segment override
                St.Segment[0] = a;
                St.Segment[1] = 's';
                LegacyPrefixSeen();
                NextOneByte();
                return;
            case 's':  // operand or address size
                (a == 'o' ? Op66 : Addr67) = true;
                LegacyPrefixSeen();
                NextOneByte();
                return;
            case 'f':  // lock and repeat prefixes of the 64-bit decoder
                if (a == 'l') {
                    Lock = true;
                } else {
                    Rep = a == '2' ? 0xF2 : 0xF3;
                }
                LegacyPrefixSeen();
                NextOneByte();
                return;
            case 'r':
                St.Rex = LastByte & 0xF;
                RexPresent = true;
                NextOneByte();
                return;
            case 'c':
                Escape(a);
                return;
            case 'g':
            case 'h': {
                const int index = disasm::GroupIndex(a);
                const int m = ModRM();
                if (Truncated) return;
                const int reg = (m >> 3) & 7;
                const char* entry = index < 0 ? nullptr : T.Group[index][reg];
                if (a == 'n' && (m >> 6) == 3 && reg == 7 && Rep == 0xF3) {
                    // F3 turns rdseed into rdpid, which always reads a
                    // register as wide as the mode.
                    entry = Is64 ? "rdpid #Rq_" : "rdpid #Rd_";
                    Rep = 0;
                } else if (a == 'n' && (m >> 6) != 3 && reg == 1 && (St.Rex & 8)) {
                    entry = "cmpxchg16b #Mx_";
                } else if (index >= 0 && (m >> 6) != 3 && T.GroupMemory[index][reg]) {
                    entry = T.GroupMemory[index][reg];
                    // The VMCS pointer load takes its other names from the
                    // prefix, which then is no repeat or size prefix.
                    if (a == 'n' && reg == 6 && Rep == 0xF3) {
                        entry = "vmxon #Mq_";
                        Rep = 0;
                    } else if (a == 'n' && reg == 6 && Op66) {
                        entry = "vmclear #Mq_";
                        Op66 = false;
                    }
                }
                if (!entry && Is64 && index >= 0) {
                    // Forms these tables do not name still have the group's
                    // layout; decoding it keeps the length right.
                    entry = disasm::UnnamedGroupForm(a, Cur[3] != '\0');
                }
                if (!entry || Depth == 4) {
                    Invalid = true;
                    return;
                }
                Stack[Depth++] = Cur + 3;
                Cur = entry;
                return;
            }
            case 'o': {
                const int base = a == '2' ? 0 : a == '4' ? 1 : 2;
                const int os = OperandSize(false);
                Out += "bwdqo"[base + (os == 2 ? 0 : os == 4 ? 1 : 2)];
                Cur += 3;
                return;
            }
            case 'n': {
                const char* name = disasm::SizedMnemonic(a, OperandSize(false));
                if (!name) {
                    Invalid = true;
                    return;
                }
                Out += name;
                Cur += 3;
                return;
            }
            case 'x': {
                const int m = ModRM();
                if (Truncated) return;
                const char* t = disasm::ExactModRM(a, static_cast<std::uint8_t>(m));
                if (t) {
                    StartTemplate(t);
                } else {
                    Cur += 3;
                }
                return;
            }
            case 'v':
                Vex(a);
                return;
            default:
                Invalid = true;
                return;
        }
    }

    // A REX prefix counts only directly before the opcode.
    void LegacyPrefixSeen() {
        St.Rex = 0;
        RexPresent = false;
    }

    void Escape(char a) {
        std::uint8_t op = 0;
        if (a == '2' || a == '3' || a == '4') {
            if (!Fetch(op)) return;
            LastByte = op;
            StartTemplate(a == '2'   ? TwoByteTemplate(op)
                          : a == '3' ? T.ThreeByte38
                                     : T.ThreeByte3A);
            return;
        }
        if (a < 'a' || a > 'h') {
            Invalid = true;
            return;
        }
        const int esc = a - 'a';
        const int m = ModRM();
        if (Truncated) return;
        StartTemplate(m >= 0xC0 ? T.FpuRegister[esc][m - 0xC0] : T.FpuMemory[esc][(m >> 3) & 7]);
    }

    // The vector-extension prefixes: nothing they encode is named here, but
    // their layout gives the length (a compressed 8-bit displacement is
    // still one byte).
    void Vex(char kind) {
        std::uint8_t b1 = 0, skip = 0, op = 0;
        if (!Fetch(b1)) return;
        int map = 1;
        if (kind == '3' || kind == 'x') {
            map = b1 & 0x1F;
            if (!Fetch(skip)) return;
        } else if (kind == '4') {
            map = b1 & 0x07;
            if (!Fetch(skip) || !Fetch(skip)) return;
        }
        if (!Fetch(op)) return;
        if ((kind == 'x') != (map >= 8)) {
            Invalid = true;
            return;
        }
        switch (map) {
            case 1:
                if (op == 0x77) {
                    StartTemplate("?");
                } else if ((op >= 0x70 && op <= 0x73) || op == 0xC2 || (op >= 0xC4 && op <= 0xC6)) {
                    StartTemplate("?#Ex_, #Ib_");
                } else {
                    StartTemplate("?#Ex_");
                }
                return;
            case 2:
                StartTemplate("?#Ex_");
                return;
            case 3:
            case 8:  // XOP maps: 8 has an 8-bit immediate, 10 a 32-bit one
                StartTemplate("?#Ex_, #Ib_");
                return;
            case 9:
                StartTemplate("?#Ex_");
                return;
            case 10:
                StartTemplate("?#Ex_, #Id_");
                return;
            default:
                Invalid = true;
                return;
        }
    }

    // --- operands --------------------------------------------------------

    void Operand(char type, char sizeLetter, char flag) {
        const int size = SizeOf(sizeLetter, flag == '6');
        if (Invalid) return;
        if (sizeLetter == ' ') St.SizeWord = false;
        St.OperandSize = OperandSize(false);
        St.AddressSize = AddressSize();
        switch (type) {
            case 'A':
                FarAddress();
                return;
            case 'C':
            case 'D':
            case 'T': {
                const int reg = RegField();
                Out += type;
                Out += std::to_string(reg);
                St.SizeWord = false;
                return;
            }
            case 'E':
                if (Mod() == 3) {
                    Out += GpRegister(RmField(), size);
                } else {
                    Memory(size);
                }
                return;
            case 'G':
                Out += GpRegister(RegField(), size);
                St.SizeWord = false;
                return;
            case 'H':
                Immediate(size, true, false);
                return;
            case 'I':
                Immediate(size, false, flag == '8');
                return;
            case 'J':
                // Near branches ignore 0x66 in 64-bit mode; xbegin ("w") does not.
                Relative(sizeLetter == 'b'         ? 1
                         : Is64 && flag != 'w'     ? 4
                         : OperandSize(false) == 2 ? 2
                                                   : 4,
                         flag);
                return;
            case 'M':
                if (Mod() == 3) {
                    Invalid = true;
                } else {
                    Memory(size);
                }
                return;
            case 'O':
                Offset(size);
                return;
            case 'P':
                Out += "MM";
                Out += static_cast<char>('0' + ((ModRM() >> 3) & 7));
                St.SizeWord = false;
                return;
            case 'Q':
                if (Mod() == 3) {
                    Out += "MM";
                    Out += static_cast<char>('0' + (ModRM() & 7));
                    St.SizeWord = false;
                } else {
                    Memory(size);
                }
                return;
            case 'R':
                Out += GpRegister(RmField(), size);
                return;
            case 'S': {
                const int reg = (ModRM() >> 3) & 7;
                if (reg > 5) {
                    Invalid = true;
                    return;
                }
                Out += kSegments[reg];
                return;
            }
            case 'U':
                if (Mod() != 3) {
                    Invalid = true;
                    return;
                }
                Out += "xmm" + std::to_string(RmField());
                St.SizeWord = false;
                return;
            case 'V':
                Out += "xmm" + std::to_string(RegField());
                St.SizeWord = false;
                return;
            case 'W':
                if (Mod() == 3) {
                    Out += "xmm" + std::to_string(RmField());
                    St.SizeWord = false;
                } else {
                    Memory(size);
                }
                return;
            case 'Z':
                Out += GpRegister((LastByte & 7) | (St.Rex & 1 ? 8 : 0), size);
                return;
            default:
                Invalid = true;
                return;
        }
    }

    void Immediate(int size, bool isSigned, bool fullWidth) {
        // In 64-bit mode immediates stop at 4 bytes and are sign-extended,
        // except for mov r64, imm64.
        const int bytes = (size == 8 && !fullWidth) ? 4 : size;
        const std::uint64_t where = Address + Pos;
        const std::uint64_t raw = FetchLE(bytes);
        if (Truncated) return;
        std::string text;
        if (isSigned) {
            text = SignedText(SignExtend(raw, bytes), 2 * bytes);
        } else if (bytes < size) {
            text = "$" + Hex(static_cast<std::uint64_t>(SignExtend(raw, bytes)), 2 * size);
        } else {
            text = "$" + Hex(raw, 2 * bytes);
        }
        const auto& hook = Owner.OnImmediate_;
        if (hook.Event && !Silent()) hook.Event(hook.UserData, where, bytes, text, isSigned);
        Out += text;
    }

    void Relative(int bytes, char flag) {
        const std::int64_t disp = SignExtend(FetchLE(bytes), bytes);
        if (Truncated) return;
        std::string text = SignedText(disp, 2 * bytes);
        std::uint64_t target = Address + Pos + static_cast<std::uint64_t>(disp);
        if (!Is64) target &= 0xFFFFFFFFu;
        Symbol(flag == 'c' ? Owner.OnCall_ : Owner.OnJump_, target, text);
        Out += text;
    }

    void MarkSizeWord(int size) {
        if (MarkCount < kMaxSizeWords) Marks[MarkCount++] = {Out.size(), size};
        if (size != 0 && size != 4) St.SizeWord = true;
    }

    void SegmentPrefix() {
        if (St.Segment[0]) {
            Out += St.Segment[0];
            Out += St.Segment[1];
            Out += ':';
        }
    }

    // An absolute address written "$" + digits, offered to the symbol call-back.
    void AbsoluteAddress(std::uint64_t value, int digits) {
        std::string text = "$" + Hex(value, digits);
        Symbol(Owner.OnAddress_, value, text);
        Out += text;
    }

    void Memory(int size) {
        const int m = ModRM();
        if (Truncated) return;
        const int mod = m >> 6, rm = m & 7;
        MarkSizeWord(size);
        const std::size_t start = Out.size();
        SegmentPrefix();
        Out += '[';
        const int as = AddressSize();
        St.BaseRegister = St.IndexRegister = -1;
        if (as == 2) {
            if (mod == 0 && rm == 6) {
                const std::uint64_t direct = FetchLE(2);
                Out += '$';
                AppendHex(Out, direct, 4);
            } else {
                Out += k16BitForms[rm];
                St.BaseRegister = k16BitBase[rm];
                St.IndexRegister = k16BitIndex[rm];
                if (mod == 1) Out += SignedText(SignExtend(FetchLE(1), 1), 2);
                if (mod == 2) {
                    Out += "+$";
                    AppendHex(Out, FetchLE(2), 4);
                }
            }
        } else {
            const char* const* names = as == 8 ? kReg64 : kReg32;
            int base = -1, index = -1, scale = 1;
            bool direct = false, rip = false;
            if (rm == 4) {
                const int s = SIB();
                if (Truncated) return;
                base = (s & 7) | (St.Rex & 1 ? 8 : 0);
                index = ((s >> 3) & 7) | (St.Rex & 2 ? 8 : 0);
                scale = 1 << (s >> 6);
                if (index == 4) index = -1;
                if ((s & 7) == 5 && mod == 0) {
                    base = -1;
                    direct = true;
                }
            } else if (rm == 5 && mod == 0) {
                (Is64 ? rip : direct) = true;
            } else {
                base = rm | (St.Rex & 1 ? 8 : 0);
            }
            St.BaseRegister = rip ? kDisAsmRipRegister : base;
            St.IndexRegister = index;
            if (direct) {
                const std::uint64_t value = FetchLE(4);
                if (Truncated) return;
                if (as == 8) {
                    AbsoluteAddress(static_cast<std::uint64_t>(SignExtend(value, 4)), 16);
                } else {
                    AbsoluteAddress(value, 8);
                }
            }
            if (rip) RipTarget();
            if (base >= 0) Out += names[base];
            if (index >= 0) {
                if (base >= 0 || direct) Out += '+';
                Out += names[index];
                if (scale > 1) {
                    Out += '*';
                    Out += static_cast<char>('0' + scale);
                }
            }
            if (mod == 1) Out += SignedText(SignExtend(FetchLE(1), 1), 2);
            if (mod == 2) Displacement32();
        }
        if (Truncated) return;
        Out += ']';
        MemoryOperandHook(start, size);
    }

    // Lets the memory-operand call-back rewrite the operand text written
    // since `start`.
    void MemoryOperandHook(std::size_t start, int size) {
        const auto& hook = Owner.OnMemory_;
        if (!hook.Event || Silent()) return;
        std::string text = Out.substr(start);
        hook.Event(hook.UserData, St, size, text);
        Out.resize(start);
        Out += text;
    }

    void Displacement32() {
        const std::uint64_t raw = FetchLE(4);
        if (Truncated) return;
        // In 32-bit code the displacement wraps modulo 2^32, so its unsigned
        // form is exact; in 64-bit code it is sign-extended and must be
        // written with its sign to name the right address.
        std::uint64_t value = raw;
        char sign = '+';
        if (Is64 && (raw & 0x80000000u)) {
            value = 0x100000000ull - raw;
            sign = '-';
        }
        std::string text = "$" + Hex(value, 4);
        Symbol(Owner.OnAddress_, Is64 ? static_cast<std::uint64_t>(SignExtend(raw, 4)) : raw, text);
        Out += sign;
        Out += text;
    }

    void RipTarget() {
        const std::int64_t disp = SignExtend(FetchLE(4), 4);
        if (Truncated) return;
        if (KnownLength < 0) {
            // The target counts from the end of the instruction, which later
            // operands may still extend: finish this pass quietly for the
            // length, then decode again.
            NeedsLength = true;
            Quiet = true;
            Out += "$?";
            return;
        }
        AbsoluteAddress(
            Address + static_cast<std::uint64_t>(KnownLength) + static_cast<std::uint64_t>(disp),
            16);
    }

    void Offset(int size) {
        const int as = AddressSize();
        MarkSizeWord(size);
        const std::size_t start = Out.size();
        SegmentPrefix();
        Out += '[';
        const std::uint64_t value = FetchLE(as);
        if (Truncated) return;
        if (as == 2) {
            Out += '$';
            AppendHex(Out, value, 4);
        } else {
            AbsoluteAddress(value, 2 * as);
        }
        Out += ']';
        MemoryOperandHook(start, size);
    }

    void FarAddress() {
        const int width = OperandSize(false) == 2 ? 2 : 4;
        SegmentPrefix();
        const std::uint64_t offset = FetchLE(width);
        FetchLE(2);  // the selector
        if (Truncated) return;
        if (width == 2) {
            Out += '$';
            AppendHex(Out, offset, 4);
        } else {
            AbsoluteAddress(offset, 8);
        }
    }

    // --- result ----------------------------------------------------------

    std::string Finish(int& length) {
        length = static_cast<int>(Pos);
        if (Truncated || Invalid || Unnamed) {
            std::string db = "DB      ";
            for (std::size_t i = 0; i < Pos; ++i) {
                if (i) db += ", ";
                db += '$';
                AppendHex(db, Code[i], 2);
            }
            db += "  //";
            return db;
        }
        for (int i = MarkCount - 1; i >= 0; --i) {
            if (St.SizeWord) Out.insert(Marks[i].Pos, SizeWord(Marks[i].Size));
        }
        if (Is64 && (Lock || Rep)) {
            // The prefixes join the mnemonic, and the operands move to keep
            // their column.
            std::string text = Lock ? "lock " : "";
            if (Rep) text += Rep == 0xF3 ? "rep " : "repne ";
            const std::size_t blank = Out.find(' ');
            if (blank == std::string::npos) return text + Out;
            // A call-back may have emptied the operands: the padding is then
            // all that follows the mnemonic.
            const std::size_t operands = Out.find_first_not_of(' ', blank);
            text += Out.substr(0, blank);
            if (operands == std::string::npos) return text;
            text.append(text.size() < 8 ? 8 - text.size() : 1, ' ');
            text += Out.substr(operands);
            return text;
        }
        return std::move(Out);
    }
};

TDisAsm::TDisAsm(TDisAsmMode mode) : Mode_(mode) {
    // Build the tables now rather than on the first decode, which may run
    // while a crash is being reported.
    (void)(mode == TDisAsmMode::Bits64 ? disasm::Templates64() : disasm::Templates32());
}

void TDisAsm::SetOnJumpSymbol(TDisAsmSymbolEvent event, void* userData) {
    OnJump_ = {event, userData};
}
void TDisAsm::SetOnCallSymbol(TDisAsmSymbolEvent event, void* userData) {
    OnCall_ = {event, userData};
}
void TDisAsm::SetOnAddressSymbol(TDisAsmSymbolEvent event, void* userData) {
    OnAddress_ = {event, userData};
}
void TDisAsm::SetOnMemoryOperand(TDisAsmMemoryEvent event, void* userData) {
    OnMemory_ = {event, userData};
}
void TDisAsm::SetOnImmediateComment(TDisAsmImmediateEvent event, void* userData) {
    OnImmediate_ = {event, userData};
}

std::string TDisAsm::Disassemble(const std::uint8_t* code, std::size_t size, std::uint64_t address,
                                 int& length) const {
    length = 0;
    if (size == 0 || code == nullptr) return {};
    // The listing runs while a crash is reported: nothing may escape from
    // here, not even from a call-back or a failed allocation.
    try {
        TDisAsmDecoder first(*this, code, size, address, -1);
        first.Run();
        if (!first.NeedsLength || first.Truncated || first.Invalid) return first.Finish(length);
        TDisAsmDecoder second(*this, code, size, address, static_cast<int>(first.Pos));
        second.Run();
        return second.Finish(length);
    } catch (...) {
    }
    // A call-back failed: the line without call-backs still has the right
    // length.
    try {
        if (OnJump_.Event || OnCall_.Event || OnAddress_.Event || OnMemory_.Event ||
            OnImmediate_.Event)
            return TDisAsm(Mode_).Disassemble(code, size, address, length);
    } catch (...) {
    }
    {
        // Out of memory: the DB form of one byte fits a string's own buffer.
        length = 1;
        char db[] = "DB      $00  //";
        db[9] = "0123456789ABCDEF"[code[0] >> 4];
        db[10] = "0123456789ABCDEF"[code[0] & 0xF];
        return std::string(db);
    }
}

std::string TDisAsm::Disassemble(std::uint64_t address, int& length) const {
    return Disassemble(reinterpret_cast<const std::uint8_t*>(address), kMaxInstructionLength,
                       address, length);
}

}  // namespace crashlog
