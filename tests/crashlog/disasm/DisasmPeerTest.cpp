// Instruction lengths checked against an independent decoder on real
// compiled code: the test program's own .text and the crash library's.
#include <Zydis/Zydis.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "ElfText.h"
#include "crashlog/CrashDisasm.h"

using crashlog::TDisAsm;
using crashlog::TDisAsmMode;

namespace {

struct Agreement {
    long Compared = 0;  // instructions both decoders named
    long Disagreed = 0;
    long OursUnnamed = 0;  // "DB" forms on our side
    long UnnamedSameLength = 0;
    long Skipped = 0;                          // prefixes our 32-bit decoder lists on their own
    std::map<std::string, long> UnnamedBytes;  // DB forms of another length, by first bytes
};

std::string HexBytes(const std::uint8_t* p, int n) {
    std::string s;
    char buf[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}

// Walks the bytes along the peer's instruction boundaries, so that one
// disagreement cannot shift the rest of the comparison.
Agreement Compare(const kvo_test::ElfText& text, TDisAsmMode mode) {
    ZydisDecoder peer;
    if (mode == TDisAsmMode::Bits64) {
        ZydisDecoderInit(&peer, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
    } else {
        ZydisDecoderInit(&peer, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
    }
    const TDisAsm ours(mode);
    Agreement a;
    const std::uint8_t* bytes = text.Bytes.data();
    const std::size_t size = text.Bytes.size();
    for (std::size_t at = 0; at < size;) {
        ZydisDecodedInstruction insn;
        if (!ZYAN_SUCCESS(
                ZydisDecoderDecodeInstruction(&peer, nullptr, bytes + at, size - at, &insn))) {
            ++at;
            continue;
        }
        const int peerLength = insn.length;
        if (mode == TDisAsmMode::Bits32 &&
            (bytes[at] == 0xF0 || bytes[at] == 0xF2 || bytes[at] == 0xF3)) {
            ++a.Skipped;
            at += peerLength;
            continue;
        }
        int length = 0;
        const std::string line = ours.Disassemble(bytes + at, size - at, text.Address + at, length);
        if (line.rfind("DB ", 0) == 0) {
            ++a.OursUnnamed;
            if (length == peerLength) {
                ++a.UnnamedSameLength;
            } else {
                ++a.UnnamedBytes[HexBytes(bytes + at, std::min(peerLength, 3))];
            }
        } else {
            ++a.Compared;
            if (length != peerLength) {
                if (++a.Disagreed <= 20) {
                    ADD_FAILURE() << HexBytes(bytes + at, peerLength) << ": peer length "
                                  << peerLength << ", ours " << length << " \"" << line << "\"";
                }
            }
        }
        at += peerLength;
    }
    return a;
}

void Report(const char* what, const Agreement& a) {
    std::printf(
        "%s: %ld named instructions, %ld agree; %ld DB forms (%ld of the same length); "
        "%ld skipped\n",
        what, a.Compared, a.Compared - a.Disagreed, a.OursUnnamed, a.UnnamedSameLength, a.Skipped);
    int shown = 0;
    for (const auto& [bytes, count] : a.UnnamedBytes) {
        if (++shown > 40) break;
        std::printf("  DB %s x%ld\n", bytes.c_str(), count);
    }
}

const char* const kFiles[] = {"/proc/self/exe", KVO_CRASHLOG_LIBRARY};

TEST(DisasmPeer, LongModeLengthsAgreeOnCompiledCode) {
    for (const char* file : kFiles) {
        SCOPED_TRACE(file);
        const kvo_test::ElfText text = kvo_test::ReadElfText(file);
        ASSERT_FALSE(text.Bytes.empty());
        const Agreement a = Compare(text, TDisAsmMode::Bits64);
        Report(file, a);
        EXPECT_EQ(a.Disagreed, 0);
        // Compiled code of this project is covered by the 64-bit tables.
        EXPECT_LT(a.OursUnnamed * 1000, a.Compared) << "more than 0.1% left undecoded";
    }
}

// The same bytes read as 32-bit code are a different but valid instruction
// stream; where our 32-bit tables name an instruction, its length must match.
TEST(DisasmPeer, LegacyModeLengthsAgreeOnCompiledCode) {
    for (const char* file : kFiles) {
        SCOPED_TRACE(file);
        const kvo_test::ElfText text = kvo_test::ReadElfText(file);
        ASSERT_FALSE(text.Bytes.empty());
        const Agreement a = Compare(text, TDisAsmMode::Bits32);
        Report(file, a);
        EXPECT_EQ(a.Disagreed, 0);
        EXPECT_GT(a.Compared, a.OursUnnamed);
    }
}

}  // namespace
