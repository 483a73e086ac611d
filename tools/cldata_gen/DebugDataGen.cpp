#include "DebugDataGen.h"

#include <cxxabi.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>

#include "CrashText.h"

namespace crashlog {

namespace {

std::string BaseName(const char* path) {
    std::string s = path ? path : "";
    auto slash = s.find_last_of('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

}  // namespace

bool ReadModuleDebugInfo(const std::string& path, GenModule& mod, std::string& err) {
    elf_version(EV_CURRENT);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = "cannot open " + path;
        return false;
    }
    Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
    GElf_Ehdr eh;
    if (!elf || !gelf_getehdr(elf, &eh)) {
        if (elf) elf_end(elf);
        close(fd);
        err = path + " is not an ELF file";
        return false;
    }
    // The module base is the lowest loaded address; offsets count from it
    // plus 0x1000, as the reader expects.
    uint64_t base = UINT64_MAX;
    size_t nph = 0;
    elf_getphdrnum(elf, &nph);
    for (size_t i = 0; i < nph; ++i) {
        GElf_Phdr ph;
        if (gelf_getphdr(elf, int(i), &ph) && ph.p_type == PT_LOAD)
            base = std::min<uint64_t>(base, ph.p_vaddr & ~uint64_t(0xFFF));
    }
    if (base == UINT64_MAX) base = 0;
    auto toOffset = [&](uint64_t a) { return uint32_t(a - base - kCodeOffsetBase); };

    // The full symbol table when the file still has it, else the dynamic one.
    bool hasSymtab = false;
    for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(elf, scn));) {
        GElf_Shdr sh;
        if (gelf_getshdr(scn, &sh) && sh.sh_type == SHT_SYMTAB) hasSymtab = true;
    }
    const unsigned symtabType = hasSymtab ? SHT_SYMTAB : SHT_DYNSYM;
    for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(elf, scn));) {
        GElf_Shdr sh;
        if (!gelf_getshdr(scn, &sh) || sh.sh_type != symtabType) continue;
        Elf_Data* data = elf_getdata(scn, nullptr);
        size_t n = sh.sh_entsize ? sh.sh_size / sh.sh_entsize : 0;
        for (size_t i = 0; data && i < n; ++i) {
            GElf_Sym sym;
            if (!gelf_getsym(data, int(i), &sym) || GELF_ST_TYPE(sym.st_info) != STT_FUNC ||
                sym.st_shndx == SHN_UNDEF || sym.st_value < base + kCodeOffsetBase)
                continue;
            const char* name = elf_strptr(elf, sh.sh_link, sym.st_name);
            if (!name || !*name) continue;
            GenFunction f;
            f.Offset = toOffset(sym.st_value);
            f.Size = uint32_t(sym.st_size);
            f.Mangled = name;
            f.Demangled = Demangle(CleanSymbolName(name).c_str());
            f.Stored = StoredProcName(f.Demangled);
            mod.Functions.push_back(std::move(f));
        }
    }
    std::sort(mod.Functions.begin(), mod.Functions.end(),
              [](const GenFunction& a, const GenFunction& b) {
                  return a.Offset != b.Offset ? a.Offset < b.Offset : a.Size > b.Size;
              });
    // One function per address (aliases keep the first, widest one).
    mod.Functions.erase(std::unique(mod.Functions.begin(), mod.Functions.end(),
                                    [](const GenFunction& a, const GenFunction& b) {
                                        return a.Offset == b.Offset;
                                    }),
                        mod.Functions.end());
    // The functions as compiled whole, by name, for their parts to refer to.
    std::map<std::string, const GenFunction*> wholeFunction;
    for (const GenFunction& f : mod.Functions)
        if (CleanSymbolName(f.Mangled) == f.Mangled) wholeFunction.emplace(f.Mangled, &f);
    auto funcAt = [&](uint32_t off) -> const GenFunction* {
        auto it = std::upper_bound(mod.Functions.begin(), mod.Functions.end(), off,
                                   [](uint32_t o, const GenFunction& f) { return o < f.Offset; });
        if (it == mod.Functions.begin()) return nullptr;
        --it;
        if (off - it->Offset < std::max<uint32_t>(it->Size, 1)) return &*it;
        return nullptr;
    };

    // Each line row covers the code up to the next row of its sequence.  A
    // sequence may also hold rows of copies the linker dropped (described at
    // the kept copy's address), so a row counts only when its unit owns the
    // address.
    struct Span {
        uint32_t Start, End, Line;
        std::string File;
    };
    std::vector<Span> spans;
    Dwarf* dw = dwarf_begin_elf(elf, DWARF_C_READ, nullptr);
    if (dw) {
        Dwarf_Off off = 0, next;
        size_t hsize;
        while (dwarf_nextcu(dw, off, &next, &hsize, nullptr, nullptr, nullptr) == 0) {
            Dwarf_Die cu;
            Dwarf_Lines* lines;
            size_t nl;
            if (dwarf_offdie(dw, off + hsize, &cu) && dwarf_getsrclines(&cu, &lines, &nl) == 0) {
                Dwarf_Off cuOff = dwarf_dieoffset(&cu);
                for (size_t i = 0; i + 1 < nl; ++i) {
                    Dwarf_Line* l = dwarf_onesrcline(lines, i);
                    Dwarf_Line* n = dwarf_onesrcline(lines, i + 1);
                    Dwarf_Addr a, b;
                    int ln = 0;
                    bool end = false;
                    if (!l || !n || dwarf_lineaddr(l, &a) != 0 || dwarf_lineaddr(n, &b) != 0)
                        continue;
                    dwarf_lineendsequence(l, &end);
                    dwarf_lineno(l, &ln);
                    // Line 0 marks compiler-made code; discarded code sits at 0.
                    if (end || ln <= 0 || b <= a || a < base + kCodeOffsetBase) continue;
                    Dwarf_Die owner;
                    if (dwarf_addrdie(dw, a, &owner) && dwarf_dieoffset(&owner) != cuOff) continue;
                    spans.push_back({toOffset(a), toOffset(b), uint32_t(ln),
                                     BaseName(dwarf_linesrc(l, nullptr, nullptr))});
                }
            }
            off = next;
        }
        dwarf_end(dw);
    }
    elf_end(elf);
    close(fd);

    // One description per address: the first, cut where the next begins.
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span& x, const Span& y) { return x.Start < y.Start; });
    std::vector<Span> kept;
    for (auto& sp : spans) {
        if (!kept.empty() && kept.back().Start == sp.Start) continue;
        if (!kept.empty() && kept.back().End > sp.Start) kept.back().End = sp.Start;
        kept.push_back(std::move(sp));
    }

    // A function's code belongs to it alone.  A compiler-made part (above
    // all a ".cold" part, where throw sites live) may start without a line
    // row of its own; the row before it, of another function, would then
    // cover its start and lend it that function's name.  Such a row is cut
    // at the function's start, and the gap up to the function's first row
    // gets that row's line (or the cut row's, when the function has none).
    auto firstAtOrAfter = [&](uint32_t off) {
        return std::lower_bound(kept.begin(), kept.end(), off,
                                [](const Span& x, uint32_t o) { return x.Start < o; });
    };
    for (const GenFunction& f : mod.Functions) {
        if (f.Size == 0) continue;
        const uint32_t fEnd = f.Offset + f.Size;
        auto at = firstAtOrAfter(f.Offset);
        if (at != kept.end() && at->Start == f.Offset) continue;
        const bool inside = at != kept.end() && at->Start < fEnd;
        Span* before =
            at != kept.begin() && std::prev(at)->End > f.Offset ? &*std::prev(at) : nullptr;
        if (!inside && !before) continue;
        Span gap{f.Offset, inside ? at->Start : std::min(before->End, fEnd),
                 inside ? at->Line : before->Line, inside ? at->File : before->File};
        if (before) {
            if (before->End > gap.End) {
                // The cut row goes on after the function: keep its tail.
                Span tail{gap.End, before->End, before->Line, before->File};
                before->End = f.Offset;
                auto pos = kept.insert(firstAtOrAfter(f.Offset), std::move(gap));
                kept.insert(std::next(pos), std::move(tail));
                continue;
            }
            before->End = f.Offset;
        }
        kept.insert(firstAtOrAfter(f.Offset), std::move(gap));
    }

    // The first line of a function, for the procedure's start.  A compiler-
    // made part counts its lines from the start of the function it was cut
    // from.
    auto startLine = [&](const GenFunction& f, uint32_t fallback) {
        const GenFunction* whole = &f;
        if (auto parent = wholeFunction.find(CleanSymbolName(f.Mangled));
            parent != wholeFunction.end())
            whole = parent->second;
        auto it = firstAtOrAfter(whole->Offset);
        return it != kept.end() && it->Start < whole->Offset + std::max<uint32_t>(whole->Size, 1)
                   ? it->Line
                   : fallback;
    };
    DebugUnit* unit = nullptr;
    for (const auto& sp : kept) {
        if (!unit || unit->Name != sp.File || unit->EndOffset != sp.Start) {
            mod.Units.push_back({sp.File, {}, 0});
            unit = &mod.Units.back();
        }
        DebugPoint p;
        p.Line = sp.Line;
        p.Offset = sp.Start;
        if (const GenFunction* f = funcAt(sp.Start)) {
            p.Proc = f->Stored;
            p.ProcStartLine = startLine(*f, sp.Line);
        }
        unit->Points.push_back(std::move(p));
        unit->EndOffset = sp.End;
    }
    return true;
}

}  // namespace crashlog
