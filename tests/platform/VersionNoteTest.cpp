#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "platform/System.h"
#include "platform/VersionNote.h"

namespace kvo::platform {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <typename T>
void Put(Bytes& b, std::size_t off, const T& value) {
    if (b.size() < off + sizeof value) b.resize(off + sizeof value);
    std::memcpy(b.data() + off, &value, sizeof value);
}

Bytes Note(const std::string& description, std::uint32_t type = kVersionNoteType) {
    Bytes n;
    std::string text = description + '\0';
    Put(n, 0, std::uint32_t{8});
    Put(n, 4, static_cast<std::uint32_t>(16 + text.size()));
    Put(n, 8, type);
    n.resize(12);
    n.insert(n.end(), {'K', 'e', 's', 't', 'a', 'v', 'o', 0});
    for (std::uint32_t v : {7u, 8u, 9u, 10u})
        Put(n, n.size(), v);
    n.insert(n.end(), text.begin(), text.end());
    n.resize((n.size() + 3) & ~std::size_t{3});
    return n;
}

// A minimal 64-bit ELF file holding the notes in its note section and in a
// PT_NOTE segment.
Bytes SyntheticElf(const Bytes& notes, bool withSections = true) {
    Bytes b(sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr));
    const std::size_t noteOff = b.size();
    for (unsigned char c : notes)
        b.push_back(c);
    const std::size_t strOff = b.size();
    const char strtab[] = "\0.shstrtab\0.note.kestavo.version";
    b.insert(b.end(), strtab, strtab + sizeof strtab);
    b.resize((b.size() + 7) & ~std::size_t{7});
    const std::size_t shOff = b.size();

    Elf64_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_EXEC;
    eh.e_machine = EM_X86_64;
    eh.e_phoff = sizeof(Elf64_Ehdr);
    eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_phnum = 1;
    eh.e_shoff = withSections ? shOff : 0;
    eh.e_shentsize = sizeof(Elf64_Shdr);
    eh.e_shnum = withSections ? 3 : 0;
    eh.e_shstrndx = withSections ? 1 : 0;
    Put(b, 0, eh);
    Elf64_Phdr ph{};
    ph.p_type = PT_NOTE;
    ph.p_offset = noteOff;
    ph.p_filesz = notes.size();
    Put(b, sizeof eh, ph);
    if (withSections) {
        Elf64_Shdr null{}, str{}, note{};
        str.sh_name = 1;
        str.sh_type = SHT_STRTAB;
        str.sh_offset = strOff;
        str.sh_size = sizeof strtab;
        note.sh_name = 11;
        note.sh_type = SHT_NOTE;
        note.sh_offset = noteOff;
        note.sh_size = notes.size();
        Put(b, shOff, null);
        Put(b, shOff + sizeof(Elf64_Shdr), str);
        Put(b, shOff + 2 * sizeof(Elf64_Shdr), note);
    }
    return b;
}

TEST(VersionNote, ReadBackFromThisBuiltProgram) {
    auto v = ReadVersionNote(ExecutablePath());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->major, 4u);
    EXPECT_EQ(v->minor, 3u);
    EXPECT_EQ(v->release, 2u);
    EXPECT_EQ(v->build, 1u);
    EXPECT_EQ(v->description, "Version note \"probe\" \xC3\xA9");
}

TEST(VersionNote, FilesWithoutTheNoteHaveNoVersion) {
    EXPECT_FALSE(ReadVersionNote("/nonexistent/file"));
    EXPECT_FALSE(ReadVersionNote("/proc/self/status"));  // not ELF
    EXPECT_FALSE(ReadVersionNote("/"));
    const std::string other = "/bin/true";  // built elsewhere: ELF without our note
    EXPECT_FALSE(ReadVersionNote(other));
    EXPECT_FALSE(ParseVersionNote(SyntheticElf(Note("x", 2))));
}

TEST(VersionNote, FoundAmongOtherNotesAndWithoutSectionHeaders) {
    Bytes notes = Note("skip me", 3);
    Bytes ours = Note("Tarnwick");
    notes.insert(notes.end(), ours.begin(), ours.end());
    for (bool sections : {true, false}) {
        auto v = ParseVersionNote(SyntheticElf(notes, sections));
        ASSERT_TRUE(v) << sections;
        EXPECT_EQ(v->description, "Tarnwick");
        EXPECT_EQ(v->build, 10u);
    }
}

TEST(VersionNote, TruncatedAndGarbledFilesNeverCrash) {
    const Bytes good = SyntheticElf(Note("Tarnwick"));
    ASSERT_TRUE(ParseVersionNote(good));
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_FALSE(ParseVersionNote(std::span(good.data(), n)) &&
                     ParseVersionNote(std::span(good.data(), n))->description != "Tarnwick")
            << n;
    // A note whose sizes run past the section, a description without its NUL.
    Bytes bad = good;
    Put(bad, sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr) + 4, std::uint32_t{0xFFFFFFF0});
    EXPECT_FALSE(ParseVersionNote(bad));
    bad = good;
    Put(bad, sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr) + 4, std::uint32_t{16 + 8});
    bad[sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr) + 20 + 16 + 8] = 'X';
    EXPECT_FALSE(ParseVersionNote(bad) && ParseVersionNote(bad)->description.size() > 8);

    Bytes real = ReadBytes(ExecutablePath());
    ASSERT_GT(real.size(), 4096u);
    std::mt19937 rng(12345);
    for (int round = 0; round < 3000; ++round) {
        Bytes mutated = round % 2 ? real : good;
        const std::size_t headerArea = std::min<std::size_t>(mutated.size(), 256);
        for (int flips = 1 + round % 8; flips > 0; --flips) {
            std::size_t at = round % 3 ? rng() % headerArea : rng() % mutated.size();
            mutated[at] = static_cast<unsigned char>(rng());
        }
        // Section headers of the real program are garbled too.
        if (round % 2) {
            std::size_t tail =
                mutated.size() - 1 - rng() % std::min<std::size_t>(4096, mutated.size());
            mutated[tail] = static_cast<unsigned char>(rng());
            mutated.resize(mutated.size() - rng() % 64);
        }
        (void)ParseVersionNote(mutated);
    }
}

}  // namespace
}  // namespace kvo::platform
