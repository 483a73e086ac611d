#include "support/Golden.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace kvo::support {
namespace {

bool Rebasing() {
    const char* value = std::getenv("REBASE");
    return value != nullptr && *value != '\0' && std::string(value) != "0";
}

// Lines without their ends, so that the message shows a carriage return
// that differs as "\r".
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string Visible(const std::string& line) {
    std::string out;
    for (char c : line) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

}  // namespace

bool ExpectMatchesGolden(const std::string& path, const std::string& actual) {
    namespace fs = std::filesystem;
    if (Rebasing()) {
        std::error_code ec;
        if (fs::path(path).has_parent_path())
            fs::create_directories(fs::path(path).parent_path(), ec);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << actual;
        out.close();
        if (!out) {
            ADD_FAILURE() << "cannot write the golden file " << path;
            return false;
        }
        std::printf("rebased %s\n", path.c_str());
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "no golden file " << path << " (run with REBASE=1 to write it)";
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string expected = buffer.str();
    if (expected == actual) return true;

    const auto want = Lines(expected), got = Lines(actual);
    std::size_t line = 0;
    while (line < want.size() && line < got.size() && want[line] == got[line])
        ++line;
    std::ostringstream message;
    message << "text differs from " << path << " (REBASE=1 rewrites it)\n";
    if (line < want.size() && line < got.size()) {
        message << "first difference at line " << line + 1
                << ":\n  expected: " << Visible(want[line])
                << "\n  actual:   " << Visible(got[line]);
    } else if (want.size() != got.size()) {
        message << "expected " << want.size() << " lines, got " << got.size() << "; line "
                << line + 1 << " is "
                << (line < want.size() ? "expected: " + Visible(want[line])
                                       : "extra: " + Visible(got[line]));
    } else {
        message << "the texts differ only in their final line end";
    }
    ADD_FAILURE() << message.str();
    return false;
}

}  // namespace kvo::support
