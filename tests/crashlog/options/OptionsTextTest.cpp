#include <gtest/gtest.h>

#include <string>

#include "crashlog/CrashOptions.h"

namespace {

using crashlog::TCrashModuleOptions;

TEST(OptionsText, TheProgramsOwnOptions) {
    TCrashModuleOptions o;
    crashlog::LoadOptionsTextFile(KVO_APP_OPTIONS_FILE, o);
    EXPECT_TRUE(o.LoggingEnabled());
    EXPECT_EQ(o.FrozenSeconds(), 0u);
    EXPECT_EQ(o.BehaviourFlags(), 0x0018);
    EXPECT_EQ(o.TextLanguage(), "");
    EXPECT_EQ(o.LeakFlags(), 0x30);

    // Everything else is a fresh object's.
    TCrashModuleOptions expected;
    expected.SetLoggingEnabled(true);
    expected.SetFrozenSeconds(0);
    expected.SetBehaviourFlags(0x0018);
    expected.SetTextLanguage("");
    expected.SetLeakFlags(0x30);
    EXPECT_TRUE(o.SameOptions(expected));
    EXPECT_EQ(o.DialogKind(), 2);
    EXPECT_EQ(o.MailMode(), 0);
    EXPECT_EQ(o.WebMode(), 0);
    EXPECT_TRUE(o.StoreInLogFile());
}

TEST(OptionsText, ValuesFormatsAndRoundTrip) {
    TCrashModuleOptions o;
    crashlog::LoadOptionsText(
        "\xEF\xBB\xBF# comment after a byte-order mark\r\n"
        "; another\n"
        "\n"
        "  mailmode = 3 \n"
        "ShownFields=0x00000000000F\n"
        "ApplyFilters=0\n"
        "SmtpSender=\"a \\\"b\\\" \\\\ c\\r\\n\\t\"\n"
        "Text17=\"&Fine\"\n"
        "Filter=true, \"EAbort\", \"Stopped: %X%\", 1, 4, 0, 2\n"
        "MailBody=\"\"\n",
        o);
    EXPECT_EQ(o.MailMode(), 3);
    EXPECT_EQ(o.ShownFields(), 0xFu);
    EXPECT_FALSE(o.ApplyFilters());
    EXPECT_EQ(o.SmtpSender(), "a \"b\" \\ c\r\n\t");
    EXPECT_EQ(o.RawText(17), "&Fine");
    ASSERT_EQ(o.Filters().Count(), 1);
    EXPECT_EQ(o.Filters().Item(0),
              (crashlog::TCrashExceptionFilter{true, "EAbort", "Stopped: %X%", 1, 4, 0, 2}));

    TCrashModuleOptions back;
    crashlog::LoadOptionsText(crashlog::SaveOptionsText(o), back);
    EXPECT_TRUE(back.SameOptions(o));
}

TEST(OptionsText, BadLinesAreRejectedWithTheirLineNumber) {
    struct Row {
        const char* text;
        const char* message;
    };
    const Row rows[] = {
        {"NoSuchOption=1", "line 1: unknown option"},
        {"\nLogFlags", "line 2: expected Name=Value"},
        {"LogFlags=256", "line 1: number out of range"},
        {"LogFlags=-1", "line 1: not a number"},
        {"FrozenSeconds=12abc", "line 1: not a number"},
        {"ApplyFilters=yes", "line 1: not a bool"},
        {"SmtpServer=unquoted", "line 1: a string must be in double quotes"},
        {"SmtpServer=\"open", "line 1: unterminated string"},
        {"SmtpServer=\"a\\qb\"", "line 1: unknown escape"},
        {"SmtpServer=\"a\" trailing", "line 1: unexpected text"},
        {"Text158=\"x\"", "line 1: number out of range"},
        {"Filter=true, \"E\", \"\", 3, 0, 0, 0", "line 1: number out of range"},
        {"Filter=true, \"E\"", "line 1: expected ','"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        TCrashModuleOptions o;
        try {
            crashlog::LoadOptionsText(r.text, o);
            ADD_FAILURE() << "accepted";
        } catch (const crashlog::EOptionsTextError& e) {
            EXPECT_NE(std::string(e.what()).find(r.message), std::string::npos) << e.what();
        }
        EXPECT_EQ(o.BatchCount(), 0);
    }
}

}  // namespace
