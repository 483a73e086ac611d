#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "crashlog/CrashLogFile.h"
#include "log/LogText.h"

namespace crashlog {

using namespace logtext;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kEntryEnd = "\r\n\r\n\r\n";
constexpr std::string_view kSeparator = "\r\n\r\n\r\n\r\n";
// Every report has a rule line followed by a table row; pieces without one
// are file headers or damage.
constexpr std::string_view kTableStart = "-\r\n|";

std::string SystemError(const std::string& what, const std::string& path, int error) {
    return what + " \"" + path + "\": " + std::strerror(error);
}

std::string ReadWholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ELogFileError(SystemError("Cannot open the log file", path, errno));
    std::string data;
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            throw ELogFileError(SystemError("Cannot read the log file", path, error));
        }
        if (n == 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

// Writes through a temporary file in the same folder, flushed to disk before
// it replaces the log, so a crash at any moment leaves either the old or the
// new file complete.
void WriteFileAtomically(const std::string& path, std::string_view data) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) throw ELogFileError(SystemError("Cannot create the log file", path, errno));
    struct stat old {};
    ::fchmod(fd, ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            throw ELogFileError(SystemError("Cannot write the log file", path, error));
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int error = errno;
        ::unlink(temp.c_str());
        throw ELogFileError(SystemError("Cannot write the log file", path, error));
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temp.c_str());
        throw ELogFileError(SystemError("Cannot replace the log file", path, error));
    }
}

// Where the field line of `number` starts inside the entry ("\r\n  2.7 ").
std::size_t FindFieldLine(std::string_view entry, std::string_view number) {
    std::string key = "\r\n  ";
    key += number;
    key += ' ';
    return entry.find(key);
}

// The value of the field line that starts at `lineStart` (its CR LF):
// [valueStart, valueEnd) covers the first line's value and the continuation
// lines (lines starting with three blanks).
struct FieldSpan {
    std::size_t lineStart = std::string::npos;
    std::size_t valueStart = std::string::npos;
    std::size_t valueEnd = std::string::npos;
};

FieldSpan LocateField(std::string_view entry, std::string_view number) {
    FieldSpan span;
    span.lineStart = FindFieldLine(entry, number);
    if (span.lineStart == std::string::npos) return span;
    std::size_t lineEnd = entry.find(kCrLf, span.lineStart + 2);
    if (lineEnd == std::string::npos) lineEnd = entry.size();
    std::size_t colon = entry.find(": ", span.lineStart + 2);
    if (colon == std::string::npos || colon > lineEnd) {
        span.lineStart = std::string::npos;
        return span;
    }
    span.valueStart = colon + 2;
    std::size_t end = lineEnd;
    while (end + 5 <= entry.size() && entry.substr(end, 5) == "\r\n   ") {
        std::size_t next = entry.find(kCrLf, end + 2);
        end = next == std::string::npos ? entry.size() : next;
    }
    span.valueEnd = end;
    return span;
}

}  // namespace

std::vector<std::string> TLogFile::SplitEntries(std::string_view raw) {
    std::string text(raw);
    if (text.size() < 6 || std::string_view(text).substr(text.size() - 6) != kEntryEnd)
        text += kEntryEnd;
    text = NormalizeLineBreaks(text);

    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t cut = text.find(kSeparator, start);
        std::size_t end = cut == std::string::npos ? text.size() : cut;
        std::string_view piece = std::string_view(text).substr(start, end - start);
        // A longer run of line breaks belongs to the cut, so that no entry
        // starts with an empty line.
        std::size_t next = cut == std::string::npos ? text.size() : cut + kSeparator.size();
        while (cut != std::string::npos && text.compare(next, 2, kCrLf) == 0)
            next += 2;
        piece = TrimRight(piece);
        if (piece.find(kTableStart) != std::string_view::npos) {
            std::string entry(piece);
            entry += kEntryEnd;
            entries.push_back(std::move(entry));
        }
        start = next;
    }
    return entries;
}

TLogFile::TLogFile(std::string path, bool readOnly) : path_(std::move(path)), readOnly_(readOnly) {
    fs::path folder = fs::path(path_).parent_path();
    std::error_code ec;
    if (!folder.empty() && !readOnly_) fs::create_directories(folder, ec);
    if (::access(path_.c_str(), F_OK) == 0) entries_ = SplitEntries(ReadWholeFile(path_));
}

void TLogFile::AddEntry(std::string_view text, int limit) {
    if (limit != -1) {
        std::size_t keep = limit > 0 ? static_cast<std::size_t>(limit - 1) : 0;
        if (entries_.size() > keep)
            entries_.erase(entries_.begin(),
                           entries_.begin() + static_cast<std::ptrdiff_t>(entries_.size() - keep));
    }
    std::string entry(text);
    entry += kEntryEnd;
    entries_.push_back(std::move(entry));
}

std::string TLogFile::WholeText() const {
    std::string out;
    for (const auto& entry : entries_) {
        out += entry;
        out += kCrLf;
    }
    return out;
}

void TLogFile::Save() {
    if (readOnly_) throw ELogFileError("The log file \"" + path_ + "\" was opened read-only");
    std::string text = WholeText();
    constexpr std::string_view five = "\r\n\r\n\r\n\r\n\r\n";
    if (text.size() >= five.size() &&
        std::string_view(text).substr(text.size() - five.size()) == five)
        text.resize(text.size() - 2);
    WriteFileAtomically(path_, text);
}

int TLogFile::FindEntry(const std::vector<std::string>& fields,
                        const std::vector<std::string>& values) const {
    std::size_t n = std::min(fields.size(), values.size());
    for (int i = Count() - 1; i >= 0; --i) {
        for (std::size_t k = 0; k < n; ++k) {
            if (FindFieldLine(entries_[static_cast<std::size_t>(i)], fields[k]) ==
                std::string::npos)
                continue;
            if (GetField(fields[k], i) == UnescapeLogValue(EscapeLogValue(values[k]))) return i;
        }
    }
    return -1;
}

std::string TLogFile::GetField(std::string_view number, int index) const {
    if (index < 0 || index >= Count()) return {};
    const std::string& entry = entries_[static_cast<std::size_t>(index)];
    FieldSpan span = LocateField(entry, number);
    if (span.lineStart == std::string::npos) return {};
    return UnescapeLogValue(
        std::string_view(entry).substr(span.valueStart, span.valueEnd - span.valueStart));
}

void TLogFile::SetField(std::string_view number, std::string_view value, int index,
                        std::string_view label) {
    if (index < 0 || index >= Count()) return;
    std::string& entry = entries_[static_cast<std::size_t>(index)];
    FieldSpan span = LocateField(entry, number);
    if (span.lineStart != std::string::npos) {
        // Continuation lines line up under the value, as the report writes them.
        std::size_t column = span.valueStart - (span.lineStart + 2);
        std::string escaped =
            ReplaceAll(EscapeLogValue(value), "\r\n ", "\r\n" + std::string(column - 1, ' ') + " ");
        entry.replace(span.valueStart, span.valueEnd - span.valueStart, escaped);
        return;
    }

    // Missing: a new item at the end of the section that holds the highest
    // existing item of the same section number.
    std::string_view section = number.substr(0, number.find('.'));
    FieldSpan last;
    for (int item = 19; item >= 1; --item) {
        std::string candidate = std::string(section) + "." + std::to_string(item);
        last = LocateField(entry, candidate);
        if (last.lineStart != std::string::npos) break;
    }
    if (last.lineStart == std::string::npos) return;
    // The section ends at its first empty line.
    std::size_t end = entry.find("\r\n\r\n", last.lineStart + 2);
    if (end == std::string::npos) end = entry.size();
    std::size_t labelWidth = last.valueStart - 2 - (last.lineStart + 4);
    std::string head = std::string(number) + " " + std::string(label);
    if (head.size() < labelWidth) head.append(labelWidth - head.size(), ' ');
    std::string line = "\r\n  " + head + ": " + EscapeLogValue(value);
    entry.insert(end, line);
}

}  // namespace crashlog
