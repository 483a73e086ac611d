// Scrambling of the few texts the suite keeps inside its programs (the
// support report address, the table password, the developer-workstation
// word).  This hides them from a casual look at the program file; it is not
// encryption.
//
// Texts are 8-bit strings held in std::string; every byte value, zero
// included, may occur.  None of these routines fails: characters outside the
// six-bit alphabet decode as 0 and a trailing lone character is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvo::common {

// The key the library uses with DecodeText for every text it stores.
inline constexpr std::uint16_t kStringKey = 0x6B3D;
// The key the library uses with UnscrambleShortText.
inline constexpr std::uint16_t kShortTextKey = 0x2C71;

// Running-key XOR over the bytes; the key advances with each scrambled byte,
// so ScrambleBytes and UnscrambleBytes are exact inverses for every key.
std::string ScrambleBytes(std::string_view text, std::uint16_t key);
std::string UnscrambleBytes(std::string_view bytes, std::uint16_t key);

// Printable form over "A-Za-z0-9+/": three bytes give four characters, lowest
// six bits first (so it is not standard Base64), no padding, no line breaks.
std::string EncodeSixBit(std::string_view bytes);
std::string DecodeSixBit(std::string_view text);

// EncodeSixBit(ScrambleBytes(...)) and its inverse.
std::string EncodeText(std::string_view text, std::uint16_t key);
std::string DecodeText(std::string_view text, std::uint16_t key);

// The second scrambler (other constants, no printable layer), for short texts.
// ScrambleShortText is its inverse, used by the tool that produces the stored
// forms.  Both process the whole text whatever its length.
std::string UnscrambleShortText(std::string_view text, std::uint16_t key);
std::string ScrambleShortText(std::string_view text, std::uint16_t key);

}  // namespace kvo::common
