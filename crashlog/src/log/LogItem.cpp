#include <algorithm>

#include "crashlog/CrashLogFile.h"
#include "log/LogText.h"

namespace crashlog {

namespace logtext {

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (true) {
        std::size_t at = text.find(kCrLf, start);
        if (at == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, at - start));
        start = at + 2;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) out += kCrLf;
        out += lines[i];
    }
    return out;
}

static bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0' ||
           (static_cast<unsigned char>(c) < 32);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return TrimRight(s);
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (true) {
        std::size_t at = text.find(from, start);
        if (at == std::string_view::npos) {
            out.append(text.substr(start));
            return out;
        }
        out.append(text.substr(start, at - start));
        out.append(to);
        start = at + from.size();
    }
}

// The first line is the library's name, a blank and its version.  The
// version is taken after the first blank rather than at a fixed column, so
// that it does not depend on the length of the name.
std::string EntryVersion(std::string_view entry) {
    std::string_view first = entry.substr(0, entry.find(kCrLf));
    std::size_t blank = first.find(' ');
    return blank == std::string_view::npos ? std::string()
                                           : std::string(Trim(first.substr(blank + 1)));
}

}  // namespace logtext

using namespace logtext;

std::string NormalizeLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out += kCrLf;
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += kCrLf;
        } else {
            out += c;
        }
    }
    return out;
}

std::string EscapeLogValue(std::string_view value) {
    std::string text = NormalizeLineBreaks(value);
    if (text.find(kCrLf) == std::string::npos) return text;
    std::vector<std::string> lines = SplitLines(ReplaceAll(text, ": ", ":_"));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (Trim(lines[i]).empty()) lines[i] = ".";
        if (i > 0) lines[i] = " " + lines[i];
    }
    return JoinLines(lines);
}

std::string UnescapeLogValue(std::string_view value) {
    std::vector<std::string> lines = SplitLines(value);
    for (auto& line : lines) {
        std::string_view trimmed = Trim(line);
        line = trimmed == "." ? std::string() : ReplaceAll(trimmed, ":_", ": ");
    }
    return std::string(Trim(JoinLines(lines)));
}

void TLogItem::AddSection(std::string_view title) {
    ++section_;
    item_ = 0;
    if (!text_.empty()) text_ += "\r\n\r\n";
    text_ += title;
    text_ += ":\r\n-";
}

void TLogItem::AddItem(std::string_view label, std::string_view value, bool shown) {
    ++item_;
    if (!shown) return;
    text_ += "\r\n  ";
    text_ += std::to_string(section_);
    text_ += '.';
    text_ += std::to_string(item_);
    text_ += ' ';
    text_ += label;
    text_ += ": ";
    text_ += EscapeLogValue(value);
}

namespace {

// A title is a non-empty line whose first ":" is its last character.  Item
// continuation lines always start with a blank, so a value line ending in
// ":" is never taken for a title.
bool IsTitle(const std::string& line) {
    return !line.empty() && line[0] != ' ' && line.find(':') == line.size() - 1;
}

}  // namespace

std::string TLogItem::Text() const {
    std::vector<std::string> lines = SplitLines(text_);

    // Sections whose items were all hidden disappear with their rule and
    // the blank line after them.
    for (std::size_t i = 0; i < lines.size();) {
        if (IsTitle(lines[i]) && (i + 2 >= lines.size() || lines[i + 2].empty())) {
            std::size_t end = std::min(lines.size(), i + 3);
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i),
                        lines.begin() + static_cast<std::ptrdiff_t>(end));
            continue;
        }
        ++i;
    }
    // A trailing blank line left by a dropped last section.
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();

    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!IsTitle(lines[i]) || i + 1 >= lines.size()) continue;
        std::size_t first = i + 2, last = first;
        while (last < lines.size() && !lines[last].empty())
            ++last;
        std::size_t widest = 0;
        for (std::size_t k = first; k < last; ++k) {
            std::size_t p = lines[k].find(": ");
            widest = std::max(widest, p == std::string::npos ? 0 : p + 1);
        }
        std::size_t longest = 0;
        for (std::size_t k = first; k < last; ++k) {
            std::size_t p = lines[k].find(": ");
            std::size_t pos = p == std::string::npos ? 0 : p + 1;
            std::size_t at = pos == 0 ? 0 : pos - 1;
            lines[k] =
                lines[k].substr(0, at) + std::string(widest - pos, ' ') + lines[k].substr(at);
            longest = std::max(longest, lines[k].size());
        }
        lines[i + 1] = std::string(std::max<std::size_t>(longest, 1), '-');
        i = last;
    }
    return JoinLines(lines);
}

}  // namespace crashlog
