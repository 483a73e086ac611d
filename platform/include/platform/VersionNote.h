// The version note every program and library of the build carries, and its
// reader.  The build (cmake/VersionNote.cmake) writes one ELF note into the
// section ".note.kestavo.version":
//
//   namesz = 8, descsz, type = 1, name "Kestavo\0",
//   desc = four little-endian 32-bit numbers (major, minor, release, build)
//          followed by the description in UTF-8 and a terminating NUL,
//   padded to 4 bytes.
//
// A file without that note has no version.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kvo::platform {

inline constexpr const char* kVersionNoteSection = ".note.kestavo.version";
inline constexpr const char* kVersionNoteName = "Kestavo";
inline constexpr std::uint32_t kVersionNoteType = 1;

struct VersionNote {
    std::uint32_t major = 0, minor = 0, release = 0, build = 0;
    std::string description;
};

// Reads the note of an ELF file (32 or 64 bits, either byte order): from the
// section of that name, else from the PT_NOTE segments of a file whose
// section headers were stripped.  nullopt for a file that cannot be read, is
// not ELF or carries no well-formed note; no content makes it fail otherwise.
std::optional<VersionNote> ReadVersionNote(const std::string& localPath);
std::optional<VersionNote> ParseVersionNote(std::span<const unsigned char> image);

}  // namespace kvo::platform
