// The options text file: "Name=Value" lines that a program keeps beside its
// sources, read by the build when it stores the options in the program.
#include <cctype>
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>
#include <variant>

#include "CrashText.h"
#include "crashlog/CrashOptions.h"

namespace crashlog {

namespace {

using Field = std::variant<bool TCrashOptionValues::*, std::uint8_t TCrashOptionValues::*,
                           std::uint16_t TCrashOptionValues::*, std::uint32_t TCrashOptionValues::*,
                           std::uint64_t TCrashOptionValues::*, std::string TCrashOptionValues::*>;

struct FieldEntry {
    const char* name;
    Field field;
};

const FieldEntry kFields[] = {
#define CRASHLOG_OPTION(Type, Name, Default, Access) {#Name, &TCrashOptionValues::Name},
#include "crashlog/CrashOptionsList.inc"
#undef CRASHLOG_OPTION
};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// Reads one value from the front of `s` and leaves the rest in `s`.
class ValueParser {
  public:
    ValueParser(std::string_view s, int line) : s_(s), line_(line) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw EOptionsTextError("options text, line " + std::to_string(line_) + ": " + what);
    }

    std::string_view Token() {
        s_ = Trim(s_);
        auto end = s_.find(',');
        std::string_view tok = Trim(s_.substr(0, end));
        s_ = end == std::string_view::npos ? std::string_view() : s_.substr(end);
        return tok;
    }

    std::uint64_t Number(std::uint64_t max) {
        std::string_view tok = Token();
        int base = 10;
        if (tok.size() > 2 && tok[0] == '0' && (tok[1] == 'x' || tok[1] == 'X')) {
            tok.remove_prefix(2);
            base = 16;
        }
        std::uint64_t v = 0;
        auto [ptr, ec] = std::from_chars(tok.data(), tok.data() + tok.size(), v, base);
        if (tok.empty() || ec != std::errc() || ptr != tok.data() + tok.size())
            Fail("not a number: \"" + std::string(tok) + "\"");
        if (v > max) Fail("number out of range: " + std::string(tok));
        return v;
    }

    bool Boolean() {
        std::string_view tok = Token();
        if (EqualsNoCase(tok, "true") || tok == "1") return true;
        if (EqualsNoCase(tok, "false") || tok == "0") return false;
        Fail("not a bool: \"" + std::string(tok) + "\"");
    }

    std::string Quoted() {
        s_ = Trim(s_);
        if (s_.empty() || s_.front() != '"') Fail("a string must be in double quotes");
        std::string out;
        std::size_t i = 1;
        for (;; ++i) {
            if (i >= s_.size()) Fail("unterminated string");
            char c = s_[i];
            if (c == '"') break;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++i >= s_.size()) Fail("unterminated string");
            switch (s_[i]) {
                case 'r':
                    out += '\r';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                default:
                    Fail(std::string("unknown escape \\") + s_[i]);
            }
        }
        s_ = s_.substr(i + 1);
        return out;
    }

    void Comma() {
        s_ = Trim(s_);
        if (s_.empty() || s_.front() != ',') Fail("expected ','");
        s_.remove_prefix(1);
    }

    void End() {
        if (!Trim(s_).empty())
            Fail("unexpected text after the value: \"" + std::string(Trim(s_)) + "\"");
    }

  private:
    std::string_view s_;
    int line_;
};

std::string QuoteString(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

std::string Hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

void LoadOptionsText(std::string_view text, TCrashModuleOptions& options) {
    options.BeginUpdate();
    struct Close {
        TCrashModuleOptions& o;
        ~Close() { o.EndUpdate(); }
    } close{options};

    options.SetDefaults();
    TCrashOptionValues values = options.Values();
    // Some editors put a byte-order mark in front of the first line.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    int lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        line = Trim(line);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        auto eq = line.find('=');
        ValueParser p(eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1),
                      lineNo);
        if (eq == std::string_view::npos) p.Fail("expected Name=Value");
        const std::string_view name = Trim(line.substr(0, eq));

        bool known = false;
        for (const auto& entry : kFields) {
            if (!EqualsNoCase(name, entry.name)) continue;
            known = true;
            std::visit(
                [&](auto member) {
                    using T = std::remove_reference_t<decltype(values.*member)>;
                    if constexpr (std::is_same_v<T, bool>)
                        values.*member = p.Boolean();
                    else if constexpr (std::is_same_v<T, std::string>)
                        values.*member = p.Quoted();
                    else if constexpr (std::is_same_v<T, std::uint64_t>)
                        values.*member = p.Number(kAllShownFields);
                    else
                        values.*member = static_cast<T>(p.Number(std::numeric_limits<T>::max()));
                },
                entry.field);
            break;
        }
        if (!known) {
            if (EqualsNoCase(name, "MailBody")) {
                options.SetMailBody(p.Quoted());
            } else if (EqualsNoCase(name, "TextLanguage")) {
                options.SetTextLanguage(p.Quoted());
            } else if (EqualsNoCase(name, "Filter")) {
                TCrashExceptionFilter f;
                f.Enabled = p.Boolean();
                p.Comma();
                f.ClassName = p.Quoted();
                p.Comma();
                f.ReplacementMessage = p.Quoted();
                p.Comma();
                f.Scope = static_cast<std::uint8_t>(p.Number(2));
                p.Comma();
                f.DialogChoice = static_cast<std::uint8_t>(p.Number(4));
                p.Comma();
                f.Handling = static_cast<std::uint8_t>(p.Number(2));
                p.Comma();
                f.FinalAction = static_cast<std::uint8_t>(p.Number(2));
                options.Filters().Add(f);
            } else if (name.size() > 4 && EqualsNoCase(name.substr(0, 4), "Text")) {
                ValueParser indexParser(name.substr(4), lineNo);
                auto index = static_cast<int>(indexParser.Number(kCustomTextCount - 1));
                options.SetText(index, p.Quoted());
            } else {
                p.Fail("unknown option \"" + std::string(name) + "\"");
            }
        }
        p.End();
    }
    options.SetValues(values);
}

void LoadOptionsTextFile(const std::string& path, TCrashModuleOptions& options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::system_error(errno, std::generic_category(), path);
    std::ostringstream buf;
    buf << in.rdbuf();
    LoadOptionsText(buf.str(), options);
}

std::string SaveOptionsText(const TCrashModuleOptions& options) {
    std::string out;
    const TCrashOptionValues& values = options.Values();
    for (const auto& entry : kFields) {
        out += entry.name;
        out += '=';
        std::visit(
            [&](auto member) {
                using T = std::remove_cvref_t<decltype(values.*member)>;
                if constexpr (std::is_same_v<T, bool>)
                    out += values.*member ? "true" : "false";
                else if constexpr (std::is_same_v<T, std::string>)
                    out += QuoteString(values.*member);
                else if constexpr (std::is_same_v<T, std::uint8_t> ||
                                   std::is_same_v<T, std::uint16_t> ||
                                   std::is_same_v<T, std::uint64_t>)
                    out += Hex(values.*member);
                else
                    out += std::to_string(values.*member);
            },
            entry.field);
        out += '\n';
    }
    for (int i = 0; i < options.Filters().Count(); ++i) {
        const auto& f = options.Filters().Item(i);
        out += "Filter=" + std::string(f.Enabled ? "true" : "false") + ", " +
               QuoteString(f.ClassName) + ", " + QuoteString(f.ReplacementMessage) + ", " +
               std::to_string(f.Scope) + ", " + std::to_string(f.DialogChoice) + ", " +
               std::to_string(f.Handling) + ", " + std::to_string(f.FinalAction) + "\n";
    }
    out += "MailBody=" + QuoteString(options.MailBody()) + "\n";
    for (int i = 0; i < kCustomTextCount; ++i)
        out += "Text" + std::to_string(i) + "=" + QuoteString(options.RawText(i)) + "\n";
    out += "TextLanguage=" + QuoteString(options.TextLanguage()) + "\n";
    return out;
}

}  // namespace crashlog
