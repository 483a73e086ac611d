#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "StreamBuilder.h"
#include "crashlog/CrashOptions.h"

namespace {

using crashlog::ByteBuffer;
using crashlog::TCrashExceptionFilter;
using crashlog::TCrashModuleOptions;
using crashlog_test::Stored;
using crashlog_test::StreamBuilder;

// Options that differ from the defaults in every kind of field.
void MakeUnusual(TCrashModuleOptions& o) {
    o.SetLoggingEnabled(true);
    o.SetApplyFilters(false);
    o.SetLogFlags(0x2B);
    o.SetFirstTab(4);
    o.SetDetectFrozen(true);
    o.SetFrozenSeconds(0x01020304);
    o.SetSmtpSender("me@example.org");
    o.SetSmtpServerPort(2525);
    o.SetTerminateButtonAction(1);
    o.SetMailMode(3);
    o.SetShownFields(0xA5A5A5A5A5A5ull);
    o.SetWebAddress("https://bugs.example.org/submit");
    o.SetSendFlags(0x3FF);
    o.SetDialogFlags(0x0201);
    o.SetBehaviourFlags(0x0100);
    o.SetLeakFlags(0x01);
    o.SetDialogKind(3);
    o.SetProxyServerPort(3128);
    o.SetArchivePassword("zip-secret");
    o.SetMailBody("Line 1\r\nLine 2");
    o.SetText(0, "Info");
    o.SetText(153, "reserved but kept");
    o.SetText(157, std::string("with\0nul", 8));
    o.SetTextLanguage("Deutsch");
    o.Filters().Add(TCrashExceptionFilter{true, "EAccessViolation", "Memory %X%", 1, 4, 1, 2});
    o.Filters().Add(TCrashExceptionFilter{false, "EAbort", "", 2, 0, 0, 0});
}

TEST(OptionsStream, RoundTripKeepsEveryOption) {
    TCrashModuleOptions original, copy;
    MakeUnusual(original);
    const ByteBuffer bytes = original.SaveToBytes();
    EXPECT_EQ(copy.LoadFromStream(bytes), bytes.size());
    EXPECT_TRUE(copy.SameOptions(original));
    EXPECT_EQ(copy.Filters().Item(0).ReplacementMessage, "Memory %X%");
    EXPECT_EQ(copy.RawText(157).size(), 8u);
    EXPECT_EQ(copy.SaveToBytes(), bytes);
}

TEST(OptionsStream, DefaultStreamLayout) {
    TCrashModuleOptions o;
    const ByteBuffer bytes = o.SaveToBytes();
    // Seven one-byte fields, FrozenSeconds, then the first string with its length.
    const StreamBuilder head = StreamBuilder()
                                   .u8(0)
                                   .u8(1)
                                   .u8(0x30)
                                   .u8(0)
                                   .u8(1)
                                   .u8(0)
                                   .u8(0)
                                   .u32(60)
                                   .str(o.SmtpSender())
                                   .str("")
                                   .u16(25);
    ASSERT_GT(bytes.size(), head.bytes.size());
    EXPECT_TRUE(std::equal(head.bytes.begin(), head.bytes.end(), bytes.begin()));

    // The tail: no filters' data after a zero count, the mail body, the 158
    // texts and the language.
    StreamBuilder tail;
    tail.u32(0).str("");
    for (int i = 0; i < crashlog::kCustomTextCount; ++i)
        tail.str(crashlog::kCustomTexts[i].Default);
    tail.str("English");
    ASSERT_GT(bytes.size(), tail.bytes.size());
    EXPECT_TRUE(std::equal(tail.bytes.rbegin(), tail.bytes.rend(), bytes.rbegin()));

    // Strings are stored scrambled, never in clear.
    const std::string clear = "English";
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), clear.begin(), clear.end()), bytes.end());
}

TEST(OptionsStream, TrailingLineBreakIsDroppedOnWrite) {
    struct Row {
        const char* written;
        const char* read;
    };
    const Row rows[] = {
        {"abc\r\n", "abc"}, {"a\r\nb\r\n", "a\r\nb\r\n"},
        {"\r\n", ""},       {"abc\r\n\r\n", "abc\r\n\r\n"},
        {"abc\n", "abc\n"}, {"\n", "\n"},
        {"x", "x"},         {"", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.written);
        TCrashModuleOptions o, back;
        o.SetMailSubject(r.written);
        back.LoadFromStream(o.SaveToBytes());
        EXPECT_EQ(back.MailSubject(), r.read);
    }
}

TEST(OptionsStream, EveryPrefixReadsSafelyAndKeepsTheRest) {
    TCrashModuleOptions unusual;
    MakeUnusual(unusual);
    const ByteBuffer full = unusual.SaveToBytes();
    TCrashModuleOptions defaults;
    for (std::size_t len = 0; len <= full.size(); ++len) {
        TCrashModuleOptions o;
        const std::size_t used = o.LoadFromStream(std::span<const std::uint8_t>(full.data(), len));
        ASSERT_EQ(used, len);
        if (len == 0) {
            EXPECT_TRUE(o.SameOptions(defaults));
        }
    }

    // Cut right after FrozenSeconds: what came before is read, what follows
    // keeps the values the object had.
    TCrashModuleOptions o;
    o.LoadFromStream(std::span<const std::uint8_t>(full.data(), 11));
    EXPECT_TRUE(o.LoggingEnabled());
    EXPECT_EQ(o.FrozenSeconds(), 0x01020304u);
    EXPECT_EQ(o.SmtpSender(), defaults.SmtpSender());
    EXPECT_EQ(o.TextLanguage(), "English");

    // A number cut in half keeps its value too.
    TCrashModuleOptions half;
    half.LoadFromStream(std::span<const std::uint8_t>(full.data(), 9));
    EXPECT_EQ(half.FrozenSeconds(), 60u);
}

TEST(OptionsStream, DamagedLengthsAndCounts) {
    // A string length cut short yields an empty string, not stale memory.
    {
        StreamBuilder b;
        b.u8(1).u8(1).u8(0).u8(0).u8(1).u8(0).u8(0).u32(60).u8(7).u8(0);
        TCrashModuleOptions o;
        o.LoadFromStream(b.bytes);
        EXPECT_EQ(o.SmtpSender(), "");
    }
    // A length far past the end takes only the bytes that exist.
    {
        StreamBuilder b;
        b.u8(1).u8(1).u8(0).u8(0).u8(1).u8(0).u8(0).u32(60).u32(0xFFFFFFFF);
        b.bytes.push_back('a' ^ crashlog::kStringScrambleKey);
        TCrashModuleOptions o;
        EXPECT_EQ(o.LoadFromStream(b.bytes), b.bytes.size());
        EXPECT_EQ(o.SmtpSender(), "a");
    }
    // A huge filter count with no filter data behind it.
    {
        TCrashModuleOptions o;
        ByteBuffer bytes = o.SaveToBytes();
        // Find the filter count: it is followed by the empty mail body and text 0.
        StreamBuilder marker;
        marker.u32(0).str("").str(crashlog::kCustomTexts[0].Default);
        auto at = std::search(bytes.begin(), bytes.end(), marker.bytes.begin(), marker.bytes.end());
        ASSERT_NE(at, bytes.end());
        ByteBuffer cut(bytes.begin(), at);
        StreamBuilder count;
        count.u32(0xFFFFFFFF).u8(1);
        cut.insert(cut.end(), count.bytes.begin(), count.bytes.end());
        TCrashModuleOptions loaded;
        EXPECT_EQ(loaded.LoadFromStream(cut), cut.size());
        EXPECT_EQ(loaded.Filters().Count(), 1);
    }
}

TEST(OptionsStream, FileRoundTripAndErrors) {
    const auto path =
        std::filesystem::temp_directory_path() / ("options-" + std::to_string(getpid()) + ".bin");
    TCrashModuleOptions original, copy;
    MakeUnusual(original);
    original.SaveToFile(path.string());
    copy.LoadFromFile(path.string());
    EXPECT_TRUE(copy.SameOptions(original));

    // Overwriting leaves no tail of the longer earlier content.
    TCrashModuleOptions small;
    small.SaveToFile(path.string());
    EXPECT_EQ(std::filesystem::file_size(path), small.SaveToBytes().size());
    std::filesystem::remove(path);

    EXPECT_THROW(copy.LoadFromFile(path.string()), std::system_error);
    EXPECT_THROW(original.SaveToFile("/nonexistent-folder/x.bin"), std::system_error);
}

}  // namespace
