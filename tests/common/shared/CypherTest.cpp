#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/Cypher.h"
#include "common/CypherTexts.h"

namespace kvo::common {
namespace {

using namespace std::string_literals;

TEST(SixBit, EncodesLowBitsFirstWithoutPadding) {
    struct Case {
        std::string bytes, text;
    };
    const Case cases[] = {
        {"", ""},
        {"abc", "hJ2Y"},
        {"a", "hB"},
        {"ab", "hJG"},
        {"abcab", "hJ2YhJG"},
        {"\0\0\0"s, "AAAA"},
        {"\xFF\xFF\xFF"s, "////"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeSixBit(c.bytes), c.text) << c.bytes;
        EXPECT_EQ(DecodeSixBit(c.text), c.bytes) << c.text;
    }
}

TEST(SixBit, ForgivesForeignCharactersAndALoneTail) {
    EXPECT_EQ(DecodeSixBit("hJ2Yh"), "abc");  // a lone last character holds no byte
    EXPECT_EQ(DecodeSixBit("h"), "");
    EXPECT_EQ(DecodeSixBit("**"), "\0"s);  // unknown characters count as 0
    EXPECT_EQ(DecodeSixBit("h*2Y"), DecodeSixBit("hA2Y"));
}

TEST(Scrambler, MatchesHandComputedBytes) {
    // key 0x0100: first byte XOR 0x01, then K = (0x100 + 1) * m + i.
    EXPECT_EQ(ScrambleBytes("\0\0"s, 0x0100), "\x01\x54"s);
    EXPECT_EQ(ScrambleShortText("\0\0"s, 0x0100), "\x01\xFB"s);
    EXPECT_EQ(UnscrambleShortText("\x01\xFB"s, 0x0100), "\0\0"s);
    EXPECT_EQ(ScrambleBytes("Kestavo", 0x1234), "\x59\x35\x1F\xBA\xBB\xFC\x92"s);
}

// The largest keys and byte values push the key step past INT_MAX before it
// is cut to 16 bits; the sanitizer build turns an overflow there into a failure.
TEST(Scrambler, KeyStepWrapsAtTheTopOfTheKeyRange) {
    EXPECT_EQ(ScrambleBytes("\xFF\xFF\xFF"s, 0xFFFF), "\x00\x47\x33"s);
    EXPECT_EQ(UnscrambleBytes("\x00\x47\x33"s, 0xFFFF), "\xFF\xFF\xFF"s);
    EXPECT_EQ(ScrambleShortText("\0\0\0"s, 0xFFFF), "\xFF\xAF\x32"s);
    EXPECT_EQ(UnscrambleShortText("\xFF\xAF\x32"s, 0xFFFF), "\0\0\0"s);
}

TEST(Scrambler, FirstByteDependsOnlyOnKeyHighByte) {
    EXPECT_EQ(ScrambleBytes("Q", 0x00FF), "Q");
    EXPECT_EQ(ScrambleBytes("Q", 0x0000), "Q");
    EXPECT_EQ(ScrambleBytes("Qx", 0x1200)[0], ScrambleBytes("Qy", 0x12FF)[0]);
    EXPECT_EQ(UnscrambleShortText("Q", 0x00AB), "Q");
}

TEST(Scrambler, RoundTripsEveryByteValueUnderManyKeys) {
    std::mt19937 rng(7);
    for (std::uint32_t key : {0u, 1u, 0x00FFu, 0x8000u, 0xFFFFu, unsigned{kStringKey}}) {
        for (std::size_t len : {0u, 1u, 2u, 3u, 4u, 5u, 255u, 256u, 300u}) {
            std::string plain(len, '\0');
            for (auto& ch : plain)
                ch = static_cast<char>(rng() & 0xFF);
            if (len > 2) plain[1] = '\0';
            auto k = static_cast<std::uint16_t>(key);
            std::string encoded = EncodeText(plain, k);
            EXPECT_EQ(encoded.find_first_not_of(
                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
                      std::string::npos);
            EXPECT_EQ(DecodeText(encoded, k), plain) << "key " << key << " len " << len;
            EXPECT_EQ(UnscrambleBytes(ScrambleBytes(plain, k), k), plain);
            // Long texts are unscrambled whole, not just the first len % 256 bytes.
            EXPECT_EQ(UnscrambleShortText(ScrambleShortText(plain, k), k), plain);
        }
    }
}

TEST(StoredTexts, DecodeToWhatTheyStandFor) {
    EXPECT_EQ(kScrambledReportAddress.size(), 38u);
    EXPECT_EQ(DecodeText(kScrambledReportAddress, kStringKey), "http://support.kestavo.test/");
    EXPECT_EQ(UnscrambleShortText(kScrambledTablePassword, kShortTextKey), "Tw1nBrk#7");
    EXPECT_EQ(UnscrambleShortText(kScrambledDeveloperWord, kShortTextKey), "KVODEVWS");
}

}  // namespace
}  // namespace kvo::common
