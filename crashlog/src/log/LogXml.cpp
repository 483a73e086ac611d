// Sections of a log entry and the XML form of the whole log.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "CrashDebugCodec.h"
#include "crashlog/CrashLogFile.h"
#include "log/LogText.h"

namespace crashlog {

using namespace logtext;

namespace {

constexpr std::string_view kTableStart = "-\r\n|";
constexpr std::string_view kTitled = ":\r\n-";
constexpr std::string_view kTableEnd = "-\r\n\r\n";

std::size_t LineStartOf(std::string_view text, std::size_t pos) {
    std::size_t at = text.rfind(kCrLf, pos == 0 ? 0 : pos - 1);
    if (pos == 0 || at == std::string_view::npos) return 0;
    return at + 2;
}

// The start of the rule line of the n-th (1-based) titled section after
// the first table start; npos when there is none.
std::size_t TitledRule(std::string_view entry, int n) {
    std::size_t pos = entry.find(kTableStart);
    if (pos == std::string_view::npos) return pos;
    for (int i = 0; i < n; ++i) {
        pos = entry.find(kTitled, pos + 1);
        if (pos == std::string_view::npos) return pos;
    }
    return pos + 3;
}

std::string TableFrom(std::string_view entry, std::size_t start) {
    std::size_t end = entry.find(kTableEnd, start);
    end = end == std::string_view::npos ? entry.size() : end + kTableEnd.size();
    return std::string(entry.substr(start, end - start));
}

std::string TitledTable(std::string_view entry, int n) {
    std::size_t rule = TitledRule(entry, n);
    if (rule == std::string_view::npos) return {};
    std::size_t lineEnd = entry.find(kCrLf, rule);
    if (lineEnd == std::string_view::npos || lineEnd + 2 >= entry.size() ||
        entry[lineEnd + 2] != '|')
        return {};
    return TableFrom(entry, rule);
}

bool AtLeast(std::string_view version, std::string_view than) {
    return version >= than;
}

// ---- the XML element tree and its writer ------------------------------

struct TXMLItem {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::unique_ptr<TXMLItem>> children;

    explicit TXMLItem(std::string n) : name(std::move(n)) {}
    TXMLItem& Add(std::string n) {
        children.push_back(std::make_unique<TXMLItem>(std::move(n)));
        return *children.back();
    }
    TXMLItem& Attr(std::string key, std::string value) {
        attributes.emplace_back(std::move(key), std::move(value));
        return *this;
    }
};

std::string EscapeAttribute(std::string_view value) {
    std::string out;
    for (unsigned char c : value) {
        if (c < 32 || c == '"' || c == '&' || c == '\'' || c == '<' || c == '>' || c >= 127) {
            char code[8];
            std::snprintf(code, sizeof code, "&#%03u;", static_cast<unsigned>(c));
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void WriteItem(const TXMLItem& item, int indent, std::string& out) {
    out.append(static_cast<std::size_t>(indent), ' ');
    out += '<';
    out += item.name;
    for (const auto& [key, value] : item.attributes) {
        out += ' ';
        out += key;
        out += "=\"";
        out += EscapeAttribute(value);
        out += '"';
    }
    if (item.children.empty()) {
        out += "/>\r\n";
        return;
    }
    out += ">\r\n";
    for (const auto& child : item.children)
        WriteItem(*child, indent + 2, out);
    out.append(static_cast<std::size_t>(indent), ' ');
    out += "</" + item.name + ">\r\n";
}

// ---- section converters -----------------------------------------------

std::vector<std::string> TableRow(std::string_view row) {
    std::vector<std::string> fields;
    while (!row.empty() && row.front() == '|')
        row.remove_prefix(1);
    std::size_t start = 0;
    while (true) {
        std::size_t bar = row.find('|', start);
        fields.emplace_back(
            Trim(row.substr(start, bar == std::string_view::npos ? bar : bar - start)));
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    if (!fields.empty() && fields.back().empty()) fields.pop_back();
    return fields;
}

// Table rows of a located table: its fourth line to its second-last line,
// separator rows left out.
std::vector<std::vector<std::string>> TableRows(std::string_view table) {
    std::vector<std::string> lines = SplitLines(table);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 3; i + 1 < lines.size(); ++i) {
        if (lines[i].rfind("|-", 0) == 0) continue;
        rows.push_back(TableRow(lines[i]));
    }
    return rows;
}

void AddGeneral(TXMLItem& log, std::string_view general) {
    std::vector<std::string> lines = SplitLines(general);
    if (lines.size() <= 2) return;
    TXMLItem& root = log.Add("General");
    TXMLItem* group = nullptr;
    std::string groupLabel;
    TXMLItem* line = nullptr;
    std::vector<std::string> valueLines;
    auto finishLine = [&] {
        if (!line) return;
        for (std::size_t k = 0; k < valueLines.size(); ++k) {
            std::string v = ReplaceAll(valueLines[k], ":_", ": ");
            if (v == ".") v.clear();
            valueLines[k] = v;
        }
        std::string value;
        for (std::size_t k = 0; k < valueLines.size(); ++k)
            value += (k ? "\r\n" : "") + valueLines[k];
        line->Attr("Value", value);
        line = nullptr;
        valueLines.clear();
    };
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::string& text = lines[i];
        if (text.empty()) {
            finishLine();
            group = nullptr;
            continue;
        }
        if (!group) {
            if (text.back() == ':' && text[0] != ' ') {
                group = &root.Add("Group");
                groupLabel = text.substr(0, text.size() - 1);
                ++i;  // its rule line
            }
            continue;
        }
        std::string_view trimmed = Trim(text);
        std::size_t colon = trimmed.find(": ");
        bool item = colon != std::string_view::npos || (!trimmed.empty() && trimmed.back() == ':');
        if (item && trimmed.find(' ') != std::string_view::npos &&
            trimmed.find(' ') < (colon == std::string_view::npos ? trimmed.size() : colon)) {
            finishLine();
            std::size_t blank = trimmed.find(' ');
            std::string id(trimmed.substr(0, blank));
            std::size_t labelEnd = colon == std::string_view::npos ? trimmed.size() - 1 : colon;
            std::string label(Trim(trimmed.substr(blank + 1, labelEnd - blank - 1)));
            if (group->attributes.empty()) {
                group->Attr("ID", id.substr(0, id.find('.'))).Attr("Label", groupLabel);
            }
            line = &group->Add("Line");
            line->Attr("ID", id).Attr("Label", label);
            valueLines.emplace_back(colon == std::string_view::npos
                                        ? std::string_view()
                                        : Trim(trimmed.substr(colon + 2)));
        } else if (line) {
            valueLines.emplace_back(trimmed);
        }
    }
    finishLine();
}

// The parts of a thread header after its first ": ", separated by ";":
// the first "key=value" part is the ID, the second the priority and a third
// the class (their keys are customized texts, so they are taken by place);
// a part in square brackets marks the main thread.
void ThreadAttributes(TXMLItem& element, std::string_view header) {
    std::size_t colon = header.find(": ");
    std::string_view rest = colon == std::string_view::npos ? header : header.substr(colon + 2);
    static const char* const kKeys[] = {"ID", "Priority", "Class"};
    int valueIndex = 0;
    bool main = false;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t semi = rest.find(';', start);
        std::string_view part =
            Trim(rest.substr(start, semi == std::string_view::npos ? semi : semi - start));
        std::size_t eq = part.find('=');
        if (!part.empty() && part.front() == '[') {
            main = true;
        } else if (eq != std::string_view::npos && valueIndex < 3) {
            std::string_view value = part.substr(eq + 1);
            std::size_t paren = value.find(" (");
            if (paren != std::string_view::npos && valueIndex > 0) value = value.substr(0, paren);
            element.Attr(kKeys[valueIndex++], std::string(Trim(value)));
        }
        if (part.find("[") != std::string_view::npos && part.front() != '[') main = true;
        if (semi == std::string_view::npos) break;
        start = semi + 1;
    }
    element.Attr("MainThread", main ? "True" : "False");
}

// ---- protected names ----
//
// A report made without the right debug-data password shows each name part
// as "?" and the Base64 text of its enciphered bytes, parts joined by "."; a
// unit has its language letter after the first "?" and no extension.

std::optional<Bytes> FromBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad =
            last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
        std::uint32_t v = 0;
        for (int j = 0; j < 4; ++j) {
            const int d = j >= 4 - pad ? 0 : value(text[i + j]);
            if (d < 0) return std::nullopt;
            v = v << 6 | std::uint32_t(d);
        }
        out.push_back(std::uint8_t(v >> 16));
        if (pad < 2) out.push_back(std::uint8_t(v >> 8));
        if (pad < 1) out.push_back(std::uint8_t(v));
    }
    return out;
}

// A name as the compiler wrote it: printable text only.  A wrong password
// deciphers to bytes that hardly ever pass.
bool IsPlainName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
}

// The plain text of a protected name ("?" before every part); nothing when a
// part is not in that form or does not decipher to a plain name.
std::optional<std::string> Unprotect(std::string_view name, const TeaKey& key) {
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t dot = name.find('.', start);
        const std::string_view part =
            name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (part.size() < 2 || part[0] != '?') return std::nullopt;
        auto bytes = FromBase64(part.substr(1));
        if (!bytes) return std::nullopt;
        const Bytes plain = TeaDecipher(key, *bytes);
        const std::string text(plain.begin(), plain.end());
        if (!IsPlainName(text)) return std::nullopt;
        if (start) out += '.';
        out += text;
        if (dot == std::string_view::npos) return out;
        start = dot + 1;
    }
}

// Unit, class and procedure of a call-stack row back in plain text, all
// three or none: a unit in protected form must decipher, and so must a
// class or procedure in that form (an empty class stays empty).
void UnprotectNames(std::string& unit, std::string& cls, std::string& proc, const TeaKey& key) {
    if (unit.size() < 3 || unit[0] != '?') return;
    const char language = unit[1];
    auto plainUnit = Unprotect("?" + unit.substr(2), key);
    if (!plainUnit) return;
    std::optional<std::string> plainClass = cls, plainProc = proc;
    if (!cls.empty() && cls[0] == '?') plainClass = Unprotect(cls, key);
    if (!proc.empty() && proc[0] == '?') plainProc = Unprotect(proc, key);
    if (!plainClass || !plainProc) return;
    if (plainUnit->find('.') == std::string::npos) *plainUnit += language == 'p' ? ".pas" : ".cpp";
    unit = std::move(*plainUnit);
    cls = std::move(*plainClass);
    proc = std::move(*plainProc);
}

void AddCallStack(TXMLItem& log, std::string_view table, bool old, const TeaKey* key) {
    auto rows = TableRows(table);
    if (rows.empty()) return;
    TXMLItem& root = log.Add("CallStack");
    TXMLItem* current = old ? &root.Add("ExceptionThread") : nullptr;
    bool afterEmpty = true;
    bool first = !old;
    for (const auto& row : rows) {
        if (row.size() < 6) {
            if (row.empty() || row[0].empty()) {
                afterEmpty = true;
                continue;
            }
            if (afterEmpty || !current) {
                current = &root.Add(first ? "ExceptionThread" : "RunningThread");
                first = false;
            } else {
                current = &current->Add("CallingThread");
            }
            ThreadAttributes(*current, row[0]);
            afterEmpty = false;
            continue;
        }
        if (!current) {
            current = &root.Add("ExceptionThread");
            first = false;
        }
        TXMLItem& line = current->Add("Line");
        std::string unit = row[2], cls = row[3], procedure = row[4];
        if (key) UnprotectNames(unit, cls, procedure, *key);
        if (!procedure.empty() && procedure[0] == '@') procedure[0] = '_';
        std::string number = row[5], offset;
        std::size_t bracket = number.find('[');
        if (bracket != std::string::npos) {
            std::size_t close = number.find(']', bracket);
            offset = number.substr(
                bracket + 1, close == std::string::npos ? std::string::npos : close - bracket - 1);
            number = std::string(Trim(number.substr(0, bracket)));
        }
        line.Attr("Address", row[0])
            .Attr("Module", row[1])
            .Attr("Unit", unit)
            .Attr("Class", cls)
            .Attr("Procedure", procedure)
            .Attr("Number", number)
            .Attr("Offset", offset);
        afterEmpty = false;
    }
}

void AddModules(TXMLItem& log, std::string_view table) {
    auto rows = TableRows(table);
    if (rows.empty()) return;
    TXMLItem& root = log.Add("Modules");
    for (const auto& row : rows) {
        auto f = [&](std::size_t i) { return i < row.size() ? row[i] : std::string(); };
        TXMLItem& m = root.Add("Module");
        m.Attr("Handle", f(0))
            .Attr("Name", f(1))
            .Attr("Description", f(2))
            .Attr("Version", f(3))
            .Attr("Size", f(4));
        if (row.size() == 6)
            m.Attr("Path", f(5));
        else
            m.Attr("Modified", f(5)).Attr("Path", f(6));
    }
}

void AddProcesses(TXMLItem& log, std::string_view table) {
    auto rows = TableRows(table);
    if (rows.empty()) return;
    TXMLItem& root = log.Add("Processes");
    static const char* const kNames[] = {"ID",     "Name",     "Description", "Version",
                                         "Memory", "Priority", "Threads",     "Path"};
    for (const auto& row : rows) {
        TXMLItem& p = root.Add("Process");
        for (std::size_t i = 0; i < 8; ++i)
            p.Attr(kNames[i], i < row.size() ? row[i] : std::string());
    }
}

void AddAssembler(TXMLItem& log, std::string_view listing) {
    std::vector<std::string> lines = SplitLines(listing);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.empty()) return;
    TXMLItem& root = log.Add("Assembler");
    for (const auto& raw : lines) {
        std::string_view text = Trim(raw);
        TXMLItem& line = root.Add("Line");
        if (!text.empty() && text[0] == ';') {
            line.Attr("Address", "")
                .Attr("Command", "")
                .Attr("Comment", std::string(Trim(text.substr(1))));
            continue;
        }
        // The address is as wide as the report wrote it; the instruction
        // starts two characters after it.
        std::size_t width = text.find_first_of(" \t");
        if (width == std::string_view::npos) width = text.size();
        std::string_view rest =
            text.size() > width + 2 ? text.substr(width + 2) : std::string_view();
        std::size_t semi = rest.find(';');
        line.Attr("Address", std::string(text.substr(0, width)))
            .Attr("Command", std::string(Trim(rest.substr(0, semi))))
            .Attr("Comment", semi == std::string_view::npos
                                 ? std::string()
                                 : std::string(Trim(rest.substr(semi + 1))));
    }
}

void AddCpu(TXMLItem& log, std::string_view cpu) {
    std::vector<std::string> lines = SplitLines(cpu);
    TXMLItem& root = log.Add("CPU");
    TXMLItem& registers = root.Add("Registers");
    // Register lines hold two "NAME: value" pairs separated by three blanks;
    // the names go into the attributes in column order (left column first).
    std::vector<std::pair<std::string, std::string>> right;
    auto keep = [](std::string_view v) { return !Trim(v).empty() && Trim(v) != "????"; };
    for (std::size_t i = 2; i < 6 && i < lines.size(); ++i) {
        std::string_view line = lines[i];
        std::size_t c1 = line.find(": ");
        if (c1 == std::string_view::npos) continue;
        std::size_t c2 = line.find(": ", c1 + 2);
        std::size_t nameStart = std::string_view::npos;
        if (c2 != std::string_view::npos) {
            nameStart = line.rfind(' ', c2);
            nameStart = nameStart == std::string_view::npos || nameStart < c1 + 2
                            ? std::string_view::npos
                            : nameStart + 1;
        }
        std::string_view leftValue =
            line.substr(c1 + 2, nameStart == std::string_view::npos ? std::string_view::npos
                                                                    : nameStart - c1 - 2);
        if (keep(leftValue))
            registers.Attr(std::string(Trim(line.substr(0, c1))), std::string(Trim(leftValue)));
        if (nameStart != std::string_view::npos)
            right.emplace_back(std::string(line.substr(nameStart, c2 - nameStart)),
                               std::string(Trim(line.substr(c2 + 2))));
    }
    for (auto& [name, value] : right)
        if (keep(value)) registers.Attr(name, value);

    TXMLItem& stack = root.Add("Stack");
    TXMLItem& dump = root.Add("MemoryDump");
    for (std::size_t i = 9; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        std::size_t c1 = line.find(": ");
        if (c1 == std::string_view::npos) continue;
        std::size_t gap = line.find("   ", c1 + 2);
        if (gap == std::string_view::npos) continue;
        stack.Add("Line")
            .Attr("Address", std::string(line.substr(0, c1)))
            .Attr("Value", std::string(line.substr(c1 + 2, gap - c1 - 2)));
        std::size_t c2 = line.find(": ", gap + 3);
        if (c2 == std::string_view::npos) continue;
        std::string_view tail = line.substr(c2 + 2);
        dump.Add("Line")
            .Attr("Address", std::string(line.substr(gap + 3, c2 - gap - 3)))
            .Attr("Bytes", std::string(tail.substr(0, 47)))
            .Attr("Chars", tail.size() > 49 ? std::string(tail.substr(49, 16)) : std::string());
    }
}

}  // namespace

std::string TLogFile::GeneralPart(int index) const {
    if (index < 0 || index >= Count()) return {};
    std::string_view entry = Entry(index);
    std::size_t table = entry.find(kTableStart);
    std::string_view general =
        table == std::string_view::npos ? entry : entry.substr(0, LineStartOf(entry, table));
    return std::string(TrimRight(general));
}

std::string TLogFile::CallStackPart(int index) const {
    if (index < 0 || index >= Count()) return {};
    std::string_view entry = Entry(index);
    std::size_t table = entry.find(kTableStart);
    if (table == std::string_view::npos) return {};
    return TableFrom(entry, LineStartOf(entry, table));
}

std::string TLogFile::ModulesPart(int index) const {
    if (index < 0 || index >= Count()) return {};
    return TitledTable(Entry(index), 1);
}

std::string TLogFile::ProcessesPart(int index) const {
    if (index < 0 || index >= Count() || !AtLeast(EntryVersion(Entry(index)), "6.0")) return {};
    return TitledTable(Entry(index), 2);
}

std::string TLogFile::AssemblerPart(int index) const {
    if (index < 0 || index >= Count() || !AtLeast(EntryVersion(Entry(index)), "6.0")) return {};
    std::string_view entry = Entry(index);
    std::size_t rule = TitledRule(entry, 3);
    if (rule == std::string_view::npos) return {};
    std::size_t start = entry.find(kCrLf, rule);
    if (start == std::string_view::npos) return {};
    start += 2;
    std::size_t end = entry.find("\r\n\r\n", start == 0 ? 0 : start - 2);
    if (end == std::string_view::npos || end < start) return {};
    return std::string(entry.substr(start, end + 2 - start));
}

std::string TLogFile::CpuPart(int index) const {
    if (index < 0 || index >= Count()) return {};
    std::string_view entry = Entry(index);
    std::size_t table = entry.find(kTableStart);
    if (table == std::string_view::npos) return {};
    std::size_t pos = LineStartOf(entry, table);
    int blocks = AtLeast(EntryVersion(entry), "6.0") ? 4 : 2;
    for (int i = 0; i < blocks; ++i) {
        std::size_t empty = entry.find("\r\n\r\n", pos);
        if (empty == std::string_view::npos) return {};
        pos = empty + 4;
    }
    // The empty listing of a report without assembler leaves extra empty lines.
    while (entry.compare(pos, 2, kCrLf) == 0)
        pos += 2;
    std::size_t first = entry.find("\r\n\r\n", pos);
    std::size_t second =
        first == std::string_view::npos ? first : entry.find("\r\n\r\n", first + 2);
    std::string_view cpu =
        entry.substr(pos, second == std::string_view::npos ? std::string_view::npos : second - pos);
    // The 32-bit report names EAX, the 64-bit one RAX.
    if (cpu.find("EAX") == std::string_view::npos && cpu.find("RAX") == std::string_view::npos)
        return {};
    return std::string(cpu);
}

std::string TLogFile::ReproducePart(int index) const {
    if (index < 0 || index >= Count() || AtLeast(EntryVersion(Entry(index)), "5.0")) return {};
    std::string_view entry = Entry(index);
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        pos = entry.find(kTableStart, pos);
        if (pos == std::string_view::npos) return {};
        ++pos;
    }
    for (int i = 0; i < 3; ++i) {
        pos = entry.find(kTitled, pos);
        if (pos == std::string_view::npos) return {};
        pos += 3;
    }
    std::size_t rule = entry.find(kTitled, pos);
    if (rule == std::string_view::npos) return {};
    std::size_t start = entry.find(kCrLf, rule + 3);
    if (start == std::string_view::npos) return {};
    start += 2;
    std::size_t end = entry.find("\r\n\r\n", start);
    return std::string(
        Trim(entry.substr(start, end == std::string_view::npos ? end : end - start)));
}

std::string TLogFile::XmlText() const {
    std::string out = "<Doc>\r\n";
    // Names a report could not decipher are deciphered here when the log
    // has the password.
    const std::optional<TeaKey> key =
        password_.empty() ? std::nullopt : std::optional<TeaKey>(DebugKeyFromPassword(password_));
    for (int i = 0; i < Count(); ++i) {
        TXMLItem log("Log");
        std::string version = EntryVersion(Entry(i));
        log.Attr("Version", version);
        bool old = !AtLeast(version, "5.0");
        AddGeneral(log, GeneralPart(i));
        AddCallStack(log, CallStackPart(i), old, key ? &*key : nullptr);
        AddModules(log, ModulesPart(i));
        AddProcesses(log, ProcessesPart(i));
        AddAssembler(log, AssemblerPart(i));
        std::string cpu = CpuPart(i);
        if (!cpu.empty()) AddCpu(log, cpu);
        if (old) log.Add("HoToReproduce").Attr("Text", ReproducePart(i));
        // An entry is never empty in the XML: the element keeps its children
        // open and closed even when only the version is known.
        if (log.children.empty()) {
            out += "  <Log Version=\"" + EscapeAttribute(version) + "\">\r\n  </Log>\r\n";
            continue;
        }
        WriteItem(log, 2, out);
    }
    out += "</Doc>";
    return out;
}

void TLogFile::SaveAsXml(const std::string& fileName) const {
    std::string text = XmlText();
    int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw ELogFileError("Cannot create \"" + fileName + "\"");
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            ::close(fd);
            throw ELogFileError("Cannot write \"" + fileName + "\"");
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace crashlog
