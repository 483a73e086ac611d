// Options streams of older library data, built byte by byte.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "StreamBuilder.h"
#include "crashlog/CrashOptions.h"

namespace {

using crashlog::TCrashModuleOptions;
using crashlog_test::StreamBuilder;

using Ranges = std::vector<std::pair<int, int>>;
// The customized texts that older data carried.
const Ranges kTexts4xx = {{0, 25},  {37, 42}, {44, 47},   {49, 50},  {55, 62},
                          {66, 83}, {92, 97}, {110, 117}, {123, 145}};
const Ranges kTexts5xxx = {{0, 25}, {37, 104}, {110, 117}, {123, 145}};

std::string OldText(int i) {
    return "T" + std::to_string(i);
}

// Older data stores a string that is no longer used in front of text 68.
void AddOldTexts(StreamBuilder& b, const Ranges& ranges) {
    for (auto [first, last] : ranges)
        for (int i = first; i <= last; ++i) {
            if (i == 68) b.str("dropped");
            b.str(OldText(i));
        }
}

struct LegacyRow {
    const char* label;
    std::uint16_t version;
    std::function<void(StreamBuilder&)> build;
    std::function<void(const TCrashModuleOptions&)> check;
};

const LegacyRow kRows[] = {
    {"400: oldest, inverted dialog byte, no frozen or login fields", 400,
     [](StreamBuilder& b) {
         b.u8(1).u8(0).u8(0x01);
         b.u8(1);  // dialog byte, inverted: 1 means no dialog
         b.u8(1);
         b.str("smtp.example.org");
         b.u8(0);  // the terminate button is off
         b.u32(7).u32(1).str("to@example.org").str("subject");
         b.u8(1);  // some mail mode; with a server it means the SMTP client
         b.le(0xFF, 4).u8(0xEE);
         b.str("/var/log/app");
         b.u32(1).str("EFoo").str("replacement");
         b.str("body");
         AddOldTexts(b, kTexts4xx);
     },
     [](const TCrashModuleOptions& o) {
         EXPECT_TRUE(o.LoggingEnabled());
         EXPECT_FALSE(o.ApplyFilters());
         EXPECT_EQ(o.LogFlags(), 0x01);
         EXPECT_EQ(o.DialogKind(), 0);
         EXPECT_TRUE(o.ReportInMessageBody());
         EXPECT_TRUE(o.StoreInLogFile());  // not stored: kept
         EXPECT_EQ(o.SmtpServer(), "smtp.example.org");
         EXPECT_EQ(o.TerminateButtonAction(), 0);
         EXPECT_EQ(o.ErrorsToKeep(), 7u);
         EXPECT_EQ(o.MailMode(), 2);
         EXPECT_EQ(o.ShownFields(), 0xFE0FC3C0F7FFull);
         EXPECT_EQ(o.OutputFolder(), "/var/log/app");
         ASSERT_EQ(o.Filters().Count(), 1);
         const auto& f = o.Filters().Item(0);
         EXPECT_TRUE(f.Enabled);
         EXPECT_EQ(f.ClassName, "EFoo");
         EXPECT_EQ(f.Scope, 2);
         EXPECT_EQ(f.DialogChoice, 2);
         EXPECT_EQ(f.Handling, 0);
         EXPECT_EQ(f.FinalAction, 0);
         EXPECT_EQ(o.MailBody(), "body");
         EXPECT_EQ(o.RawText(67), "T67");
         EXPECT_EQ(o.RawText(68), "T68");
         EXPECT_EQ(o.RawText(145), "T145");
         EXPECT_EQ(o.RawText(43), "Up Time");  // not in this data: kept
         EXPECT_EQ(o.TextLanguage(), "English");
     }},
    {"421: frozen time in milliseconds, login fields", 421,
     [](StreamBuilder& b) {
         b.u8(0).u8(1).u8(0x30);
         b.u8(0);  // inverted: a dialog is shown
         b.u8(0);
         b.u8(0).u8(3);  // StoreInLogFile, FirstTab 3 (now 5)
         b.u8(1);        // own look and feel
         b.u8(1).u32(5000).str("Frozen!");
         b.str("mail.example.org");
         b.str("login").str("pw").u8(1);
         b.u8(1);
         b.u32(9).u32(4).str("").str("").u8(5);
         b.le(0, 4).u8(0);
         b.str("");
         b.u32(0);
         b.str("");
         AddOldTexts(b, kTexts4xx);
     },
     [](const TCrashModuleOptions& o) {
         EXPECT_EQ(o.DialogKind(), 2);
         EXPECT_FALSE(o.StoreInLogFile());
         EXPECT_EQ(o.FirstTab(), 5);
         EXPECT_EQ(o.DialogFlags(), 0x01CF);
         EXPECT_TRUE(o.DetectFrozen());
         EXPECT_EQ(o.FrozenSeconds(), 5u);
         EXPECT_EQ(o.RawText(156), "Frozen!");
         EXPECT_EQ(o.SmtpLogin(), "login");
         EXPECT_EQ(o.SmtpAuthPassword(), "pw");
         EXPECT_EQ(o.TerminateButtonAction(), 1);
         EXPECT_EQ(o.MailMode(), 2);
         EXPECT_EQ(o.ShownFields(), 0xFE0FC3C0F230ull);
         EXPECT_EQ(o.RawText(0), "T0");
     }},
    {"460: send flags from three bytes, sender and port", 460,
     [](StreamBuilder& b) {
         b.u8(0).u8(1).u8(0x30);
         b.u8(0);  // not inverted any more: 0 means no dialog
         b.u8(0);
         b.u8(1).u8(0).u8(0);  // whole log on, screenshot off, progress off
         b.u8(1).u8(2);
         b.u8(0);
         b.u8(0).u32(30).str("");
         b.str("sender@example.org").str("srv").u16(587);
         b.str("").str("").u8(2);
         b.u8(1);
         b.u32(32).u32(3).str("r").str("s").u8(3);
         b.le(0x12345678, 4);
         b.str("out");
         b.u32(0);
         b.str("");
         AddOldTexts(b, kTexts4xx);
     },
     [](const TCrashModuleOptions& o) {
         EXPECT_EQ(o.DialogKind(), 0);
         EXPECT_EQ(o.SendFlags(), 0x44);
         EXPECT_EQ(o.FirstTab(), 2);
         EXPECT_EQ(o.DialogFlags(), 0x018F);
         EXPECT_EQ(o.FrozenSeconds(), 30u);
         EXPECT_EQ(o.RawText(156), "The application seems to be frozen.");
         EXPECT_EQ(o.SmtpSender(), "sender@example.org");
         EXPECT_EQ(o.SmtpServerPort(), 587);
         EXPECT_EQ(o.MailMode(), 3);
         EXPECT_EQ(o.ShownFields(), 0xFE6FE3EBF3F8ull);
         EXPECT_EQ(o.OutputFolder(), "out");
     }},
    {"5000: web options, one-byte sets, filters without their byte fields", 5000,
     [](StreamBuilder& b) {
         b.u8(1).u8(1).u8(0x30);
         b.u8(0);
         b.u8(1).u8(3);
         b.u8(1).u32(90).str("Still frozen");
         b.str("s@example.org").str("").u16(25);
         b.str("").str("").u8(2);
         b.u8(0);  // the terminate button is off
         b.u32(10).u32(2).str("").str("").u8(1);
         b.le(0x0102030405, 5);
         b.str("");
         b.u8(1).str("http://bugs").str("wl").str("wp").u32(8081).str("att");
         b.u16(0x0201);  // includes bit 9, which this data cannot mean
         b.u8(0x30);
         b.u32(15).str("support").str("<html/>");
         b.u8(0x03);
         b.u8(0x81);
         b.u8(1).u32(5).u32(2);
         b.u32(2).str("EA").str("shown").str("EB").str("");
         b.str("mail");
         AddOldTexts(b, kTexts5xxx);
     },
     [](const TCrashModuleOptions& o) {
         EXPECT_EQ(o.FirstTab(), 5);
         EXPECT_EQ(o.RawText(156), "Still frozen");
         EXPECT_EQ(o.TerminateButtonAction(), 0);
         EXPECT_EQ(o.MailMode(), 1);
         EXPECT_EQ(o.ShownFields(), 0xC14E0FC1F225ull);
         EXPECT_EQ(o.WebMode(), 1);
         EXPECT_EQ(o.WebAddress(), "http://bugs");
         EXPECT_EQ(o.WebServerPort(), 8081u);
         EXPECT_EQ(o.ExtraAttachments(), "att");
         EXPECT_EQ(o.SendFlags(), 0x0001);
         EXPECT_EQ(o.DialogFlags(), 0x0030);
         EXPECT_EQ(o.AutoCloseSeconds(), 15u);
         EXPECT_EQ(o.WebPageTemplate(), "<html/>");
         EXPECT_EQ(o.CallStackFlags(), 0x13);
         EXPECT_EQ(o.BehaviourFlags(), 0x0081);
         EXPECT_EQ(o.LeakFlags(), 0x1E);
         EXPECT_EQ(o.RepeatAction(), 1);
         EXPECT_EQ(o.RepeatCount(), 5u);
         EXPECT_EQ(o.RepeatMinutes(), 2u);
         EXPECT_EQ(o.DialogKind(), 2);
         ASSERT_EQ(o.Filters().Count(), 2);
         for (int i = 0; i < 2; ++i) {
             EXPECT_TRUE(o.Filters().Item(i).Enabled);
             EXPECT_EQ(o.Filters().Item(i).Scope, 2);
         }
         EXPECT_EQ(o.Filters().Item(0).DialogChoice, 2);
         EXPECT_EQ(o.Filters().Item(1).DialogChoice, 0);
         EXPECT_EQ(o.MailBody(), "mail");
         EXPECT_EQ(o.RawText(104), "T104");
         EXPECT_EQ(o.RawText(26),
                   "The application has encountered a problem. We are sorry for "
                   "the inconvenience.");
         EXPECT_EQ(o.TextLanguage(), "English");
     }},
};

TEST(OptionsLegacy, OlderLayoutsAreReadFieldByField) {
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.label);
        StreamBuilder b;
        row.build(b);
        TCrashModuleOptions o;
        o.SetSendFlags(o.SendFlags() | crashlog::send_flags::ComputerNameInFileName);
        // Every byte belongs to a field: a misplaced field shifts the rest.
        EXPECT_EQ(o.LoadFromStream(b.bytes, row.version), b.bytes.size());
        EXPECT_EQ(o.SendFlags() & crashlog::send_flags::ComputerNameInFileName, 0);
        EXPECT_NE(o.CallStackFlags() & crashlog::call_stack_flags::ReadFromOldData, 0);
        row.check(o);

        // Old data cut anywhere reads without harm.
        for (std::size_t len = 0; len < b.bytes.size(); ++len) {
            TCrashModuleOptions cut;
            ASSERT_EQ(cut.LoadFromStream(std::span(b.bytes.data(), len), row.version), len);
        }
    }
}

TEST(OptionsLegacy, Version6000OnReadsTheCurrentLayout) {
    TCrashModuleOptions source;
    source.SetLeakFlags(0x05);
    source.SetDialogKind(3);
    source.SetTextLanguage("Français");
    source.Filters().Add(crashlog::TCrashExceptionFilter{false, "EX", "", 1, 3, 1, 1});
    for (std::uint16_t version : {6000, 6001, 6020, 600, 602}) {
        SCOPED_TRACE(version);
        TCrashModuleOptions o;
        o.LoadFromStream(source.SaveToBytes(), version);
        EXPECT_TRUE(o.SameOptions(source));
    }
}

}  // namespace
