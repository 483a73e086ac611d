#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "crashlog/CrashOptions.h"

namespace {

using crashlog::TCrashModuleOptions;

TEST(OptionsDefaults, NumbersAndSets) {
    TCrashModuleOptions o;
    struct Row {
        const char* name;
        std::uint64_t actual, expected;
    };
    const Row rows[] = {
        {"LoggingEnabled", o.LoggingEnabled(), 0},
        {"ApplyFilters", o.ApplyFilters(), 1},
        {"LogFlags", o.LogFlags(), 0x30},
        {"ReportInMessageBody", o.ReportInMessageBody(), 0},
        {"StoreInLogFile", o.StoreInLogFile(), 1},
        {"FirstTab", o.FirstTab(), 0},
        {"DetectFrozen", o.DetectFrozen(), 0},
        {"FrozenSeconds", o.FrozenSeconds(), 60},
        {"SmtpServerPort", o.SmtpServerPort(), 25},
        {"TerminateButtonAction", o.TerminateButtonAction(), 2},
        {"ErrorsToKeep", o.ErrorsToKeep(), 32},
        {"ErrorsBeforeTerminateButton", o.ErrorsBeforeTerminateButton(), 3},
        {"MailMode", o.MailMode(), 0},
        {"ShownFields", o.ShownFields(), 0xFFFFFFFFFFFFull},
        {"WebMode", o.WebMode(), 0},
        {"WebServerPort", o.WebServerPort(), 0},
        {"SendFlags", o.SendFlags(), 0x51},
        {"DialogFlags", o.DialogFlags(), 0x018F},
        {"AutoCloseSeconds", o.AutoCloseSeconds(), 0},
        {"CallStackFlags", o.CallStackFlags(), 0x0F},
        {"BehaviourFlags", o.BehaviourFlags(), 0x58},
        {"LeakFlags", o.LeakFlags(), 0x1E},
        {"RepeatAction", o.RepeatAction(), 2},
        {"RepeatCount", o.RepeatCount(), 10},
        {"RepeatMinutes", o.RepeatMinutes(), 1},
        {"CompiledFileFlags", o.CompiledFileFlags(), 1},
        {"DialogKind", o.DialogKind(), 2},
        {"ProxyServerPort", o.ProxyServerPort(), 8080},
        {"Enabled", o.Enabled(), 1},
        {"filter count", static_cast<std::uint64_t>(o.Filters().Count()), 0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.actual, r.expected) << r.name;
}

TEST(OptionsDefaults, NamedBitsMatchTheDefaultSets) {
    TCrashModuleOptions o;
    using namespace crashlog;
    EXPECT_EQ(o.LogFlags(), log_flags::LogModuleLists | log_flags::LogCpuAndAssembler);
    EXPECT_EQ(o.SendFlags(), send_flags::ShowSendProgress | send_flags::AttachScreenshot |
                                 send_flags::AttachLastHtmlPage);
    EXPECT_EQ(o.DialogFlags(), dialog_flags::SendReportTicked | dialog_flags::ScreenshotTicked |
                                   dialog_flags::CopyOption | dialog_flags::DetailsOption |
                                   dialog_flags::SendOption | dialog_flags::ScreenshotOption);
    EXPECT_EQ(o.BehaviourFlags(), behaviour_flags::UseMainModuleOptions |
                                      behaviour_flags::ClipboardOnSendFailure |
                                      behaviour_flags::HandleSafecall);
    EXPECT_EQ(kShownFieldNames[19], std::string("User|Privileges"));
    EXPECT_EQ(kShownFieldNames[20], std::string("User|Company"));
    EXPECT_EQ(kShownFieldNames[47], std::string("Custom Data|All"));
    EXPECT_TRUE(o.ShownField(0));
    EXPECT_TRUE(o.ShownField(47));
    EXPECT_FALSE(o.ShownField(48));
    o.SetShownFields(~std::uint64_t{0});  // bits past the 48th do not exist
    EXPECT_EQ(o.ShownFields(), crashlog::kAllShownFields);
}

TEST(OptionsDefaults, StringsAndTexts) {
    TCrashModuleOptions o;
    EXPECT_FALSE(o.SmtpSender().empty());
    EXPECT_EQ(o.SmtpServer(), "");
    EXPECT_EQ(o.TextLanguage(), "English");
    EXPECT_NE(o.WebPageTemplate().find("\r\n            <%HTML_TAG%>\r\n"), std::string::npos);
    EXPECT_TRUE(o.WebPageTemplate().starts_with("<html>\r\n  <head>\r\n"));
    EXPECT_TRUE(o.WebPageTemplate().ends_with("  </body>\r\n</html>"));

    ASSERT_EQ(crashlog::kCustomTexts.size(), 158u);
    EXPECT_EQ(o.Text(0), "Information.");
    EXPECT_EQ(o.Text(3), "Error occurred");
    EXPECT_EQ(o.Text(4),
              "An error has occurred during program execution.\r\nPlease read the following "
              "information for further details.");
    EXPECT_EQ(o.Text(105), "Memory Leak");
    EXPECT_EQ(o.Text(153), "");
    EXPECT_EQ(o.Text(157), "Invalid email.");
    EXPECT_EQ(crashlog::kCustomTexts[29].Name, std::string("\"Please...\" message"));
    EXPECT_EQ(o.Text(-1), "");
    EXPECT_EQ(o.Text(158), "");
}

TEST(OptionsDefaults, SetDefaultsUndoesEverything) {
    TCrashModuleOptions o;
    o.SetEnabled(false);
    o.SetMailMode(3);
    o.SetText(17, "Okay");
    o.SetMailBody("body");
    o.SetTextLanguage("Deutsch");
    o.SetReproduceText("steps");
    o.SetBuildStartCommand("make");
    o.Filters().Add(crashlog::TCrashExceptionFilter{});
    o.SetDefaults();
    TCrashModuleOptions fresh;
    EXPECT_TRUE(o.SameOptions(fresh));
    EXPECT_TRUE(o.Enabled());
    EXPECT_EQ(o.ReproduceText(), "");
    EXPECT_EQ(o.BuildStartCommand(), "");
}

}  // namespace
