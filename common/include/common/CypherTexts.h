// The texts the suite keeps scrambled.  Generated, do not edit; made with
//   kvo-scramble --text kScrambledReportAddress 'http://support.kestavo.test/' --short
//   kScrambledTablePassword 'Tw1nBrk#7' --short kScrambledDeveloperWord 'KVODEVWS'
// --text entries decode with DecodeText(..., kStringKey), --short entries
// with UnscrambleShortText(..., kShortTextKey).
#pragma once

#include <string_view>

namespace kvo::common {

inline constexpr std::string_view kScrambledReportAddress =
    "DowKfhVyi6/Hcd8ZpJ/d2dsKyK8hhLaQE5GREA";
inline constexpr std::string_view kScrambledTablePassword{"\x78\xA3\x7E\x2A\xB7\xBA\xAB\xA5\xFE",
                                                          9};
inline constexpr std::string_view kScrambledDeveloperWord{"\x67\x82\x4D\x6A\x88\x8B\x48\xE9", 8};

}  // namespace kvo::common
