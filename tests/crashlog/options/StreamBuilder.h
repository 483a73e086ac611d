// Builds options-stream bytes by hand, so that tests check the reader
// against layouts written independently of the library's writer.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "crashlog/CrashOptions.h"

namespace crashlog_test {

class StreamBuilder {
  public:
    StreamBuilder& u8(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    StreamBuilder& u16(std::uint16_t v) { return le(v, 2); }
    StreamBuilder& u32(std::uint32_t v) { return le(v, 4); }
    StreamBuilder& le(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    StreamBuilder& str(std::string_view s) {
        u32(static_cast<std::uint32_t>(s.size()));
        for (char c : s)
            bytes.push_back(static_cast<std::uint8_t>(c) ^ crashlog::kStringScrambleKey);
        return *this;
    }

    std::vector<std::uint8_t> bytes;
};

// A string in its stored form, for searching written streams.
inline std::vector<std::uint8_t> Stored(std::string_view s) {
    StreamBuilder b;
    b.str(s);
    return b.bytes;
}

}  // namespace crashlog_test
