// The report's value formats and the aligned list of its numbered sections.

#include <gtest/gtest.h>

#include "crashlog/CrashReport.h"

namespace {

using namespace crashlog;

TEST(ReportFormat, DatesCarryTheLocalTimeAndItsZone) {
    struct Case {
        const char* label;
        TCrashTimeStamp stamp;
        const char* expected;
    };
    // 1796901600 is Thu 10 Dec 2026 11:20:00 UTC.
    const Case cases[] = {
        {"UTC", {1796901600, 0}, "Thu, 10 Dec 2026 11:20:00 +0000"},
        {"one hour ahead", {1796901600, 3600}, "Thu, 10 Dec 2026 12:20:00 +0100"},
        {"five hours behind", {1796901600, -5 * 3600}, "Thu, 10 Dec 2026 06:20:00 -0500"},
        {"ten hours ahead, next day",
         {1796901600 + 14 * 3600, 10 * 3600},
         "Fri, 11 Dec 2026 11:20:00 +1000"},
        {"half-hour zone keeps its minutes",
         {1796901600, 5 * 3600 + 1800},
         "Thu, 10 Dec 2026 16:50:00 +0530"},
        {"single-digit day, padded clock", {1767229205, 0}, "Thu, 1 Jan 2026 01:00:05 +0000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(FormatReportDate(c.stamp), c.expected);
    }
}

TEST(ReportFormat, DurationsNameOnlyTheUnitsThatAreNotZero) {
    struct Case {
        std::int64_t seconds;
        const char* expected;
    };
    const Case cases[] = {
        {0, "0 second"},
        {1, "1 second"},
        {61, "1 minute, 1 second"},
        {3720, "1 hour, 2 minutes, 0 second"},
        {2 * 86400 + 5, "2 days, 5 seconds"},
        {86400 + 3600 + 60 + 2, "1 day, 1 hour, 1 minute, 2 seconds"},
        {-5, "0 second"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(FormatDuration(c.seconds), c.expected);
    }
}

TEST(ReportFormat, MemoryDiskAndAddresses) {
    EXPECT_EQ(FormatMemoryMb(0), "0 Mb");
    EXPECT_EQ(FormatMemoryMb(1048576 + 524287), "1 Mb");  // rounded down below the half
    EXPECT_EQ(FormatMemoryMb(1048576 + 524288), "2 Mb");
    EXPECT_EQ(FormatMemoryMb(8ull << 30), "8192 Mb");
    EXPECT_EQ(FormatDiskGb(0), "0 Gb");
    EXPECT_EQ(FormatDiskGb(1ull << 30), "1 Gb");
    EXPECT_EQ(FormatDiskGb((1ull << 30) / 2 * 3), "1.5 Gb");
    EXPECT_EQ(FormatDiskGb(125819121664ull), "117.18 Gb");
    EXPECT_EQ(FormatIpAddress(0x0A000001), "010.000.000.001");
    EXPECT_EQ(FormatIpAddress(0), "000.000.000.000");
    EXPECT_EQ(FormatIpAddress(0xC0A8FFFE), "192.168.255.254");
}

TEST(ReportFormat, MultiLineValuesAreIndentedAndKeepNoColonBlank) {
    EXPECT_EQ(NormalizeListValue("single: line"), "single: line");
    EXPECT_EQ(NormalizeListValue("a: b\nc\r\rd\r\n"), "a:_b\r\n c\r\n .\r\n d");
    EXPECT_EQ(NormalizeListValue("trailing\r\n\r\n"), "trailing");
}

TEST(ReportFormat, AlignedListKeepsNumbersOfHiddenItemsAndAlignsValues) {
    TCrashAlignedList list;
    list.AddSection("Application");
    list.AddItem("Start Date", "today");
    list.AddItem("Name", "hidden", false);
    list.AddItem("Version Number", "1.0");
    list.AddSection("Hidden section");
    list.AddItem("Anything", "x", false);
    list.AddSection("Privileges");
    list.AddItem("Caps", "cap_chown - ON\r\ncap_kill: OFF\r\n");
    EXPECT_EQ(list.Finish("First\r\n\r\n"),
              "First\r\n\r\n"
              "Application:\r\n"
              "---------------------------\r\n"
              "  1.1 Start Date    : today\r\n"
              "  1.3 Version Number: 1.0\r\n"
              "\r\n"
              "Privileges:\r\n"
              "--------------------------\r\n"
              "  3.1 Caps: cap_chown - ON\r\n"
              "            cap_kill:_OFF\r\n");
}

TEST(ReportFormat, AlignedListDropsAHiddenLastSectionButNotItsSeparator) {
    TCrashAlignedList list(7);
    list.AddSection("Custom Information");
    list.AddItem("", "steps");
    list.AddSection("Empty");
    EXPECT_EQ(list.Finish(), "Custom Information:\r\n-------------\r\n  8.1 : steps\r\n\r\n");
}

TEST(ReportFormat, EmailAddressReplacesTheValueOfItemThreeThree) {
    std::string text =
        "User:\r\n-\r\n  3.2 Name : Anna\r\n  3.3 Email: old@x\r\n  3.4 Company: C\r\n";
    ReplaceEmailAddress(text, "anna@practice.example");
    EXPECT_EQ(text,
              "User:\r\n-\r\n  3.2 Name : Anna\r\n  3.3 Email: anna@practice.example\r\n"
              "  3.4 Company: C\r\n");
    // A typed line break must not forge a report line.
    ReplaceEmailAddress(text, "a@b\r\n  9.9 Forged: yes");
    EXPECT_EQ(text.find("\r\n  9.9"), std::string::npos);
    std::string none = "no such line\r\n";
    ReplaceEmailAddress(none, "x@y");
    EXPECT_EQ(none, "no such line\r\n");
}

}  // namespace
