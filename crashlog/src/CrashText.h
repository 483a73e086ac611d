// Small text helpers of the crash library, shared by its units and by the
// debug-data generator (which compiles some of them itself).  The library
// depends on nothing of the suite, so it keeps its own.
#pragma once

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace crashlog {

// A mangled C++ name as the source writes it; any other name as it is.
inline std::string Demangle(const char* name) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> plain(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && plain ? std::string(plain.get()) : std::string(name);
}

// Equal but for the case of ASCII letters (option names, file extensions,
// unit names: all ASCII).
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace crashlog
