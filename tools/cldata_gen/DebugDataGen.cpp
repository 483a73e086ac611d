#include "DebugDataGen.h"

#include <cxxabi.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace crashlog {

namespace {

std::string Demangle(const char* name) {
    int st = 0;
    std::unique_ptr<char, decltype(&std::free)> d(abi::__cxa_demangle(name, nullptr, nullptr, &st),
                                                  &std::free);
    return st == 0 && d ? std::string(d.get()) : std::string(name);
}

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

    for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(elf, scn));) {
        GElf_Shdr sh;
        if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB) continue;
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
            f.Demangled = Demangle(name);
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
    auto funcAt = [&](uint32_t off) -> const GenFunction* {
        auto it = std::upper_bound(mod.Functions.begin(), mod.Functions.end(), off,
                                   [](uint32_t o, const GenFunction& f) { return o < f.Offset; });
        if (it == mod.Functions.begin()) return nullptr;
        --it;
        if (off - it->Offset < std::max<uint32_t>(it->Size, 1)) return &*it;
        return nullptr;
    };

    struct Row {
        uint32_t Offset, Line;
        std::string File;
        bool End;
    };
    std::vector<std::vector<Row>> sequences;
    Dwarf* dw = dwarf_begin_elf(elf, DWARF_C_READ, nullptr);
    if (dw) {
        Dwarf_Off off = 0, next;
        size_t hsize;
        while (dwarf_nextcu(dw, off, &next, &hsize, nullptr, nullptr, nullptr) == 0) {
            Dwarf_Die cu;
            if (dwarf_offdie(dw, off + hsize, &cu)) {
                Dwarf_Lines* lines;
                size_t nl;
                if (dwarf_getsrclines(&cu, &lines, &nl) == 0) {
                    std::vector<Row> seq;
                    for (size_t i = 0; i < nl; ++i) {
                        Dwarf_Line* l = dwarf_onesrcline(lines, i);
                        Dwarf_Addr a;
                        int ln = 0;
                        bool end = false;
                        if (!l || dwarf_lineaddr(l, &a) != 0) continue;
                        dwarf_lineno(l, &ln);
                        dwarf_lineendsequence(l, &end);
                        if (a < base + kCodeOffsetBase) {
                            // Discarded code (address 0) of a sequence.
                            if (end) seq.clear();
                            continue;
                        }
                        seq.push_back({toOffset(a), uint32_t(std::max(ln, 0)),
                                       BaseName(dwarf_linesrc(l, nullptr, nullptr)), end});
                        if (end) {
                            sequences.push_back(std::move(seq));
                            seq.clear();
                        }
                    }
                }
            }
            off = next;
        }
        dwarf_end(dw);
    }
    elf_end(elf);
    close(fd);

    std::sort(sequences.begin(), sequences.end(),
              [](const auto& a, const auto& b) { return a.front().Offset < b.front().Offset; });
    for (auto& seq : sequences) {
        // Of several rows at one address the last one holds.
        std::vector<Row> rows;
        for (size_t i = 0; i < seq.size(); ++i) {
            if (i + 1 < seq.size() && seq[i + 1].Offset == seq[i].Offset) continue;
            rows.push_back(seq[i]);
        }
        DebugUnit* unit = nullptr;
        for (size_t i = 0; i + 1 < rows.size() || (i < rows.size() && !rows[i].End); ++i) {
            const Row& r = rows[i];
            if (r.End) break;
            if (r.Line == 0) continue;  // compiler-made code without a line
            if (!unit || unit->Name != r.File) {
                mod.Units.push_back({r.File, {}, 0});
                unit = &mod.Units.back();
            }
            DebugPoint p;
            p.Line = r.Line;
            p.Offset = r.Offset;
            if (const GenFunction* f = funcAt(r.Offset)) {
                p.Proc = f->Stored;
                auto first =
                    std::lower_bound(rows.begin(), rows.end(), f->Offset,
                                     [](const Row& x, uint32_t o) { return x.Offset < o; });
                p.ProcStartLine = first != rows.end() && first->Line ? first->Line : r.Line;
            }
            unit->Points.push_back(std::move(p));
            unit->EndOffset = i + 1 < rows.size() ? rows[i + 1].Offset : r.Offset + 1;
        }
    }
    return true;
}

}  // namespace crashlog
