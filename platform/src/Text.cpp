#include "platform/Text.h"

namespace kvo::platform {
namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string UpperAscii(std::string text) {
    for (char& c : text)
        c = Upper(c);
    return text;
}

std::string LowerAscii(std::string text) {
    for (char& c : text)
        c = Lower(c);
    return text;
}

}  // namespace kvo::platform
