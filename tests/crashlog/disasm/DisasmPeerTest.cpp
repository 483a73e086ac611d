// Instruction lengths checked against an independent decoder on real
// compiled code: the test program's own .text and the crash library's.
#include <Zydis/Zydis.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

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

// Our 32-bit decoder lists lock and repeat prefixes on lines of their own,
// wherever they stand in the instruction's run of prefixes.
bool HasLockOrRepeatPrefix(const std::uint8_t* p, int length) {
    for (int i = 0; i < length; ++i) {
        switch (p[i]) {
            case 0xF0:
            case 0xF2:
            case 0xF3:
                return true;
            case 0x26:
            case 0x2E:
            case 0x36:
            case 0x3E:
            case 0x64:
            case 0x65:
            case 0x66:
            case 0x67:
                continue;
            default:
                return false;
        }
    }
    return false;
}

// The peer decoder for the same mode as ours.
ZydisDecoder PeerFor(TDisAsmMode mode) {
    ZydisDecoder peer;
    if (mode == TDisAsmMode::Bits64) {
        ZydisDecoderInit(&peer, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
    } else {
        ZydisDecoderInit(&peer, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
    }
    return peer;
}

// Walks the bytes along the peer's instruction boundaries, so that one
// disagreement cannot shift the rest of the comparison.
Agreement Compare(const kvo_test::ElfText& text, TDisAsmMode mode) {
    const ZydisDecoder peer = PeerFor(mode);
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
        if (mode == TDisAsmMode::Bits32 && HasLockOrRepeatPrefix(bytes + at, peerLength)) {
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

// Encodings rare in compiled code but met in system libraries: the peer
// must agree on each length.
TEST(DisasmPeer, RareEncodingsAgree) {
    struct Sample {
        TDisAsmMode Mode;
        std::vector<std::uint8_t> Bytes;
    };
    const Sample samples[] = {
        {TDisAsmMode::Bits64, {0x0F, 0xC7, 0x34, 0x24}},
        {TDisAsmMode::Bits64, {0x0F, 0xC7, 0x38}},
        {TDisAsmMode::Bits64, {0x66, 0x0F, 0xC7, 0x30}},
        {TDisAsmMode::Bits64, {0x0F, 0xC7, 0xF0}},
        {TDisAsmMode::Bits64, {0x66, 0xC7, 0xF8, 0x10, 0x00}},
        {TDisAsmMode::Bits64, {0x8F, 0xE8, 0x78, 0xC2, 0xEC, 0x0E}},
        {TDisAsmMode::Bits64, {0x8F, 0xE9, 0x78, 0x81, 0xC1}},
        {TDisAsmMode::Bits64, {0x8F, 0xEA, 0x78, 0x10, 0xC0, 0x01, 0x02, 0x00, 0x00}},
        {TDisAsmMode::Bits64, {0xF2, 0xE9, 0x00, 0x01, 0x00, 0x00}},
        {TDisAsmMode::Bits64, {0xF3, 0x0F, 0xC7, 0xF8}},
        {TDisAsmMode::Bits64, {0x48, 0x0F, 0xC7, 0x0E}},
        {TDisAsmMode::Bits64, {0x0F, 0x0F, 0x44, 0x24, 0x08, 0xBF}},
        {TDisAsmMode::Bits32, {0xF3, 0x0F, 0x1E, 0xFB}},
        {TDisAsmMode::Bits32, {0x8F, 0xE8, 0x78, 0xC2, 0xEC, 0x0E}},
        {TDisAsmMode::Bits32, {0x8F, 0xEA, 0x78, 0x10, 0xC0, 0x01, 0x02, 0x00, 0x00}},
        {TDisAsmMode::Bits32, {0x66, 0xC7, 0xF8, 0x10, 0x00}},
        {TDisAsmMode::Bits32, {0x0F, 0xC7, 0x34, 0x24}},
        {TDisAsmMode::Bits32, {0x66, 0x0F, 0xC7, 0x30}},
        {TDisAsmMode::Bits32, {0xF3, 0x0F, 0xC7, 0x30}},
        {TDisAsmMode::Bits32, {0xF3, 0x0F, 0xC7, 0xF8}},
        {TDisAsmMode::Bits32, {0x0F, 0xC7, 0x3D, 0x00, 0x10, 0x00, 0x00}},
        {TDisAsmMode::Bits32, {0x0F, 0x0F, 0x44, 0x24, 0x08, 0xBF}},
    };
    for (const Sample& s : samples) {
        SCOPED_TRACE(HexBytes(s.Bytes.data(), static_cast<int>(s.Bytes.size())));
        const ZydisDecoder peer = PeerFor(s.Mode);
        ZydisDecodedInstruction insn;
        ASSERT_TRUE(ZYAN_SUCCESS(
            ZydisDecoderDecodeInstruction(&peer, nullptr, s.Bytes.data(), s.Bytes.size(), &insn)));
        int length = 0;
        TDisAsm(s.Mode).Disassemble(s.Bytes.data(), s.Bytes.size(), 0x1000, length);
        EXPECT_EQ(length, insn.length);
        EXPECT_EQ(length, static_cast<int>(s.Bytes.size()));
    }
}

// Every ModRM byte of 0x0F 0xC7 and of the 3DNow! page, bare and under 0x66
// and 0xF3, in both modes: wherever the peer decodes an instruction, our
// line or lines for the same bytes must cover exactly its length.  An F3 our
// 32-bit decoder lists on a line of its own counts with the line after it.
TEST(DisasmPeer, GroupC7And3DNowAgreeOnEveryModRM) {
    struct Page {
        std::uint8_t Opcode;
        std::uint8_t Fill;  // for 3DNow!, the operation byte after the operands
    };
    const Page pages[] = {{0xC7, 0x90}, {0x0F, 0xBF}, {0x0F, 0x0D}};
    const std::vector<std::uint8_t> prefixes[] = {{}, {0x66}, {0xF3}, {0x66, 0xF3}};
    for (TDisAsmMode mode : {TDisAsmMode::Bits32, TDisAsmMode::Bits64}) {
        const ZydisDecoder peer = PeerFor(mode);
        const TDisAsm ours(mode);
        long compared = 0, disagreed = 0, peerInvalid = 0;
        for (const Page& page : pages) {
            for (const auto& prefix : prefixes) {
                for (int modrm = 0; modrm < 256; ++modrm) {
                    // With a SIB byte: base esp, and no base (a 32-bit displacement).
                    for (std::uint8_t sib : {0x24, 0x25}) {
                        if (sib == 0x25 && ((modrm & 7) != 4 || modrm >= 0xC0)) continue;
                        // Displacements are made of the fill byte too, so that
                        // the 3DNow! operation byte is right wherever it falls.
                        std::vector<std::uint8_t> bytes = prefix;
                        bytes.insert(bytes.end(),
                                     {0x0F, page.Opcode, static_cast<std::uint8_t>(modrm), sib});
                        bytes.resize(bytes.size() + 10, page.Fill);
                        ZydisDecodedInstruction insn;
                        if (!ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(
                                &peer, nullptr, bytes.data(), bytes.size(), &insn))) {
                            ++peerInvalid;
                            continue;
                        }
                        int covered = 0;
                        std::string line;
                        do {
                            int length = 0;
                            line = ours.Disassemble(bytes.data() + covered, bytes.size() - covered,
                                                    0x1000, length);
                            covered += length;
                        } while (mode == TDisAsmMode::Bits32 && line == "rep" &&
                                 covered < insn.length);
                        ++compared;
                        if (covered != insn.length && ++disagreed <= 20) {
                            ADD_FAILURE() << HexBytes(bytes.data(), insn.length) << ": peer length "
                                          << int{insn.length} << ", ours " << covered << " \""
                                          << line << "\"";
                        }
                    }
                }
            }
        }
        std::printf("%s: %ld encodings compared, %ld disagree; %ld the peer calls invalid\n",
                    mode == TDisAsmMode::Bits64 ? "64-bit" : "32-bit", compared, disagreed,
                    peerInvalid);
        EXPECT_EQ(disagreed, 0);
        EXPECT_GT(compared, 300);
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
