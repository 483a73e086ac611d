// Golden listings: each golden/NAME.in holds machine code, golden/NAME.out
// the listing the decoder must produce for it.  Run with DISASM_REBASE=1 to
// rewrite the .out files after an intended change, and review their diff.
//
// .in lines:
//   # comment
//   mode 32 | mode 64
//   address HEX                the address of the next bytes
//   symbol HEX NAME            a name the symbol call-backs give that address
//   bytes HEX HEX ...          decoded as a stream, one line per instruction
//   one HEX HEX ...            only the first instruction is decoded
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crashlog/CrashDisasm.h"

namespace fs = std::filesystem;
using crashlog::TDisAsm;
using crashlog::TDisAsmMode;

namespace {

using Symbols = std::map<std::uint64_t, std::string>;

void NameSymbol(void* user, std::uint64_t, std::uint64_t target, std::string& text) {
    const auto& symbols = *static_cast<const Symbols*>(user);
    if (auto it = symbols.find(target); it != symbols.end()) text = it->second;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::uint8_t> ParseHex(std::istringstream& line) {
    std::vector<std::uint8_t> bytes;
    std::string word;
    while (line >> word)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

std::string Listing(const std::string& input) {
    TDisAsmMode mode = TDisAsmMode::Bits32;
    std::uint64_t address = 0;
    Symbols symbols;
    std::string out;
    std::istringstream lines(input);
    std::string text;
    while (std::getline(lines, text)) {
        std::istringstream line(text);
        std::string directive;
        if (!(line >> directive) || directive[0] == '#') continue;
        if (directive == "mode") {
            int bits = 0;
            line >> bits;
            mode = bits == 64 ? TDisAsmMode::Bits64 : TDisAsmMode::Bits32;
        } else if (directive == "address") {
            line >> std::hex >> address;
        } else if (directive == "symbol") {
            std::uint64_t at = 0;
            std::string name;
            line >> std::hex >> at >> name;
            symbols[at] = name;
        } else if (directive == "bytes" || directive == "one") {
            TDisAsm d(mode);
            d.SetOnJumpSymbol(NameSymbol, &symbols);
            d.SetOnCallSymbol(NameSymbol, &symbols);
            d.SetOnAddressSymbol(NameSymbol, &symbols);
            const std::vector<std::uint8_t> bytes = ParseHex(line);
            for (std::size_t at = 0; at < bytes.size();) {
                int length = 0;
                const std::string insn =
                    d.Disassemble(bytes.data() + at, bytes.size() - at, address + at, length);
                char head[64];
                std::snprintf(head, sizeof head,
                              mode == TDisAsmMode::Bits64 ? "%016llX  " : "%08llX  ",
                              static_cast<unsigned long long>(address + at));
                std::string hex;
                for (int i = 0; i < length; ++i) {
                    char b[3];
                    std::snprintf(b, sizeof b, "%02X", bytes[at + i]);
                    hex += b;
                }
                hex.resize(std::max<std::size_t>(hex.size(), 22), ' ');
                out += head + hex + "  " + insn + "\n";
                if (length <= 0) break;
                at += static_cast<std::size_t>(length);
                if (directive == "one") break;
            }
            address += bytes.size();
        } else {
            ADD_FAILURE() << "unknown directive: " << text;
        }
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Names the lines that differ rather than printing two whole listings.
void ExpectSameLines(const std::string& actual, const std::string& expected) {
    const std::vector<std::string> got = Lines(actual), want = Lines(expected);
    int reported = 0;
    for (std::size_t i = 0; i < std::max(got.size(), want.size()) && reported < 10; ++i) {
        const std::string g = i < got.size() ? got[i] : "(no line)";
        const std::string w = i < want.size() ? want[i] : "(no line)";
        if (g != w) {
            ADD_FAILURE() << "line " << i + 1 << "\n  expected: " << w << "\n  actual:   " << g;
            ++reported;
        }
    }
}

TEST(DisasmGolden, ListingsMatch) {
    const fs::path dir = KVO_DISASM_GOLDEN_DIR;
    const bool rebase = std::getenv("DISASM_REBASE") != nullptr;
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".in") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::string listing = Listing(ReadFile(entry.path()));
        fs::path expected = entry.path();
        expected.replace_extension(".out");
        if (rebase) {
            std::ofstream(expected, std::ios::binary) << listing;
        } else {
            ExpectSameLines(listing, ReadFile(expected));
        }
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
