// Formats and the aligned list of the report's numbered sections.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "crashlog/CrashReport.h"
#include "report/ReportText.h"

namespace crashlog {
namespace report {

std::string Hex(std::uint64_t value, int digits) {
    // Called for every address and dump byte: no format parsing.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    int needed = 1;
    for (std::uint64_t v = value >> 4; v; v >>= 4)
        ++needed;
    std::string out(size_t(std::max(digits, needed)), '0');
    for (size_t i = out.size(); value; value >>= 4)
        out[--i] = kDigits[value & 15];
    return out;
}

std::string AddressText(std::uint64_t address) {
    return Hex(address, kAddressDigits);
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

std::string TrimRight(std::string_view s) {
    size_t e = s.size();
    while (e > 0 && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(0, e));
}

std::string FileNameOf(std::string_view path) {
    const size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string FolderOf(std::string_view path) {
    if (path.starts_with("\\??\\")) path.remove_prefix(4);
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string_view::npos) return {};
    // A root keeps its separator: "/" and "C:\".
    if (slash == 0) return std::string(path.substr(0, 1));
    if (slash == 2 && path[1] == ':') return std::string(path.substr(0, 3));
    return std::string(path.substr(0, slash));
}

std::string WithoutExtension(std::string_view name) {
    const size_t dot = name.find_last_of('.');
    const size_t slash = name.find_last_of("/\\");
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return std::string(name);
    return std::string(name.substr(0, dot));
}

std::string Cut(std::string_view s, std::size_t n) {
    return std::string(s.substr(0, n));
}

std::string BlankControlRuns(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    bool inRun = false;
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 32) {
            if (!inRun) out += ' ';
            inRun = true;
        } else {
            out += c;
            inRun = false;
        }
    }
    return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        size_t end = lf;
        if (end > start && text[end - 1] == '\r') --end;
        lines.emplace_back(text.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

static char Lower(char c) {
    return char(std::tolower(static_cast<unsigned char>(c)));
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && FindNoCase(s.substr(0, prefix.size()), prefix) == 0;
}

std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from) {
    if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
    for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && Lower(hay[i + k]) == Lower(needle[k]))
            ++k;
        if (k == needle.size()) return i;
    }
    return std::string_view::npos;
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
    if (from.empty()) return;
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
}

std::string FormatFileTime(double days) {
    if (days == 0) return {};
    const auto seconds = static_cast<std::time_t>(std::llround((days - 25569.0) * 86400.0));
    std::tm t{};
    gmtime_r(&seconds, &t);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

}  // namespace report

using namespace report;

TCrashTimeStamp CurrentTimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return {static_cast<std::int64_t>(now), static_cast<std::int32_t>(local.tm_gmtoff)};
}

std::string FormatUtcZone(std::int32_t utcOffsetSeconds) {
    // Whole-hour zones are written as such; a zone off the hour (India,
    // Newfoundland) keeps its minutes, since a rounded zone would name
    // another instant.
    const bool negative = utcOffsetSeconds < 0;
    const std::int32_t minutes = static_cast<std::int32_t>(
        std::lround(std::abs(static_cast<double>(utcOffsetSeconds)) / 60.0));
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02d%02d", negative && minutes ? '-' : '+', minutes / 60,
                  minutes % 60);
    return buf;
}

std::string FormatReportDate(const TCrashTimeStamp& stamp) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t local = static_cast<std::time_t>(stamp.UnixSeconds + stamp.UtcOffsetSeconds);
    std::tm t{};
    gmtime_r(&local, &t);
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d %s", kDays[t.tm_wday], t.tm_mday,
                  kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
                  FormatUtcZone(stamp.UtcOffsetSeconds).c_str());
    return buf;
}

std::string FormatDuration(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t parts[] = {seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60,
                                  seconds % 60};
    static constexpr const char* kUnits[] = {"day", "hour", "minute", "second"};
    std::string out;
    for (int i = 0; i < 4; ++i) {
        if (parts[i] == 0 && i < 3) continue;
        out += std::to_string(parts[i]) + " " + kUnits[i] + (parts[i] > 1 ? "s" : "");
        if (i < 3) out += ", ";
    }
    return out;
}

std::string FormatMemoryMb(std::uint64_t bytes) {
    return std::to_string((bytes + (1u << 19)) >> 20) + " Mb";
}

std::string FormatDiskGb(std::uint64_t bytes) {
    // "0.##": two decimals at most, trailing zeros dropped.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(bytes) / 1073741824.0);
    std::string s = buf;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s + " Gb";
}

std::string FormatIpAddress(std::uint32_t address) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%03u.%03u.%03u.%03u", address >> 24, (address >> 16) & 255,
                  (address >> 8) & 255, address & 255);
    return buf;
}

std::string NormalizeListValue(std::string_view value) {
    std::string v;
    v.reserve(value.size() + 8);
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\r') {
            v += "\r\n";
            if (i + 1 < value.size() && value[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            v += "\r\n";
        } else {
            v += c;
        }
    }
    while (v.ends_with("\r\n"))
        v.resize(v.size() - 2);
    if (v.find("\r\n") == std::string::npos) return v;
    ReplaceAll(v, ": ", ":_");
    std::string out;
    out.reserve(v.size() + 16);
    bool first = true;
    for (const std::string& line : SplitLines(v)) {
        if (!first) out += "\r\n ";
        out += Trim(line).empty() ? std::string(".") : line;
        first = false;
    }
    return out;
}

void TCrashAlignedList::AddSection(std::string_view title) {
    if (!text_.empty()) text_ += "\r\n";
    text_.append(title).append(":\r\n-\r\n");
    ++section_;
    item_ = 0;
}

void TCrashAlignedList::AddItem(std::string_view label, std::string_view value, bool shown) {
    ++item_;
    if (!shown) return;
    text_.append("  ")
        .append(std::to_string(section_))
        .append(".")
        .append(std::to_string(item_))
        .append(" ")
        .append(label)
        .append(": ")
        .append(NormalizeListValue(value))
        .append("\r\n");
}

namespace {

bool IsTitleLine(std::string_view line) {
    const size_t colon = line.find(':');
    return colon != std::string_view::npos && colon + 1 == line.size() && !line.empty() &&
           line[0] != ' ';
}

}  // namespace

std::string TCrashAlignedList::Finish(std::string_view prefix) const {
    std::vector<std::string> lines = SplitLines(text_);
    // (1) A section whose title is followed by its "-" line and then no
    // item loses both lines and the empty line after them.
    for (size_t i = 0; i + 1 < lines.size();) {
        const bool empty = IsTitleLine(lines[i]) && lines[i + 1] == "-" &&
                           (i + 2 >= lines.size() || lines[i + 2].empty());
        if (!empty) {
            ++i;
            continue;
        }
        const size_t count = i + 2 < lines.size() ? 3 : 2;
        lines.erase(lines.begin() + long(i), lines.begin() + long(i + count));
    }
    // (2) and (3), section by section: the "-" line, then item lines up to
    // the next empty line.
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != "-") continue;
        const size_t first = i + 1;
        size_t end = first;
        while (end < lines.size() && !lines[end].empty())
            ++end;
        size_t column = 0;
        for (size_t k = first; k < end; ++k) {
            const size_t p = lines[k].find(": ");
            if (p != std::string::npos) column = std::max(column, p);
        }
        size_t longest = 0;
        for (size_t k = first; k < end; ++k) {
            std::string& line = lines[k];
            const size_t p = line.find(": ");
            if (p != std::string::npos)
                line.insert(p, column - p, ' ');
            else
                line.insert(0, column + 1, ' ');
            longest = std::max(longest, line.size());
        }
        lines[i].assign(std::max<size_t>(longest, 1), '-');
        i = end;
    }
    std::string out(prefix);
    size_t total = out.size();
    for (const auto& line : lines)
        total += line.size() + 2;
    out.reserve(total);
    for (const auto& line : lines)
        out.append(line).append("\r\n");
    return out;
}

void ReplaceEmailAddress(std::string& text, std::string_view address) {
    const size_t line = text.find("\r\n  3.3 ");
    if (line == std::string::npos) return;
    const size_t colon = text.find(": ", line + 2);
    if (colon == std::string::npos) return;
    const size_t start = colon + 2;
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    // The address is typed by the user: a line break in it must not forge
    // report lines.
    std::string clean(address);
    for (char& c : clean)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    text.replace(start, end - start, clean);
}

}  // namespace crashlog
