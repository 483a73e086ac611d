// Small text helpers shared by the log file units.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace crashlog::logtext {

inline constexpr std::string_view kCrLf = "\r\n";

// Splits at CR LF; a text ending in CR LF gives a last empty line.
std::vector<std::string> SplitLines(std::string_view text);
std::string JoinLines(const std::vector<std::string>& lines);

std::string_view Trim(std::string_view s);
std::string_view TrimRight(std::string_view s);
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// The entry's version text: its first line after the library name.
std::string EntryVersion(std::string_view entry);

}  // namespace crashlog::logtext
