// Conversions between the texts callers write ("DD/MM/YYYY", "True", "12.5")
// and the values kept in the database file.  Dates are stored as ISO text
// ("YYYY-MM-DD") so that SQL comparison is calendar order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/Text.h"

namespace kvo::engine::detail {

std::string_view Trim(std::string_view text);
// Table, field and database names fold and compare case as the suite's
// other names do: ASCII letters only.
using platform::SameText;
using platform::UpperAscii;

// "D/M/YYYY" or "DD/MM/YYYY" (a real calendar day) to "YYYY-MM-DD".
std::optional<std::string> DisplayDateToIso(std::string_view text);
// "YYYY-MM-DD" to "DD/MM/YYYY"; other texts come back unchanged.
std::string IsoDateToDisplay(std::string_view iso);
// "H:MM", "HH:MM" or "HH:MM:SS" to "HH:MM:SS".
std::optional<std::string> NormaliseTime(std::string_view text);

std::optional<std::int64_t> ParseInteger(std::string_view text);
std::optional<double> ParseNumber(std::string_view text);  // finite numbers only
std::optional<bool> ParseLogical(std::string_view text);
std::string FormatNumber(double value);

// A small stand-in for std::format, which this compiler lacks: "{}" takes
// the next argument, "{:0N}" pads a number with zeros to N digits.
std::string FormatArgs(std::string_view pattern, const std::vector<std::string>& args);

template <typename T>
std::string FormatArg(const T& value) {
    if constexpr (std::is_same_v<T, bool>)
        return value ? "true" : "false";
    else if constexpr (std::is_integral_v<T>)
        return std::to_string(value);
    else if constexpr (std::is_floating_point_v<T>)
        return FormatNumber(static_cast<double>(value));
    else
        return std::string(std::string_view(value));
}

template <typename... Args>
std::string Format(std::string_view pattern, const Args&... args) {
    return FormatArgs(pattern, std::vector<std::string>{FormatArg(args)...});
}

// Length in characters of UTF-8 text (continuation bytes are not counted).
std::size_t CharacterCount(std::string_view text);

}  // namespace kvo::engine::detail
