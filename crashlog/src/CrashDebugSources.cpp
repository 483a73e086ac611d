// Outside debug sources: for modules that carry no library data of their own.
#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <gelf.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>

#include "CrashDebugElf.h"
#include "CrashText.h"

namespace crashlog {

namespace {

std::string BaseName(std::string_view path) {
    auto slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ReplaceExtension(const std::string& file, const char* ext) {
    auto slash = file.find_last_of('/');
    auto dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return file + ext;
    return file.substr(0, dot) + ext;
}

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> t;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t s = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > s) t.push_back(line.substr(s, i - s));
    }
    return t;
}

bool ParseHex(std::string_view s, uint32_t& v) {
    if (!s.empty() && (s.back() == 'H' || s.back() == 'h')) s.remove_suffix(1);
    if (s.empty()) return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// "SSSS:OOOOOOOO"
bool ParseMapAddress(std::string_view s, uint32_t& segment, uint32_t& offset) {
    auto colon = s.find(':');
    return colon != std::string_view::npos && ParseHex(s.substr(0, colon), segment) &&
           ParseHex(s.substr(colon + 1), offset);
}

bool Has(const std::vector<std::string_view>& t, std::string_view word) {
    return std::find(t.begin(), t.end(), word) != t.end();
}

}  // namespace

// ---- map file ---------------------------------------------------------------------

TCLDebugInfoMap::~TCLDebugInfoMap() = default;

bool TCLDebugInfoMap::Open() {
    Bytes text;
    if (!ReadWholeFile(ReplaceExtension(fileName_, ".map"), text, size_t(256) << 20)) return false;
    return Load(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

bool TCLDebugInfoMap::Load(std::string_view text) {
    enum { None, Segments, Detailed, Publics, Lines } mode = None;
    uint32_t block = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        std::string_view line = text.substr(pos, eol == std::string_view::npos ? eol : eol - pos);
        pos = eol == std::string_view::npos ? text.size() : eol + 1;
        auto t = Tokens(line);
        if (t.empty()) continue;
        if (Has(t, "Bound") && Has(t, "resource") && Has(t, "files")) break;
        if (t.size() >= 3 && t[0] == "Line" && t[1] == "numbers" && t[2] == "for") {
            // "Line numbers for Unit(Source.pas) segment .text"
            std::string_view rest = line.substr(line.find("for") + 3);
            while (!rest.empty() && rest.front() == ' ')
                rest.remove_prefix(1);
            auto open = rest.find('('), close = rest.find(')');
            LineBlock b;
            if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
                b.Unit = std::string(rest.substr(0, open));
                b.Source = std::string(rest.substr(open + 1, close - open - 1));
            } else {
                b.Unit = std::string(Tokens(rest).empty() ? "" : Tokens(rest)[0]);
            }
            blocks_.push_back(std::move(b));
            block = uint32_t(blocks_.size() - 1);
            mode = Lines;
            continue;
        }
        if (Has(t, "Detailed") && Has(t, "segments")) {
            mode = Detailed;
            continue;
        }
        if (Has(t, "Publics") && (Has(t, "Name") || Has(t, "Value"))) {
            mode = Publics;
            continue;
        }
        if (Has(t, "Start") && Has(t, "Length") && Has(t, "Name") && Has(t, "Class")) {
            mode = Segments;
            continue;
        }
        uint32_t seg, off;
        switch (mode) {
            case Segments:
            case Detailed: {
                uint32_t len;
                if (t.size() < 2 || !ParseMapAddress(t[0], seg, off) || !ParseHex(t[1], len) ||
                    seg != 1)
                    break;
                std::string module;
                for (auto tok : t)
                    if (tok.starts_with("M=")) module = std::string(tok.substr(2));
                // The plain segment table names sections, not modules.
                if (mode == Detailed) segments_.push_back({off, len, module});
                break;
            }
            case Publics:
                if (t.size() >= 2 && ParseMapAddress(t[0], seg, off) && seg == 1) {
                    std::string name(t[1]);
                    publics_.push_back({off, name});
                }
                break;
            case Lines:
                for (size_t i = 0; i + 1 < t.size(); i += 2) {
                    int ln = 0;
                    auto r = std::from_chars(t[i].data(), t[i].data() + t[i].size(), ln);
                    if (r.ec != std::errc() || !ParseMapAddress(t[i + 1], seg, off)) break;
                    if (seg == 1) lines_.push_back({off, ln, block});
                }
                break;
            case None:
                break;
        }
    }
    auto byOffset = [](const auto& a, const auto& b) { return a.Offset < b.Offset; };
    std::stable_sort(publics_.begin(), publics_.end(), byOffset);
    std::stable_sort(lines_.begin(), lines_.end(), byOffset);
    std::sort(segments_.begin(), segments_.end(),
              [](const Segment& a, const Segment& b) { return a.Start < b.Start; });
    ready_ = !publics_.empty() || !lines_.empty() || !segments_.empty();
    return ready_;
}

bool TCLDebugInfoMap::Locate(uintptr_t address, TCLLocationInfo& info) {
    if (!ready_) return false;
    uint64_t off64 = AddressToOffset(address);
    if (off64 > UINT32_MAX) return false;
    uint32_t off = uint32_t(off64);
    info = {};
    info.CodeAddress = address;
    info.Source = this;
    for (const auto& s : segments_)
        if (off >= s.Start && off - s.Start < s.Length) info.UnitFile = s.Module;
    auto pub = std::upper_bound(publics_.begin(), publics_.end(), off,
                                [](uint32_t o, const Public& p) { return o < p.Offset; });
    uint32_t routineStart = 0;
    if (pub != publics_.begin()) {
        --pub;
        info.Routine = pub->Name;
        routineStart = pub->Offset;
    }
    // The last line entry of the address's unit at or before an offset.
    auto lineAt = [&](uint32_t o, const LineBlock** blk) -> int {
        const LinePoint* best = nullptr;
        for (const auto& lp : lines_) {
            if (lp.Offset > o) break;
            if (!info.UnitFile.empty() && blocks_[lp.Block].Unit != info.UnitFile) continue;
            best = &lp;
        }
        if (!best) return 0;
        if (blk) *blk = &blocks_[best->Block];
        return best->Line;
    };
    const LineBlock* blk = nullptr;
    info.LineNo = lineAt(off, &blk);
    if (blk) {
        info.SourceFile = blk->Source;
        if (info.UnitFile.empty()) info.UnitFile = blk->Unit;
    }
    if (info.LineNo && !info.Routine.empty()) {
        int start = lineAt(routineStart, nullptr);
        info.LinesIntoRoutine = start ? std::max(info.LineNo - start, 0) : 0;
    }
    return !info.Routine.empty() || info.LineNo > 0;
}

// ---- DWARF through libdw --------------------------------------------------------------

namespace {
char* gDebugInfoPath = nullptr;
const Dwfl_Callbacks kDwflCallbacks = {
    dwfl_build_id_find_elf,
    dwfl_standard_find_debuginfo,
    dwfl_offline_section_address,
    &gDebugInfoPath,
};
}  // namespace

TCLDebugInfoDwarf::~TCLDebugInfoDwarf() {
    if (dwfl_) dwfl_end(dwfl_);
}

bool TCLDebugInfoDwarf::Open() {
    if (dwfl_) return true;
    Dwfl* d = dwfl_begin(&kDwflCallbacks);
    if (!d) return false;
    dwfl_report_begin(d);
    Dwfl_Module* m =
        dwfl_report_elf(d, BaseName(fileName_).c_str(), fileName_.c_str(), -1, bias_, false);
    dwfl_report_end(d, nullptr, nullptr);
    Dwarf_Addr b;
    // A module without DWARF (and no separate debug file) is no source.
    if (!m || !dwfl_module_getdwarf(m, &b)) {
        dwfl_end(d);
        return false;
    }
    dwfl_ = d;
    module_ = m;
    return true;
}

TCLDebugInfoDwarf::Symbol* TCLDebugInfoDwarf::SymbolAt(uintptr_t address, bool& none) {
    none = false;
    if (!symbolsRead_) {
        symbolsRead_ = true;
        const int count = dwfl_module_getsymtab(module_);
        const int firstGlobal = dwfl_module_getsymtab_first_global(module_);
        hasLocalPart_ = firstGlobal > 1;
        for (int i = 1; i < count; ++i) {
            GElf_Sym sym;
            GElf_Addr at = 0;
            GElf_Word shndx = 0;
            const char* name =
                dwfl_module_getsym_info(module_, i, &sym, &at, &shndx, nullptr, nullptr);
            const int type = GELF_ST_TYPE(sym.st_info);
            if (!name || !*name || sym.st_shndx == SHN_UNDEF || type == STT_SECTION ||
                type == STT_FILE || type == STT_TLS)
                continue;
            const bool global = firstGlobal <= 0 || i >= firstGlobal;
            if (sym.st_size == 0) {
                if (global) globalSizelessAt_.push_back(at);
                sizelessAt_.push_back(at);
                continue;
            }
            const int bind = GELF_ST_BIND(sym.st_info);
            const int binding = bind == STB_GLOBAL       ? 3
                                : bind == STB_GNU_UNIQUE ? 2
                                : bind == STB_WEAK       ? 1
                                                         : 0;
            symbols_.push_back({at, sym.st_size, name, i, binding, global, {}, false});
        }
        std::stable_sort(symbols_.begin(), symbols_.end(),
                         [](const Symbol& a, const Symbol& b) { return a.Address < b.Address; });
        std::sort(globalSizelessAt_.begin(), globalSizelessAt_.end());
        std::sort(sizelessAt_.begin(), sizelessAt_.end());
        uint64_t reach = 0;
        for (const Symbol& sym : symbols_) {
            if (sym.Global) reach = std::max(reach, sym.Address + sym.Size);
            globalReach_.push_back(reach);
        }
    }
    // The sized symbols holding the address lie just below it (symbols nest
    // rarely); libdw then prefers, in its table order, the global part, and
    // in it the closer start or the stronger binding.
    Symbol* holders[16];
    int count = 0;
    auto it = std::upper_bound(symbols_.begin(), symbols_.end(), uint64_t(address),
                               [](uint64_t a, const Symbol& s) { return a < s.Address; });
    for (int steps = 0; it != symbols_.begin() && steps < 64; ++steps) {
        --it;
        if (address - it->Address < it->Size) {
            if (count == 16) return nullptr;  // unusual: let libdw choose
            holders[count++] = &*it;
        }
    }
    std::sort(holders, holders + count,
              [](const Symbol* a, const Symbol* b) { return a->Index < b->Index; });
    auto pick = [&](bool global) {
        Symbol* best = nullptr;
        for (int i = 0; i < count; ++i) {
            Symbol* c = holders[i];
            if (c->Global != global) continue;
            if (!best || best->Address < c->Address || best->Binding < c->Binding) best = c;
        }
        return best;
    };
    if (Symbol* best = pick(true)) return best;
    // libdw looks at the local part only when no global symbol holds the
    // address and no global label stands exactly on it.
    if (hasLocalPart_ &&
        !std::binary_search(globalSizelessAt_.begin(), globalSizelessAt_.end(), address)) {
        if (Symbol* best = pick(false)) return best;
    }
    // No sized symbol holds it (padding between functions, mostly): libdw
    // then names the nearest label below, but only one that no sized symbol
    // below the address reaches past.  When even the nearest label is passed
    // by a global one, nothing is named.
    const auto below = std::upper_bound(sizelessAt_.begin(), sizelessAt_.end(), uint64_t(address));
    const size_t sized =
        size_t(std::upper_bound(symbols_.begin(), symbols_.end(), uint64_t(address),
                                [](uint64_t a, const Symbol& s) { return a < s.Address; }) -
               symbols_.begin());
    const uint64_t reach = sized ? globalReach_[sized - 1] : 0;
    none = below == sizelessAt_.begin() || *std::prev(below) < reach;
    return nullptr;
}

bool TCLDebugInfoDwarf::Locate(uintptr_t address, TCLLocationInfo& info) {
    if (!dwfl_) return false;
    info = {};
    info.CodeAddress = address;
    info.Source = this;
    GElf_Off symOff = 0;
    const char* name = nullptr;
    bool none = false;
    if (Symbol* s = SymbolAt(address, none)) {
        if (!s->Made) {
            s->Routine = StoredProcName(Demangle(CleanSymbolName(s->Name).c_str()));
            s->Made = true;
        }
        name = s->Name;
        symOff = address - s->Address;
        info.Routine = s->Routine;
    } else if (!none) {
        // Labels and other odd cases: libdw's own choice.
        GElf_Sym sym;
        name = dwfl_module_addrinfo(module_, address, &symOff, &sym, nullptr, nullptr, nullptr);
        if (name) info.Routine = StoredProcName(Demangle(CleanSymbolName(name).c_str()));
    }
    if (Dwfl_Line* line = dwfl_module_getsrc(module_, address)) {
        int ln = 0;
        Dwarf_Addr a;
        const char* src = dwfl_lineinfo(line, &a, &ln, nullptr, nullptr, nullptr);
        info.LineNo = ln;
        if (src) info.SourceFile = src;
        if (Dwarf_Die* cu = dwfl_linecu(line))
            if (const char* cuName = dwarf_diename(cu)) info.UnitFile = BaseName(cuName);
        if (name && ln > 0) {
            if (Dwfl_Line* first = dwfl_module_getsrc(module_, address - symOff)) {
                int fl = 0;
                dwfl_lineinfo(first, &a, &fl, nullptr, nullptr, nullptr);
                info.LinesIntoRoutine = fl > 0 && ln >= fl ? ln - fl : 0;
            }
        }
    }
    return !info.Routine.empty() || info.LineNo > 0;
}

// ---- the binary debug format -------------------------------------------------------
//
// Header (34 bytes, little-endian): "JDBG", version byte 1, then the offsets
// of the unit, source-name, procedure, line and word tables and of the module
// name (u32 each), the checksum (u32) and its flag (byte).  Tables are
// sequences of LEB128 pairs (address delta, value delta; values signed),
// ended by an address delta of 0x7FFFFFFF; names are zero-terminated texts
// in the word table, addressed by their offset in it.

namespace {
constexpr size_t kJdbgHeader = 34;
constexpr uint32_t kJdbgEnd = 0x7FFFFFFF;

uint32_t Rd32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool ReadLeb(ByteSpan d, size_t& pos, int64_t& v, bool isSigned) {
    uint64_t r = 0;
    int shift = 0;
    uint8_t b = 0;
    do {
        if (pos >= d.size() || shift > 56) return false;
        b = d[pos++];
        r |= uint64_t(b & 0x7F) << shift;
        shift += 7;
    } while (b & 0x80);
    if (isSigned && shift < 64 && (b & 0x40)) r |= ~uint64_t(0) << shift;
    v = int64_t(r);
    return true;
}
}  // namespace

bool TCLDebugInfoJedy::IsValidBlock(ByteSpan d) {
    if (d.size() < kJdbgHeader + 1 || d.size() % 4 != 0) return false;
    if (std::memcmp(d.data(), "JDBG", 4) != 0 || d[4] != 1) return false;
    if (d[33]) {
        uint32_t stored = Rd32(&d[29]);
        uint32_t sum = 0;
        for (size_t i = 0; i < d.size(); i += 4)
            sum += Rd32(&d[i]);
        sum -= stored;
        uint32_t rot = (sum >> 8) | (sum << 24);
        if (rot != stored) return false;
    }
    return true;
}

bool TCLDebugInfoJedy::Load(ByteSpan data) {
    ready_ = false;
    decoded_ = false;
    if (!IsValidBlock(data)) return false;
    data_.assign(data.begin(), data.end());
    ready_ = true;
    return true;
}

bool TCLDebugInfoJedy::Decode() {
    if (decoded_) return !procs_.empty() || !lines_.empty();
    decoded_ = true;
    ByteSpan d(data_);
    auto table = [&](size_t headerAt, std::vector<Entry>& out, bool names) {
        uint32_t at = Rd32(&d[headerAt]);
        size_t pos = at;
        int64_t addr = 0, value = 0;
        out.reserve(64);
        while (pos < d.size()) {
            int64_t da, dv;
            if (!ReadLeb(d, pos, da, false) || da == kJdbgEnd || !ReadLeb(d, pos, dv, true)) break;
            addr += da;
            value += dv;
            if (addr < 0 || addr > UINT32_MAX || value < 0 || value > UINT32_MAX) break;
            // Grown by a quarter at a time: tables can be large.
            if (out.size() == out.capacity()) out.reserve(out.capacity() + out.capacity() / 4);
            out.push_back({uint32_t(addr), uint32_t(value)});
            (void)names;
        }
    };
    table(5, units_, true);
    table(13, procs_, true);
    table(17, lines_, false);
    return !procs_.empty() || !lines_.empty();
}

bool TCLDebugInfoJedy::Open() {
    Bytes data;
    if (ReadWholeFile(ReplaceExtension(fileName_, ".jdbg"), data, size_t(256) << 20) && Load(data))
        return true;
    // The block may also sit inside the module, in a section of its own.
    elf_version(EV_CURRENT);
    Bytes whole;
    if (!ReadWholeFile(fileName_, whole)) return false;
    Elf* e = elf_memory(reinterpret_cast<char*>(whole.data()), whole.size());
    if (!e) return false;
    size_t shstrndx = 0;
    bool ok = false;
    if (elf_getshdrstrndx(e, &shstrndx) == 0)
        for (Elf_Scn* scn = nullptr; !ok && (scn = elf_nextscn(e, scn));) {
            GElf_Shdr sh;
            const char* n;
            if (!gelf_getshdr(scn, &sh) || !(n = elf_strptr(e, shstrndx, sh.sh_name)) ||
                std::strcmp(n, ".jdbg") != 0)
                continue;
            if (Elf_Data* dd = elf_rawdata(scn, nullptr); dd && dd->d_buf)
                ok = Load(ByteSpan(static_cast<const uint8_t*>(dd->d_buf), dd->d_size));
        }
    elf_end(e);
    return ok;
}

bool TCLDebugInfoJedy::Locate(uintptr_t address, TCLLocationInfo& info) {
    if (!ready_ || !Decode()) return false;
    uint64_t off64 = AddressToOffset(address);
    if (off64 > UINT32_MAX) return false;
    uint32_t off = uint32_t(off64);
    ByteSpan d(data_);
    uint32_t words = Rd32(&d[21]);
    auto name = [&](uint32_t idx) -> std::string {
        uint64_t at = uint64_t(words) + idx;
        if (at >= d.size()) return {};
        const char* p = reinterpret_cast<const char*>(&d[at]);
        return std::string(p, strnlen(p, d.size() - at));
    };
    auto find = [&](const std::vector<Entry>& v) -> const Entry* {
        auto it = std::upper_bound(v.begin(), v.end(), off,
                                   [](uint32_t o, const Entry& e) { return o < e.Offset; });
        return it == v.begin() ? nullptr : &*(it - 1);
    };
    info = {};
    info.CodeAddress = address;
    info.Source = this;
    const Entry* unit = find(units_);
    const Entry* proc = find(procs_);
    const Entry* line = find(lines_);
    if (unit) info.UnitFile = name(unit->Value);
    if (proc) info.Routine = name(proc->Value);
    if (line) info.LineNo = int(line->Value);
    if (line && proc) {
        auto start = std::lower_bound(lines_.begin(), lines_.end(), proc->Offset,
                                      [](const Entry& e, uint32_t o) { return e.Offset < o; });
        if (start != lines_.end() && start->Offset <= off)
            info.LinesIntoRoutine = std::max(0, int(line->Value) - int(start->Value));
    }
    return !info.Routine.empty() || info.LineNo > 0;
}

std::unique_ptr<TCLDebugInfoSource> OpenOutsideDebugSource(const std::string& fileName,
                                                           uintptr_t base, uintptr_t bias) {
    std::unique_ptr<TCLDebugInfoSource> sources[] = {
        std::make_unique<TCLDebugInfoMap>(fileName, base, bias),
        std::make_unique<TCLDebugInfoDwarf>(fileName, base, bias),
        std::make_unique<TCLDebugInfoJedy>(fileName, base, bias),
    };
    for (auto& s : sources)
        if (s->Open()) return std::move(s);
    return nullptr;
}

}  // namespace crashlog
