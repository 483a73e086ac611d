// ASCII case rules of the suite's names (INI sections and keys, registry
// keys, drive letters, field names, share names): only the letters A-Z and
// a-z change case; every other byte, UTF-8 included, stays as it is.
#pragma once

#include <string>
#include <string_view>

namespace kvo::platform {

// Compares ASCII letters without case, like Windows does for these names.
bool SameText(std::string_view a, std::string_view b);

std::string UpperAscii(std::string text);
std::string LowerAscii(std::string text);

}  // namespace kvo::platform
