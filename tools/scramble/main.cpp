// kvo-scramble: produces the scrambled forms of the texts the suite keeps
// inside its programs, as a C++ header, so that nobody makes them by hand.
//
//   kvo-scramble [--text NAME PLAIN]... [--short NAME PLAIN]...
//
// --text stores PLAIN as EncodeText(PLAIN, kStringKey) (printable);
// --short stores it as ScrambleShortText(PLAIN, kShortTextKey) (any bytes,
// written as \x escapes).  The header goes to standard output.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/Cypher.h"

namespace {

std::string Escaped(std::string_view bytes) {
    std::string out;
    char buf[8];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        out += buf;
    }
    return out;
}

std::string Quoted(std::string_view arg) {
    std::string out = "'";
    for (char c : arg) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

int Usage() {
    std::fprintf(stderr, "usage: kvo-scramble [--text NAME PLAIN]... [--short NAME PLAIN]...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kvo::common;
    std::string command = "kvo-scramble";
    std::vector<std::string> lines;
    if (argc < 2) return Usage();
    for (int i = 1; i < argc; i += 3) {
        if (i + 2 >= argc) return Usage();
        std::string_view mode = argv[i];
        std::string name = argv[i + 1];
        std::string_view plain = argv[i + 2];
        command += " " + std::string(mode) + " " + name + " " + Quoted(plain);
        if (mode == "--text") {
            lines.push_back("inline constexpr std::string_view " + name + " = \"" +
                            EncodeText(plain, kStringKey) + "\";");
        } else if (mode == "--short") {
            std::string s = ScrambleShortText(plain, kShortTextKey);
            lines.push_back("inline constexpr std::string_view " + name + "{\"" + Escaped(s) +
                            "\", " + std::to_string(s.size()) + "};");
        } else {
            return Usage();
        }
    }
    std::printf(
        "// The texts the suite keeps scrambled.  Generated, do not edit; made with\n"
        "//   %s\n"
        "// --text entries decode with DecodeText(..., kStringKey), --short entries\n"
        "// with UnscrambleShortText(..., kShortTextKey).\n"
        "#pragma once\n\n#include <string_view>\n\nnamespace kvo::common {\n\n",
        command.c_str());
    for (const auto& l : lines)
        std::printf("%s\n", l.c_str());
    std::printf("\n}  // namespace kvo::common\n");
    return 0;
}
