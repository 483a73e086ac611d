// The assembler listing around the exception address and the CPU part.

#include <algorithm>
#include <cstring>

#include "crashlog/CrashDisasm.h"
#include "crashlog/CrashReport.h"
#include "report/ReportParts.h"
#include "report/ReportText.h"

namespace crashlog::report {

bool TReportMemory::Read(std::uintptr_t address, void* out, std::size_t size) const {
    if (size == 0) return true;
    if (address + size < address) return false;
    for (const TCrashMemoryRegion& r : input_.Memory) {
        if (address >= r.Address && address - r.Address <= r.Bytes.size() &&
            size <= r.Bytes.size() - (address - r.Address)) {
            std::memcpy(out, r.Bytes.data() + (address - r.Address), size);
            return true;
        }
    }
    return input_.ReadLiveMemory && ReadMemory(address, out, size);
}

bool TReportMemory::Readable(std::uintptr_t address, std::size_t size) const {
    for (const TCrashMemoryRegion& r : input_.Memory) {
        if (address >= r.Address && address - r.Address <= r.Bytes.size() &&
            size <= r.Bytes.size() - (address - r.Address))
            return true;
    }
    return input_.ReadLiveMemory && IsReadableMemory(address, size);
}

namespace {

// The name of a resolved location: unit without extension, class and
// procedure, the empty ones left out.
std::string LocationName(const StackEntry& e) {
    std::string out;
    for (const std::string& part :
         {WithoutExtension(e.UnitName), e.ClassName.str(), e.ProcName.str()}) {
        if (part.empty()) continue;
        if (!out.empty()) out += '.';
        out += part;
    }
    return out;
}

struct TListingContext {
    const TCrashReportInput* Input;
    const TReportMemory* Memory;
};

void OnSymbol(void* user, std::uint64_t, std::uint64_t target, std::string& text) {
    const auto* ctx = static_cast<TListingContext*>(user);
    if (!ctx->Input->ResolveAddress) return;
    const StackEntry e = ctx->Input->ResolveAddress(static_cast<std::uintptr_t>(target));
    if (e.Kind < 2 || e.Kind > 4) return;
    std::string name = LocationName(e);
    if (name.empty()) return;
    if (e.ProcLine > 1) name += " (Line=" + std::to_string(e.Line) + ")";
    text = std::move(name);
}

void OnImmediate(void* user, std::uint64_t where, int size, std::string& text, bool isSigned) {
    if (size != 4 || isSigned) return;
    const auto* ctx = static_cast<TListingContext*>(user);
    std::uint32_t value = 0;
    if (!ctx->Memory->Read(static_cast<std::uintptr_t>(where), &value, 4)) return;
    if (value == 0 || !ctx->Memory->Readable(value, 1)) return;
    std::string chars;
    bool ended = false;
    for (std::uintptr_t a = value; a < std::uintptr_t(value) + 32; ++a) {
        unsigned char c = 0;
        if (!ctx->Memory->Read(a, &c, 1)) break;
        if (c == 0) {
            ended = true;
            break;
        }
        chars += c < 32 ? '.' : char(c);
    }
    text += "  ; '" + chars + "'";
    if (!ended) text += "...";
}

struct TDecoded {
    int Length = 0;
    bool Undecodable = false;
    std::string Text;
    unsigned char FirstByte = 0;
};

// The code around the exception address, read once: the probe decodes the
// same bytes up to seventy times, and a live read is a system call.
class TCodeWindow {
  public:
    TCodeWindow(const TReportMemory& mem, std::uintptr_t from, std::uintptr_t to)
        : from_(from), bytes_(to - from), readable_(to - from, false) {
        if (mem.Read(from, bytes_.data(), bytes_.size())) {
            readable_.assign(bytes_.size(), true);
            return;
        }
        for (size_t i = 0; i < bytes_.size(); ++i)
            readable_[i] = mem.Read(from + i, &bytes_[i], 1);
    }
    bool Readable(std::uintptr_t at) const {
        return at >= from_ && at - from_ < bytes_.size() && readable_[at - from_];
    }
    // The readable bytes from `at` on, at most `max`.
    size_t Copy(std::uintptr_t at, std::uint8_t* out, size_t max) const {
        size_t n = 0;
        while (n < max && Readable(at + n)) {
            out[n] = bytes_[at + n - from_];
            ++n;
        }
        return n;
    }

  private:
    std::uintptr_t from_;
    std::vector<std::uint8_t> bytes_;
    std::vector<bool> readable_;
};

TDecoded Decode(const TDisAsm& dis, const TCodeWindow& code, std::uintptr_t at) {
    std::uint8_t bytes[TDisAsm::kMaxInstructionLength];
    const size_t size = code.Copy(at, bytes, sizeof bytes);
    TDecoded d;
    if (size == 0) {
        d.Length = 1;
        d.Undecodable = true;
        return d;
    }
    d.FirstByte = bytes[0];
    d.Text = dis.Disassemble(bytes, size, at, d.Length);
    if (d.Length < 1) d.Length = 1;
    d.Undecodable = d.Text.starts_with("DB ");
    return d;
}

}  // namespace

void BuildAssembler(const TCrashReportInput& in, const TCrashModuleOptions& o, std::string& title,
                    std::string& listing) {
    title.clear();
    listing.clear();
    const TReportMemory mem(in);
    const std::uintptr_t e = in.Address;
    if (e == 0 || !mem.Readable(e, 4)) return;

    const std::uintptr_t window = e >= 70 ? e - 70 : 0;
    constexpr std::uintptr_t kAfter = 70 + TDisAsm::kMaxInstructionLength;
    const std::uintptr_t last = e > UINTPTR_MAX - kAfter ? UINTPTR_MAX : e + kAfter;
    const TCodeWindow code(mem, window, last);

    // A silent decoder finds the start; the listing's decoder has call-backs.
    const TDisAsm probe(TDisAsmMode::Bits64);
    TListingContext ctx{&in, &mem};
    TDisAsm dis(TDisAsmMode::Bits64);
    dis.SetOnJumpSymbol(OnSymbol, &ctx);
    dis.SetOnCallSymbol(OnSymbol, &ctx);
    dis.SetOnAddressSymbol(OnSymbol, &ctx);
    dis.SetOnImmediateComment(OnImmediate, &ctx);

    // 1. The first start in the window whose instructions land exactly on E;
    // at most ten instructions before E are kept.
    std::uintptr_t first = window;
    while (first < e && !code.Readable(first))
        ++first;
    std::uintptr_t start = e;
    for (std::uintptr_t s = first; s < e; ++s) {
        std::vector<std::uintptr_t> starts;
        std::uintptr_t pos = s;
        while (pos < e) {
            const TDecoded d = Decode(probe, code, pos);
            if (!d.Undecodable) starts.push_back(pos);
            pos += std::uintptr_t(d.Length);
        }
        if (pos != e) continue;
        start = starts.size() > 10 ? starts[starts.size() - 10] : s;
        break;
    }
    // 2. The end: E + 70, lowered to the last readable byte.
    std::uintptr_t end = e + 70;
    while (end > e && !code.Readable(end))
        --end;

    // 3. and 4. The walk.
    std::vector<std::string> lines;
    std::string lastHeader, lastNote;
    size_t remembered = 0;
    int after = 0;
    for (std::uintptr_t at = start; at <= end;) {
        const TDecoded d = Decode(dis, code, at);
        std::string line = AddressText(at) + "  " + d.Text;
        if (at == e) line += "  ; <-- EXCEPTION";
        std::string header, note;
        if (in.ResolveAddress) {
            const StackEntry r = in.ResolveAddress(at);
            if (r.Kind >= 2 && r.Kind <= 4) {
                header = LocationName(r);
                if (!header.empty()) header += ' ';
                note = "Line=" + std::to_string(r.Line) + " - Offset=" + std::to_string(r.ProcLine);
            }
        }
        std::string comment;
        bool newHeader = false;
        if (!header.empty() && header != lastHeader) {
            comment = header;
            lastHeader = header;
            newHeader = true;
        }
        if (!note.empty() && note != lastNote) {
            comment = comment.empty() ? note : comment + "(" + note + ")";
            lastNote = note;
        }
        if (newHeader && at <= e) remembered = lines.size();
        if (!comment.empty()) {
            if (!lines.empty()) lines.emplace_back(";");
            lines.push_back("; " + comment);
            lines.push_back("; " + std::string(comment.size(), '-'));
        }
        lines.push_back(std::move(line));
        if (at > e) {
            ++after;
            if (after >= 10 || (d.FirstByte >= 0xC2 && d.FirstByte <= 0xCB)) break;
        }
        at += std::uintptr_t(d.Length);
    }
    // 5. The listing starts with the procedure that holds E when its start
    // lies in the window.
    lines.erase(lines.begin(), lines.begin() + long(std::min(remembered, lines.size())));
    if (!lines.empty() && lines.front() == ";") lines.erase(lines.begin());

    // 6. Comments aligned after the longest code part.
    size_t column = 0;
    for (const std::string& line : lines) {
        if (line.starts_with(';')) continue;
        const size_t semi = line.find(';');
        column = std::max(column, TrimRight(line.substr(0, semi)).size());
    }
    column += 2;
    size_t longest = 0;
    for (std::string& line : lines) {
        const size_t semi = line.find(';');
        if (semi != std::string::npos && semi > 0 && semi < column)
            line.insert(semi, column - semi, ' ');
        longest = std::max(longest, line.size());
    }

    // 7. Title and listing.
    const std::string name = Text(o, 14);
    title = name + ":\r\n" + std::string(std::max(longest, name.size() + 1), '-');
    for (const std::string& line : lines)
        listing.append(line).append("\r\n");
}

std::string BuildCpuPart(const TCrashReportInput& in, const TCrashModuleOptions& o) {
    const TCrashCpuContext& c = in.Context;
    auto reg = [&](std::uint64_t v) {
        return c.Valid
                   ? AddressText(v)
                   : std::string(kAddressDigits / 2, '?') + std::string(kAddressDigits / 2, ' ');
    };
    const int a = kAddressDigits;
    std::string out = Text(o, 141) + ":\r\n";
    out.append(5 + a + 3 + 5 + a, '-').append("\r\n");
    out += "RAX: " + reg(c.Rax) + "   RDI: " + reg(c.Rdi) + "\r\n";
    out += "RBX: " + reg(c.Rbx) + "   RSI: " + reg(c.Rsi) + "\r\n";
    out += "RCX: " + reg(c.Rcx) + "   RSP: " + reg(c.Rsp) + "\r\n";
    out += "RDX: " + reg(c.Rdx) + "   RIP: " + reg(c.Rip) + "\r\n";
    out += "\r\n";
    // The stack column: address, ": ", an 8-byte word, three blanks.
    const size_t stackColumn = size_t(a) + 2 + size_t(a) + 3;
    std::string stack = Text(o, 142) + ":";
    if (stack.size() < stackColumn) stack.resize(stackColumn, ' ');
    out += stack + Text(o, 143) + ":\r\n";
    out.append(stackColumn - 3, '-').append("   ").append(size_t(a) + 2 + 16 * 3 + 1 + 16, '-');
    out += "\r\n";

    const TReportMemory mem(in);
    constexpr size_t kWord = sizeof(std::uint64_t);
    std::uint8_t words[16 * kWord];
    std::uint8_t bytes[256];
    if (in.StackStart == 0 || in.Address == 0 || !mem.Read(in.StackStart, words, sizeof words) ||
        !mem.Read(in.Address, bytes, sizeof bytes))
        return out;
    for (size_t i = 0; i < 16; ++i) {
        std::uint64_t word = 0;
        std::memcpy(&word, words + i * kWord, kWord);
        out += AddressText(in.StackStart + i * kWord) + ": " + AddressText(word) + "   " +
               AddressText(in.Address + 16 * i) + ": ";
        const std::uint8_t* row = bytes + 16 * i;
        for (size_t k = 0; k < 16; ++k)
            out += Hex(row[k], 2) + " ";
        out += ' ';
        for (size_t k = 0; k < 16; ++k)
            out += (row[k] < 32 || row[k] > 126) ? '.' : char(row[k]);
        out += "\r\n";
    }
    return out;
}

}  // namespace crashlog::report
