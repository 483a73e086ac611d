// Any text decodes without harm, and every byte string survives the
// printable scrambled form under the key taken from its first two bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/Cypher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kvo::common;
    std::string input(reinterpret_cast<const char*>(data), size);
    DecodeText(input, kStringKey);
    UnscrambleShortText(input, kShortTextKey);
    std::uint16_t key = size >= 2 ? static_cast<std::uint16_t>(data[0] | data[1] << 8) : 0;
    if (DecodeText(EncodeText(input, key), key) != input) std::abort();
    if (EncodeSixBit(DecodeSixBit(EncodeSixBit(input))) != EncodeSixBit(input)) std::abort();
    return 0;
}
