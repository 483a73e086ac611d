#include "CrashDebugElf.h"

#include <fcntl.h>
#include <gelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace crashlog {

namespace {

// Owns a file descriptor and the libelf handle on it.
struct ElfFile {
    int Fd = -1;
    Elf* E = nullptr;
    explicit ElfFile(const std::string& path) {
        elf_version(EV_CURRENT);
        Fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (Fd >= 0) E = elf_begin(Fd, ELF_C_READ_MMAP, nullptr);
        if (E && elf_kind(E) != ELF_K_ELF) {
            elf_end(E);
            E = nullptr;
        }
    }
    ~ElfFile() {
        if (E) elf_end(E);
        if (Fd >= 0) close(Fd);
    }
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;
};

}  // namespace

bool ReadWholeFile(const std::string& path, Bytes& out, size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && st.st_size >= 0 && size_t(st.st_size) <= limit;
    if (ok) {
        out.resize(size_t(st.st_size));
        size_t got = 0;
        while (got < out.size()) {
            ssize_t r = read(fd, out.data() + got, out.size() - got);
            if (r <= 0) break;
            got += size_t(r);
        }
        ok = got == out.size();
    }
    close(fd);
    return ok;
}

bool ReadElfModuleFile(const std::string& path, ElfModuleFile& out) {
    ElfFile f(path);
    if (!f.E) return false;
    GElf_Ehdr eh;
    if (!gelf_getehdr(f.E, &eh)) return false;
    out.Type = eh.e_type;
    out.CodeStart = UINT64_MAX;
    size_t shstrndx = 0;
    if (elf_getshdrstrndx(f.E, &shstrndx) != 0) return false;
    for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(f.E, scn));) {
        GElf_Shdr sh;
        if (!gelf_getshdr(scn, &sh)) continue;
        const char* name = elf_strptr(f.E, shstrndx, sh.sh_name);
        if ((sh.sh_flags & SHF_EXECINSTR) && sh.sh_addr < out.CodeStart) out.CodeStart = sh.sh_addr;
        if (name && std::strcmp(name, kCLDataSection) == 0 && sh.sh_type != SHT_NOBITS) {
            Elf_Data* d = elf_rawdata(scn, nullptr);
            if (d && d->d_buf) {
                auto* p = static_cast<const uint8_t*>(d->d_buf);
                out.CLData.assign(p, p + d->d_size);
            }
        }
        if (sh.sh_type == SHT_DYNSYM) {
            Elf_Data* d = elf_getdata(scn, nullptr);
            size_t n = sh.sh_entsize ? sh.sh_size / sh.sh_entsize : 0;
            for (size_t i = 0; d && i < n; ++i) {
                GElf_Sym sym;
                if (!gelf_getsym(d, int(i), &sym)) continue;
                int type = GELF_ST_TYPE(sym.st_info);
                if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF)
                    continue;
                const char* sn = elf_strptr(f.E, sh.sh_link, sym.st_name);
                if (!sn || !*sn) continue;
                out.Exports.push_back({sn, sym.st_value, sym.st_size});
            }
        }
    }
    if (out.CodeStart == UINT64_MAX) out.CodeStart = 0;
    // Library data may instead be appended to the file.
    struct stat st {};
    if (fstat(f.Fd, &st) == 0 && st.st_size >= 8) {
        uint8_t tail[4];
        if (pread(f.Fd, tail, 4, st.st_size - 4) == 4) {
            uint32_t magic = uint32_t(tail[0]) | uint32_t(tail[1]) << 8 | uint32_t(tail[2]) << 16 |
                             uint32_t(tail[3]) << 24;
            out.HasAppendedMagic = magic == kCLDataMagic || magic == kCLDataMagicOld;
        }
    }
    return true;
}

bool ReadVersionNote(const std::string& fileName, std::string& version, std::string& description) {
    ElfFile f(fileName);
    if (!f.E) return false;
    for (Elf_Scn* scn = nullptr; (scn = elf_nextscn(f.E, scn));) {
        GElf_Shdr sh;
        if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_NOTE) continue;
        Elf_Data* d = elf_getdata(scn, nullptr);
        if (!d || !d->d_buf) continue;
        size_t off = 0, nameOff, descOff;
        GElf_Nhdr nh;
        while ((off = gelf_getnote(d, off, &nh, &nameOff, &descOff)) > 0) {
            auto* base = static_cast<const char*>(d->d_buf);
            std::string_view owner(base + nameOff, nh.n_namesz ? nh.n_namesz - 1 : 0);
            if (owner != "Kestavo" || nh.n_type != 1 || nh.n_descsz < 16) continue;
            const auto* p = reinterpret_cast<const uint8_t*>(base + descOff);
            uint32_t v[4];
            for (int i = 0; i < 4; ++i)
                v[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 |
                       uint32_t(p[4 * i + 2]) << 16 | uint32_t(p[4 * i + 3]) << 24;
            version = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." +
                      std::to_string(v[2]) + "." + std::to_string(v[3]);
            const char* text = reinterpret_cast<const char*>(p + 16);
            description.assign(text, strnlen(text, nh.n_descsz - 16));
            return true;
        }
    }
    return false;
}

}  // namespace crashlog
