#include "values.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kvo::engine::detail {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

namespace {

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int ToInt(std::string_view s) {
    int value = 0;
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
}

bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : days[month - 1];
}

}  // namespace

std::optional<std::string> DisplayDateToIso(std::string_view text) {
    text = Trim(text);
    const auto first = text.find('/');
    const auto second = first == std::string_view::npos ? first : text.find('/', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const auto d = text.substr(0, first);
    const auto m = text.substr(first + 1, second - first - 1);
    const auto y = text.substr(second + 1);
    if (!AllDigits(d) || !AllDigits(m) || !AllDigits(y) || d.size() > 2 || m.size() > 2 ||
        y.size() != 4)
        return std::nullopt;
    const int day = ToInt(d), month = ToInt(m), year = ToInt(y);
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return std::nullopt;
    return Format("{:04}-{:02}-{:02}", year, month, day);
}

std::string IsoDateToDisplay(std::string_view iso) {
    if (iso.size() != 10 || iso[4] != '-' || iso[7] != '-') return std::string(iso);
    // Every date read goes through here: put the digits in place directly.
    std::string display = "DD/MM/YYYY";
    display.replace(0, 2, iso.substr(8, 2));
    display.replace(3, 2, iso.substr(5, 2));
    display.replace(6, 4, iso.substr(0, 4));
    return display;
}

std::optional<std::string> NormaliseTime(std::string_view text) {
    text = Trim(text);
    int parts[3] = {0, 0, 0};
    int count = 0;
    while (count < 3) {
        const auto colon = text.find(':');
        const auto piece = text.substr(0, colon);
        if (!AllDigits(piece) || piece.size() > 2) return std::nullopt;
        parts[count++] = ToInt(piece);
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
        if (count == 3) return std::nullopt;
    }
    if (count < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
    return Format("{:02}:{:02}:{:02}", parts[0], parts[1], parts[2]);
}

std::optional<std::int64_t> ParseInteger(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> ParseNumber(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<bool> ParseLogical(std::string_view text) {
    const std::string t = UpperAscii(std::string(Trim(text)));
    if (t == "TRUE" || t == "T" || t == "YES" || t == "Y" || t == "1") return true;
    if (t == "FALSE" || t == "F" || t == "NO" || t == "N" || t == "0") return false;
    return std::nullopt;
}

std::string FormatNumber(double value) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

std::string FormatArgs(std::string_view pattern, const std::vector<std::string>& args) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '{') {
            out += pattern[i];
            continue;
        }
        const auto close = pattern.find('}', i);
        if (close == std::string_view::npos) {
            out += pattern.substr(i);
            break;
        }
        const auto spec = pattern.substr(i + 1, close - i - 1);
        std::string text = next < args.size() ? args[next] : std::string();
        ++next;
        if (spec.size() > 2 && spec[0] == ':' && spec[1] == '0') {
            std::size_t width = 0;
            std::from_chars(spec.data() + 2, spec.data() + spec.size(), width);
            if (text.size() < width) text.insert(0, width - text.size(), '0');
        }
        out += text;
        i = close;
    }
    return out;
}

std::size_t CharacterCount(std::string_view text) {
    std::size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

}  // namespace kvo::engine::detail
