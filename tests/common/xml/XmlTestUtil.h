// Small helpers shared by the XML model tests.
#pragma once

#include <string>
#include <string_view>

namespace kvo::common::test {

// Expected texts are written with plain line ends; the writer's are CR LF.
inline std::string Crlf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace kvo::common::test
