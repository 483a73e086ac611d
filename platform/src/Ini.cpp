#include "platform/Ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <filesystem>

#include "platform/Sys.h"

namespace kvo::platform {
namespace {

constexpr std::size_t npos = std::string::npos;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string OneLine(std::string_view s) {
    std::string out(s);
    std::replace(out.begin(), out.end(), '\r', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

}  // namespace

std::optional<std::int32_t> ParseIniInteger(std::string_view text) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (base == 16) {
        // Hexadecimal is a 32-bit pattern: "$FFFFFFFF" reads as -1.
        if (magnitude > 0xFFFFFFFFull) return std::nullopt;
        auto bits = static_cast<std::uint32_t>(negative ? 0u - magnitude : magnitude);
        return static_cast<std::int32_t>(bits);
    }
    if (negative) {
        if (magnitude > 2147483648ull) return std::nullopt;
        return static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
    }
    if (magnitude > 2147483647ull) return std::nullopt;
    return static_cast<std::int32_t>(magnitude);
}

IniFile::Line IniFile::Classify(std::string text, std::string eol) {
    Line line;
    line.text = std::move(text);
    line.eol = std::move(eol);
    std::string_view t = Trim(line.text);
    if (!t.empty() && t.front() == '[') {
        auto close = t.find(']');
        if (close != npos) {
            line.kind = Kind::Section;
            line.name = std::string(Trim(t.substr(1, close - 1)));
            return line;
        }
    }
    if (t.empty() || t.front() == ';') return line;
    auto eq = t.find('=');
    if (eq == npos) return line;
    line.kind = Kind::Key;
    line.name = std::string(Trim(t.substr(0, eq)));
    line.value = std::string(t.substr(eq + 1));
    if (line.name.empty()) line.kind = Kind::Other;
    return line;
}

void IniFile::Parse(std::string_view text) {
    lines_.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == npos) {
            lines_.push_back(Classify(std::string(text.substr(pos)), ""));
            break;
        }
        std::size_t eolLen =
            (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1;
        lines_.push_back(Classify(std::string(text.substr(pos, end - pos)),
                                  std::string(text.substr(end, eolLen))));
        pos = end + eolLen;
    }
}

std::string IniFile::Text() const {
    std::string out;
    for (const auto& l : lines_)
        out += l.text + l.eol;
    return out;
}

bool IniFile::Load(const std::string& localPath) {
    lines_.clear();
    int fd = Sys().open(localPath.c_str(), O_RDONLY, 0);
    if (fd < 0) return errno == ENOENT;
    std::string text;
    char buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    Sys().close(fd);
    if (ok) Parse(text);
    return ok;
}

bool IniFile::Save(const std::string& localPath) const {
    namespace fs = std::filesystem;
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    // A file reached through a symbolic link is replaced where it lives, so
    // that the link stays.
    fs::path target(localPath);
    if (fs::is_symlink(target, ec)) {
        fs::path resolved = fs::weakly_canonical(target, ec);
        if (ec) return false;
        target = resolved;
    }
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    const std::string path = target.string();
    std::string temp = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++);
    // A leftover of a crashed writer with the same name goes first; O_EXCL then
    // makes sure we write into a file of our own, not through a planted link.
    ::unlink(temp.c_str());
    int fd = Sys().open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return false;
    // The new file keeps the old one's permissions (a shared INI may be
    // group-writable on purpose).
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
    std::string text = Text();
    const char* p = text.data();
    std::size_t left = text.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = Sys().write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (ok && Sys().fsync(fd) != 0) ok = false;
    if (Sys().close(fd) != 0) ok = false;
    if (ok && Sys().rename(temp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) Sys().unlink(temp.c_str());
    return ok;
}

std::size_t IniFile::FindSection(std::string_view section) const {
    std::string_view want = Trim(section);
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Section && SameText(lines_[i].name, want)) return i;
    return npos;
}

std::size_t IniFile::SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != Kind::Section)
        ++i;
    return i;
}

std::size_t IniFile::FindKey(std::size_t header, std::string_view key) const {
    std::string_view want = Trim(key);
    std::size_t end = SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i)
        if (lines_[i].kind == Kind::Key && SameText(lines_[i].name, want)) return i;
    return npos;
}

std::string IniFile::NewLine() const {
    for (const auto& l : lines_)
        if (!l.eol.empty()) return l.eol;
    return newLine_;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
    std::size_t s = FindSection(section);
    if (s == npos) return std::nullopt;
    std::size_t k = FindKey(s, key);
    if (k == npos) return std::nullopt;
    std::string_view v = Trim(lines_[k].value);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view def) const {
    auto v = Value(section, key);
    return v ? *v : std::string(def);
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                                  std::int32_t def) const {
    auto v = Value(section, key);
    if (!v) return def;
    return ParseIniInteger(*v).value_or(def);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    std::string eol = NewLine();
    std::string name(Trim(OneLine(key)));
    std::size_t s = FindSection(section);
    if (s == npos) {
        // The line before a new section must be ended, or the header would
        // join it.
        if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = eol;
        lines_.push_back(Classify("[" + std::string(Trim(OneLine(section))) + "]", eol));
        s = lines_.size() - 1;
    }
    std::size_t k = FindKey(s, name);
    if (k != npos) {
        // Keep the key as it is written in the file, and its line end.
        Line& l = lines_[k];
        std::string_view t = l.text;
        std::size_t eq = t.find('=');
        l.text = std::string(t.substr(0, eq + 1)) + OneLine(value);
        l.value = OneLine(value);
        return;
    }
    std::size_t at = s + 1;
    std::size_t end = SectionEnd(s);
    for (std::size_t i = s + 1; i < end; ++i)
        if (lines_[i].kind == Kind::Key) at = i + 1;
    if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = eol;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                  Classify(name + "=" + OneLine(value), at < lines_.size() ? eol : eol));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, std::int64_t value) {
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

bool IniFile::EraseSection(std::string_view section) {
    std::size_t s = FindSection(section);
    if (s == npos) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(s),
                 lines_.begin() + static_cast<std::ptrdiff_t>(SectionEnd(s)));
    return true;
}

bool IniFile::DeleteKey(std::string_view section, std::string_view key) {
    std::size_t s = FindSection(section);
    if (s == npos) return false;
    std::size_t k = FindKey(s, key);
    if (k == npos) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(k));
    return true;
}

bool IniFile::SectionExists(std::string_view section) const {
    return FindSection(section) != npos;
}

bool IniFile::ValueExists(std::string_view section, std::string_view key) const {
    std::size_t s = FindSection(section);
    return s != npos && FindKey(s, key) != npos;
}

std::vector<std::string> IniFile::Sections() const {
    std::vector<std::string> out;
    for (const auto& l : lines_)
        if (l.kind == Kind::Section &&
            std::none_of(out.begin(), out.end(), [&](auto& n) { return SameText(n, l.name); }))
            out.push_back(l.name);
    return out;
}

std::vector<std::string> IniFile::Keys(std::string_view section) const {
    std::vector<std::string> out;
    std::size_t s = FindSection(section);
    if (s == npos) return out;
    std::size_t end = SectionEnd(s);
    for (std::size_t i = s + 1; i < end; ++i)
        if (lines_[i].kind == Kind::Key && std::none_of(out.begin(), out.end(), [&](auto& n) {
                return SameText(n, lines_[i].name);
            }))
            out.push_back(lines_[i].name);
    return out;
}

}  // namespace kvo::platform
