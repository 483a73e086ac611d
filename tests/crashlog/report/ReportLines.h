// A report part split at its CR LF line ends, the way the tests look at one
// line of it at a time.
#pragma once

#include <string>
#include <vector>

namespace report_test {

// The lines of `text` without their CR LF; text after the last CR LF is a
// line of its own, a CR LF at the very end adds no empty one.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t br = text.find("\r\n", start);
        out.push_back(text.substr(start, br - start));
        if (br == std::string::npos) break;
        start = br + 2;
    }
    return out;
}

}  // namespace report_test
