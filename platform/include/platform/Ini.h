// INI files read and written the way the suite's Windows programs did
// (private-profile files): section and key names compare without case, the
// first of duplicate sections or keys wins, values are read trimmed and
// without one pair of enclosing quotes, and a rewrite keeps every line it
// did not change byte for byte (comments, odd lines, CR LF or LF endings).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text.h"  // SameText, by which INI names compare

namespace kvo::platform {

// Integers as the suite reads them from INI files: optional blanks and sign,
// decimal, or hexadecimal after "$" or "0x" (32 bits, wrapping to negative
// like a DWORD); nothing may follow the number.  nullopt when the text is not
// such a number or does not fit.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

class IniFile {
  public:
    // newLine: the line end of lines added to a file that has none yet.
    explicit IniFile(std::string newLine = "\r\n") : newLine_(std::move(newLine)) {}

    // Replaces the contents by the text; lines without a section before them
    // are kept but belong to no section.
    void Parse(std::string_view text);
    std::string Text() const;

    // A missing file loads as empty and succeeds; a file that exists but
    // cannot be read fails and leaves the contents empty.
    bool Load(const std::string& localPath);
    // Writes through a temporary file in the same folder and renames it over
    // the target, so readers never see a half-written file.  Creates missing
    // folders.  False on any failure, with the old file left as it was.
    bool Save(const std::string& localPath) const;

    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // The default when the key is missing or is not a number (ParseIniInteger).
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t def) const;
    // A logical is an integer: any non-zero number is true; a missing key
    // or a text such as "true" gives the default.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    // A new key goes after the last key of its section, a new section at the
    // end of the file.  Keys and sections keep the case they were first
    // written with.  Values may not hold line breaks: they are replaced by
    // blanks, since a line break would split the value into a stray line.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int64_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);  // "1"/"0"

    // False when there was nothing to erase.
    bool EraseSection(std::string_view section);
    bool DeleteKey(std::string_view section, std::string_view key);

    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;
    std::vector<std::string> Sections() const;                      // file order
    std::vector<std::string> Keys(std::string_view section) const;  // file order

  private:
    enum class Kind { Other, Section, Key };
    struct Line {
        Kind kind = Kind::Other;
        std::string text;   // the line as found, without its line end
        std::string eol;    // "\r\n", "\n", "\r" or "" for a last line without one
        std::string name;   // section or key name
        std::string value;  // raw value text of a key line
    };

    static Line Classify(std::string text, std::string eol);
    // Index of the section's header line, or npos.
    std::size_t FindSection(std::string_view section) const;
    // One past the last line of the section starting at header.
    std::size_t SectionEnd(std::size_t header) const;
    std::size_t FindKey(std::size_t header, std::string_view key) const;
    std::string NewLine() const;

    std::vector<Line> lines_;
    std::string newLine_;
};

}  // namespace kvo::platform
