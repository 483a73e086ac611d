// Rich-text and HTML renderings of the dialogs' pages, and the HTML error
// page of web applications.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "crashlog/CrashReport.h"
#include "report/ReportParts.h"
#include "report/ReportText.h"

namespace crashlog {

using namespace report;

namespace {

// Positions in the CPU and assembler lines, derived from the address width:
// "RAX: " value "   RDI: " value, and address ": " word "   " address ": "
// sixteen "hh " bytes, a blank, sixteen characters.
constexpr size_t kA = kAddressDigits;

// Escapes for rich text and splits at the line breaks; each line keeps the
// "\par" that stood for its break.
std::vector<std::string> RtfLines(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        if (c == '\\' || c == '{' || c == '}') escaped += '\\';
        escaped += c;
    }
    ReplaceAll(escaped, "\r\n", "\\par\r\n");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= escaped.size()) {
        const size_t br = escaped.find("\r\n", start);
        if (br == std::string::npos) {
            lines.push_back(escaped.substr(start));
            break;
        }
        lines.push_back(escaped.substr(start, br - start));
        start = br + 2;
    }
    return lines;
}

// Inserts at a 1-based position, clamped to the line's end.
void InsertAt(std::string& line, size_t position, std::string_view what) {
    line.insert(std::min(line.size(), position - 1), what);
}

void ReplaceAt(std::string& line, size_t position, size_t count, std::string_view what) {
    if (position - 1 + count <= line.size() && line.compare(position - 1, count, "   ") == 0)
        line.replace(position - 1, count, what);
}

std::string WrapRtf(const std::vector<std::string>& lines, std::string_view fontName, int pointSize,
                    int charset) {
    std::string out =
        "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1"
        "\\fcharset" +
        std::to_string(charset) + " " + std::string(fontName) + ";}}\r\n";
    out +=
        "{\\colortbl ;\\red0\\green100\\blue100;\\red0\\green0\\blue0;\\red40\\green40\\blue40;"
        "\\red0\\green0\\blue160;\\red160\\green0\\blue0;\\red80\\green80\\blue80;\\red0\\green100"
        "\\blue0;}\r\n";
    out += "\\f0\\fs" + std::to_string(pointSize * 2) + "\r\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (i + 1 < lines.size()) out += "\r\n";
    }
    return out + "}";
}

bool IsSectionTitle(std::string_view line, std::string_view br) {
    const size_t colon = line.find(':');
    return colon != std::string_view::npos && !line.empty() && line[0] != ' ' &&
           line.substr(colon + 1) == br;
}

// Where the item number ends: the first blank after the leading blanks and
// the number.
size_t AfterItemNumber(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && line[i] == ' ')
        ++i;
    while (i < line.size() && line[i] != ' ')
        ++i;
    return i;
}

// ---- HTML -------------------------------------------------------------------------

constexpr const char* kColours[] = {"",        "#006464", "#000000", "#282828",
                                    "#0000a0", "#a00000", "#505050", "#006400"};

void HtmlEscapeTo(std::string& out, std::string_view s) {
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
}

void Span(std::string& out, std::string_view s, int colour, bool bold = false) {
    if (s.empty()) return;
    out += "<span style=\"color:";
    out += kColours[colour];
    if (bold) out += ";font-weight:bold";
    out += "\">";
    HtmlEscapeTo(out, s);
    out += "</span>";
}

std::string HtmlPre(const std::string& body) {
    return "<pre style=\"font-family:monospace;color:#000000\">" + body + "</pre>";
}

std::string_view Sub(std::string_view s, size_t from, size_t count = std::string_view::npos) {
    return from >= s.size() ? std::string_view() : s.substr(from, count);
}

}  // namespace

std::string RtfGeneral(std::string_view general, std::string_view fontName, int pointSize,
                       int charset) {
    std::vector<std::string> lines = RtfLines(general);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string& line = lines[i];
        if (i == 0) {
            line = "\\cf1\\b " + line + "\\b0";
        } else if (IsSectionTitle(line, "\\par")) {
            line = "\\cf3\\b " + line + "\\b0";
        } else if (line.starts_with('-')) {
            line = "\\cf3 " + line;
        } else if (line.find(": ") != std::string::npos) {
            const size_t colon = line.find(':');
            const size_t blank = AfterItemNumber(line);
            std::string head = line.substr(0, colon + 1);
            if (blank < head.size()) head.insert(blank, "\\cf2 ");
            line = "\\cf5 " + head + "\\cf4 " + line.substr(colon + 1);
        }
    }
    return WrapRtf(lines, fontName, pointSize, charset);
}

std::string RtfAssembler(std::string_view listing, std::string_view fontName, int pointSize,
                         int charset) {
    std::vector<std::string> lines = RtfLines(listing);
    // The instruction starts after "\cf5 ", the address and two blanks; the
    // colour goes between those blanks, the mnemonic's end is searched from
    // the instruction on.
    const size_t instruction = 5 + kA + 2;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string& line = lines[i];
        if (line.empty() && i + 1 == lines.size()) break;
        if (!line.starts_with(';')) {
            line = "\\cf5 " + line;
            InsertAt(line, instruction, "\\cf4\\b ");
            const size_t blank = line.find(' ', instruction + 7);
            if (blank != std::string::npos)
                line.insert(blank, "\\b0\\cf7 ");
            else
                line += "\\b0";
        }
        const size_t semi = line.find(';');
        if (semi != std::string::npos) line.insert(semi, "\\cf6 ");
    }
    return WrapRtf(lines, fontName, pointSize, charset);
}

std::string RtfCpu(std::string_view cpu, std::string_view fontName, int pointSize, int charset,
                   int hyphensWidthPixels) {
    std::vector<std::string> lines = RtfLines(cpu);
    const size_t stackColumn = kA + 2 + kA + 3;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string& line = lines[i];
        const size_t n = i + 1;
        if (line.empty() && n == lines.size()) break;
        if (n == 1) {
            line = "\\cf3\\b " + line + "\\cf2\\b0";
        } else if (n == 2) {
            line = "\\cf3 " + line + "\\cf2";
        } else if (n >= 3 && n <= 6) {
            // "RAX: " value "   RDI: " value: each value framed in colour 4.
            InsertAt(line, 6, "\\cf4 ");
            InsertAt(line, 6 + 5 + kA, "\\cf2 ");
            InsertAt(line, 6 + 5 + kA + 5 + 3 + 5, "\\cf4 ");
            InsertAt(line, 6 + 5 + kA + 5 + 3 + 5 + 5 + kA, "\\cf2 ");
        } else if (n == 8) {
            line = "\\pard\\tx" + std::to_string(15 * hyphensWidthPixels) + "\\cf3\\b " +
                   Trim(Sub(line, 0, stackColumn)) + "\\tab " + Trim(Sub(line, stackColumn)) +
                   "\\cf2\\b0";
        } else if (n == 9) {
            ReplaceAt(line, stackColumn - 2, 3, "\\tab ");
            line = "\\cf3 " + line + "\\cf2";
        } else if (n >= 10) {
            // address ": " word "   " address ": " bytes " " characters
            const size_t word = kA + 3;        // 1-based start of the word
            InsertAt(line, word, "\\cf4 ");    // word in colour 4
            const size_t gap = word + 5 + kA;  // the three blanks
            InsertAt(line, gap, "\\cf2 ");
            ReplaceAt(line, gap + 5, 3, "\\tab ");
            const size_t bytes = gap + 5 + 5 + kA + 2;  // the first byte
            InsertAt(line, bytes, "\\cf4 ");
            InsertAt(line, bytes + 5 + 47, "\\cf5 ");  // the last byte's blank
            line += "\\cf2 ";
        }
    }
    return WrapRtf(lines, fontName, pointSize, charset);
}

std::string HtmlGeneral(std::string_view general) {
    std::string out;
    const std::vector<std::string> lines = SplitLines(general);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (i == 0) {
            Span(out, line, 1, true);
        } else if (IsSectionTitle(line, "")) {
            Span(out, line, 3, true);
        } else if (line.starts_with('-')) {
            Span(out, line, 3);
        } else if (line.find(": ") != std::string::npos) {
            const size_t colon = line.find(':');
            const size_t number = std::min(AfterItemNumber(line), colon);
            Span(out, Sub(line, 0, number), 5);
            Span(out, Sub(line, number, colon + 1 - number), 2);
            Span(out, Sub(line, colon + 1), 4);
        } else {
            HtmlEscapeTo(out, line);
        }
        out += '\n';
    }
    return HtmlPre(out);
}

std::string HtmlAssembler(std::string_view listing) {
    std::string out;
    for (const std::string& line : SplitLines(listing)) {
        const size_t semi = line.find(';');
        const std::string_view code = Sub(line, 0, semi);
        if (!line.starts_with(';')) {
            const size_t instruction = kA + 2;
            const size_t mnemonicEnd = std::min(code.size(), code.find(' ', instruction));
            Span(out, Sub(code, 0, instruction), 5);
            Span(out, Sub(code, instruction, mnemonicEnd - std::min(mnemonicEnd, instruction)), 4,
                 true);
            Span(out, Sub(code, mnemonicEnd), 7);
        }
        if (semi != std::string::npos) Span(out, Sub(line, semi), 6);
        out += '\n';
    }
    return HtmlPre(out);
}

std::string HtmlCpu(std::string_view cpu) {
    std::string out;
    const std::vector<std::string> lines = SplitLines(cpu);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const size_t n = i + 1;
        if (n == 1 || n == 8) {
            Span(out, line, 3, true);
        } else if (n == 2 || n == 9) {
            Span(out, line, 3);
        } else if (n >= 3 && n <= 6) {
            // "RAX: " value "   RDI: " value
            Span(out, Sub(line, 0, 5), 2);
            Span(out, Sub(line, 5, kA), 4);
            Span(out, Sub(line, 5 + kA, 8), 2);
            Span(out, Sub(line, 13 + kA), 4);
        } else if (n >= 10) {
            Span(out, Sub(line, 0, kA + 2), 2);
            Span(out, Sub(line, kA + 2, kA), 4);
            Span(out, Sub(line, 2 * kA + 2, 3 + kA + 2), 2);
            Span(out, Sub(line, 3 * kA + 7, 48), 4);
            Span(out, Sub(line, 3 * kA + 7 + 48), 5);
        } else {
            HtmlEscapeTo(out, line);
        }
        out += '\n';
    }
    return HtmlPre(out);
}

// ---- the error page ---------------------------------------------------------------

namespace {

constexpr std::string_view kOkButton =
    "<br><input type=button value=\"Ok\" OnClick=\"history.go(-1)\" "
    "style=\"width:75;height:25;z-index:100;font-style:normal;font-size:10pt;text-decoration:"
    "none;\">";
constexpr std::string_view kHtmlTag = "<%HTML_TAG%>";

}  // namespace

std::string EscapeErrorPageText(std::string_view text) {
    std::string s(text);
    ReplaceAll(s, "&", "&amp;");
    ReplaceAll(s, "\"", "&quot;");
    ReplaceAll(s, "'", "&#039;");
    ReplaceAll(s, "<", "&lt;");
    ReplaceAll(s, ">", "&gt;");
    ReplaceAll(s, "  ", "&nbsp;&nbsp;");
    ReplaceAll(s, "\r\n", "<br>\r\n");
    s += kOkButton;
    return s;
}

std::string BuildErrorPage(std::string_view text, const TCrashModuleOptions& options,
                           std::uint32_t marker, std::string* markerText) {
    std::string page = options.WebPageTemplate();
    std::string probe = page;
    for (char& c : probe)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    if (Trim(probe).empty()) page = kDefaultWebPageTemplate;
    for (size_t at = FindNoCase(page, kHtmlTag); at != std::string::npos;
         at = FindNoCase(page, kHtmlTag, at + kHtmlTag.size()))
        page.replace(at, kHtmlTag.size(), kHtmlTag);
    const size_t open = FindNoCase(page, "<title>");
    const size_t close = open == std::string::npos ? open : FindNoCase(page, "</title>", open);
    if (open == std::string::npos || close == std::string::npos)
        page = "<title>" + options.Text(3) + "</title>" + page;
    ReplaceAll(page, kHtmlTag, EscapeErrorPageText(text));
    char mark[40];
    std::snprintf(mark, sizeof mark, "<!-- CrashLog ID: %08X -->", marker);
    page += mark;
    if (markerText) *markerText = mark;
    if (FindNoCase(page, kOkButton) == std::string::npos) page += kOkButton;
    return page;
}

TCrashErrorPageResult SendErrorPage(TCrashProgramKind kind, std::string_view page, int fd) {
    TCrashErrorPageResult result;
    if (kind != TCrashProgramKind::Cgi) return result;
    std::string out = "Status: 200 Error\r\nContent-Type: text/html\r\nContent-Length: " +
                      std::to_string(page.size()) + "\r\nContent:\r\n\r\n";
    out.append(page);
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            result.Warning = "CGI: Cannot write in the ouput file.";
            return result;
        }
        done += size_t(n);
    }
    result.Delivered = true;
    return result;
}

}  // namespace crashlog
