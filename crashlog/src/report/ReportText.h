// Small text helpers shared by the report's units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace crashlog::report {

inline constexpr std::string_view kCrLf = "\r\n";

// Upper-case hex, zero-padded to `digits`.
std::string Hex(std::uint64_t value, int digits);
// An address in as many digits as a pointer has.
std::string AddressText(std::uint64_t address);
std::string Trim(std::string_view s);
std::string TrimRight(std::string_view s);
// The file name without its folder.
std::string FileNameOf(std::string_view path);
// The folder without its trailing slash ("/" stays), "\\??\\" prefix dropped.
std::string FolderOf(std::string_view path);
// The name without its last extension.
std::string WithoutExtension(std::string_view name);
// At most `n` characters.
std::string Cut(std::string_view s, std::size_t n);
// Every run of characters below 32 made one blank.
std::string BlankControlRuns(std::string_view s);
// Lines split at CR LF (a lone LF also ends a line); no trailing empty line
// for a text ending in a line break.
std::vector<std::string> SplitLines(std::string_view text);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
// Position of `needle` in `hay` ignoring ASCII case, or npos.
std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from = 0);
void ReplaceAll(std::string& s, std::string_view from, std::string_view to);
// "yyyy-mm-dd hh:nn:ss" of a local date-time in days since 30/12/1899.
std::string FormatFileTime(double days);

}  // namespace crashlog::report
