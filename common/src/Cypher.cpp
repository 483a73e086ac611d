#include "common/Cypher.h"

#include <algorithm>
#include <array>

namespace kvo::common {
namespace {

struct Constants {
    std::uint16_t multiplier;
    std::uint16_t increment;
};

constexpr Constants kTextConstants{31907, 13561};
constexpr Constants kShortConstants{50119, 28771};

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}
constexpr auto kDecodeTable = MakeDecodeTable();

// The key runs modulo 2^16.  The sum is widened to an unsigned type before
// the multiplication: promoted to int, (key + scrambled) * multiplier can
// pass INT_MAX, and only the low 16 bits are wanted anyway.
std::uint16_t Advance(std::uint16_t key, std::uint8_t scrambled, Constants c) {
    const std::uint32_t sum = std::uint32_t{key} + scrambled;
    return static_cast<std::uint16_t>(sum * c.multiplier + c.increment);
}

std::string Scramble(std::string_view text, std::uint16_t key, Constants c) {
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto s = static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[i]) ^ (key >> 8));
        out[i] = static_cast<char>(s);
        key = Advance(key, s, c);
    }
    return out;
}

std::string Unscramble(std::string_view bytes, std::uint16_t key, Constants c) {
    std::string out(bytes.size(), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto s = static_cast<std::uint8_t>(bytes[i]);
        out[i] = static_cast<char>(s ^ (key >> 8));
        key = Advance(key, s, c);
    }
    return out;
}

}  // namespace

std::string ScrambleBytes(std::string_view text, std::uint16_t key) {
    return Scramble(text, key, kTextConstants);
}

std::string UnscrambleBytes(std::string_view bytes, std::uint16_t key) {
    return Unscramble(bytes, key, kTextConstants);
}

std::string EncodeSixBit(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < n; ++k)
            v |= std::uint32_t{static_cast<std::uint8_t>(bytes[i + k])} << (8 * k);
        // n bytes carry n*8 bits, written as n+1 characters of six bits.
        for (std::size_t k = 0; k <= n; ++k)
            out += kAlphabet[(v >> (6 * k)) & 63];
    }
    return out;
}

std::string DecodeSixBit(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::size_t n = std::min<std::size_t>(4, text.size() - i);
        if (n < 2) break;  // a lone character holds no whole byte
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < n; ++k)
            v |= std::uint32_t{kDecodeTable[static_cast<std::uint8_t>(text[i + k])]} << (6 * k);
        for (std::size_t k = 0; k + 1 < n; ++k)
            out += static_cast<char>((v >> (8 * k)) & 0xFF);
    }
    return out;
}

std::string EncodeText(std::string_view text, std::uint16_t key) {
    return EncodeSixBit(ScrambleBytes(text, key));
}

std::string DecodeText(std::string_view text, std::uint16_t key) {
    return UnscrambleBytes(DecodeSixBit(text), key);
}

std::string UnscrambleShortText(std::string_view text, std::uint16_t key) {
    return Unscramble(text, key, kShortConstants);
}

std::string ScrambleShortText(std::string_view text, std::uint16_t key) {
    return Scramble(text, key, kShortConstants);
}

}  // namespace kvo::common
