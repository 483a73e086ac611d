#include "platform/VersionNote.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kvo::platform {
namespace {

// Bounds-checked reads of an ELF image in its own byte order and class.
class Image {
  public:
    explicit Image(std::span<const unsigned char> bytes) : b_(bytes) {}

    bool Ok() const {
        if (b_.size() < EI_NIDENT || std::memcmp(b_.data(), ELFMAG, SELFMAG) != 0) return false;
        return (b_[EI_CLASS] == ELFCLASS32 || b_[EI_CLASS] == ELFCLASS64) &&
               (b_[EI_DATA] == ELFDATA2LSB || b_[EI_DATA] == ELFDATA2MSB);
    }
    bool Is64() const { return b_[EI_CLASS] == ELFCLASS64; }
    bool Little() const { return b_[EI_DATA] == ELFDATA2LSB; }

    // Unsigned value of n bytes at off; false when it lies outside the image.
    bool Get(std::uint64_t off, unsigned n, std::uint64_t& out) const {
        if (off > b_.size() || n > b_.size() - off) return false;
        out = 0;
        for (unsigned i = 0; i < n; ++i) {
            unsigned byte = Little() ? n - 1 - i : i;
            out = (out << 8) | b_[off + byte];
        }
        return true;
    }
    bool Word(std::uint64_t off, std::uint64_t& out) const { return Get(off, 4, out); }
    bool Addr(std::uint64_t off, std::uint64_t& out) const { return Get(off, Is64() ? 8 : 4, out); }
    bool Half(std::uint64_t off, std::uint64_t& out) const { return Get(off, 2, out); }
    bool Range(std::uint64_t off, std::uint64_t size) const {
        return off <= b_.size() && size <= b_.size() - off;
    }
    const unsigned char* At(std::uint64_t off) const { return b_.data() + off; }

  private:
    std::span<const unsigned char> b_;
};

std::uint64_t Align4(std::uint64_t v) {
    return (v + 3) & ~std::uint64_t{3};
}

// Walks the notes in [off, off + size) and decodes the first version note.
std::optional<VersionNote> FromNotes(const Image& img, std::uint64_t off, std::uint64_t size) {
    if (!img.Range(off, size)) return std::nullopt;
    const std::uint64_t end = off + size;
    while (end - off >= 12) {
        std::uint64_t namesz = 0, descsz = 0, type = 0;
        img.Word(off, namesz);
        img.Word(off + 4, descsz);
        img.Word(off + 8, type);
        std::uint64_t name = off + 12;
        if (namesz > end - name) return std::nullopt;
        std::uint64_t desc = name + Align4(namesz);
        if (desc > end || descsz > end - desc) return std::nullopt;
        const std::size_t wantName = std::strlen(kVersionNoteName) + 1;
        if (type == kVersionNoteType && namesz == wantName &&
            std::memcmp(img.At(name), kVersionNoteName, wantName) == 0) {
            if (descsz < 17) return std::nullopt;  // four numbers and at least the NUL
            VersionNote v;
            std::uint64_t n[4] = {};
            for (int i = 0; i < 4; ++i)
                img.Word(desc + 4 * i, n[i]);
            v.major = static_cast<std::uint32_t>(n[0]);
            v.minor = static_cast<std::uint32_t>(n[1]);
            v.release = static_cast<std::uint32_t>(n[2]);
            v.build = static_cast<std::uint32_t>(n[3]);
            const char* text = reinterpret_cast<const char*>(img.At(desc + 16));
            const std::size_t room = static_cast<std::size_t>(descsz - 16);
            const void* nul = std::memchr(text, '\0', room);
            if (!nul) return std::nullopt;
            v.description.assign(text, static_cast<const char*>(nul));
            return v;
        }
        std::uint64_t next = desc + Align4(descsz);
        if (next <= off || next > end) return std::nullopt;
        off = next;
    }
    return std::nullopt;
}

std::optional<VersionNote> FromSections(const Image& img) {
    const bool is64 = img.Is64();
    std::uint64_t shoff, shentsize, shnum, shstrndx;
    if (!img.Addr(is64 ? 0x28 : 0x20, shoff) || !img.Half(is64 ? 0x3A : 0x2E, shentsize) ||
        !img.Half(is64 ? 0x3C : 0x30, shnum) || !img.Half(is64 ? 0x3E : 0x32, shstrndx))
        return std::nullopt;
    const std::uint64_t minEntry = is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if (shoff == 0 || shentsize < minEntry || shnum == 0 || shstrndx >= shnum) return std::nullopt;
    if (!img.Range(shoff, shnum * shentsize)) return std::nullopt;
    auto header = [&](std::uint64_t i, std::uint64_t& type, std::uint64_t& nameOff,
                      std::uint64_t& off, std::uint64_t& size) {
        std::uint64_t h = shoff + i * shentsize;
        return img.Word(h, nameOff) && img.Word(h + 4, type) &&
               img.Addr(h + (is64 ? 0x18 : 0x10), off) && img.Addr(h + (is64 ? 0x20 : 0x14), size);
    };
    std::uint64_t strType, strName, strOff, strSize;
    if (!header(shstrndx, strType, strName, strOff, strSize) || !img.Range(strOff, strSize))
        return std::nullopt;
    const std::size_t wantLen = std::strlen(kVersionNoteSection);
    for (std::uint64_t i = 0; i < shnum; ++i) {
        std::uint64_t type, nameOff, off, size;
        if (!header(i, type, nameOff, off, size) || type == SHT_NOBITS) continue;
        if (nameOff >= strSize || strSize - nameOff < wantLen + 1) continue;
        if (std::memcmp(img.At(strOff + nameOff), kVersionNoteSection, wantLen + 1) != 0) continue;
        return FromNotes(img, off, size);
    }
    return std::nullopt;
}

std::optional<VersionNote> FromSegments(const Image& img) {
    const bool is64 = img.Is64();
    std::uint64_t phoff, phentsize, phnum;
    if (!img.Addr(is64 ? 0x20 : 0x1C, phoff) || !img.Half(is64 ? 0x36 : 0x2A, phentsize) ||
        !img.Half(is64 ? 0x38 : 0x2C, phnum))
        return std::nullopt;
    const std::uint64_t minEntry = is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    if (phoff == 0 || phentsize < minEntry || !img.Range(phoff, phnum * phentsize))
        return std::nullopt;
    for (std::uint64_t i = 0; i < phnum; ++i) {
        std::uint64_t h = phoff + i * phentsize, type, off, size;
        if (!img.Word(h, type) || type != PT_NOTE) continue;
        if (!img.Addr(h + (is64 ? 0x08 : 0x04), off) || !img.Addr(h + (is64 ? 0x20 : 0x10), size))
            continue;
        if (auto v = FromNotes(img, off, size)) return v;
    }
    return std::nullopt;
}

}  // namespace

std::optional<VersionNote> ParseVersionNote(std::span<const unsigned char> bytes) {
    Image img(bytes);
    if (!img.Ok()) return std::nullopt;
    if (auto v = FromSections(img)) return v;
    return FromSegments(img);
}

std::optional<VersionNote> ReadVersionNote(const std::string& localPath) {
    int fd = ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::vector<unsigned char> bytes;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t have = 0;
        while (have < bytes.size()) {
            ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // a file that shrank is parsed as far as it goes
            have += static_cast<std::size_t>(n);
        }
        bytes.resize(have);
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return ParseVersionNote(bytes);
}

}  // namespace kvo::platform
