// Whole reports from the fixed input, and what each option bit changes.

#include <gtest/gtest.h>

#include "ReportFixture.h"
#include "support/Golden.h"

namespace {

using namespace report_test;
using kvo::support::ExpectMatchesGolden;

const std::string kGolden = KVO_REPORT_GOLDEN_DIR;

TEST(ReportGolden, WholeReportFromAFixedInput) {
    TFixture f;
    ExpectMatchesGolden(kGolden + "/full_report.txt", BuildBugReport(f.Input));
}

TEST(ReportGolden, ConsoleProgramWithoutListsCpuOrContext) {
    TFixture f;
    f.Input.ProgramKind = TCrashProgramKind::Console;
    f.Options->SetLogFlags(0);
    f.Input.Context = {};
    ExpectMatchesGolden(kGolden + "/console_without_lists.txt", BuildBugReport(f.Input));
}

TEST(ReportGolden, WithoutListsTheReportEndsWithFourEmptySections) {
    TFixture f;
    f.Options->SetLogFlags(0);
    const std::string text = BuildBugReport(f.Input);
    const std::string tail =
        "Modules Information:\r\n--------------------\r\n\r\n"
        "Processes Information:\r\n----------------------\r\n\r\n"
        "Assembler Information:\r\n----------------------\r\n\r\n"
        "Registers:\r\n----------\r\n\r\n";
    EXPECT_TRUE(text.ends_with(tail))
        << text.substr(text.size() - std::min(text.size(), tail.size()));
}

TEST(ReportGolden, AddedSectionsAreNumberedEightAndStandBeforeTheCallStack) {
    TFixture f;
    f.Options->SetLogFlags(f.Options->LogFlags() | log_flags::ReproduceRequest);
    TCrashBugReport report;
    report.Build(f.Input);
    report.SendCopy() = "older reports\r\n" + report.SendCopy();
    report.AddCustomInformation({"Practice = Demo Dental", "Workstation=RECEPTION", "no equals"});
    report.AddStepsToReproduce("Pressed Go\r\ntwice");
    const std::string expected =
        "Custom Information:\r\n"
        "------------------------------\r\n"
        "  8.1 Practice   : Demo Dental\r\n"
        "  8.2 Workstation: RECEPTION\r\n"
        "  8.3 no equals  : \r\n"
        "\r\n"
        "Request:\r\n"
        "------------------\r\n"
        "  8.1 : Pressed Go\r\n"
        "        twice\r\n"
        "\r\n"
        "Call Stack Information:\r\n";
    const std::string& text = report.Text();
    const size_t network = text.find("  7.6 DHCP");
    ASSERT_NE(network, std::string::npos);
    EXPECT_EQ(text.find(expected), text.find("\r\n", network) + 4);
    EXPECT_TRUE(report.GeneralPart().ends_with("        twice\r\n"));
    EXPECT_EQ(report.LogCopy(), text);
    EXPECT_EQ(report.SendCopy(), "older reports\r\n" + text);
}

TEST(ReportGolden, AddedSectionsNeedTheirOptionBits) {
    TFixture f;
    f.Options->SetShownFields(kAllShownFields & ~(std::uint64_t{1} << 47));
    f.Options->SetLogFlags(log_flags::LogModuleLists);
    TCrashBugReport report;
    report.Build(f.Input);
    const std::string before = report.Text();
    report.AddCustomInformation({"a=b"});
    report.AddStepsToReproduce("steps");
    EXPECT_EQ(report.Text(), before);
}

TEST(ReportGolden, EmailAddressReachesTheReportAndEveryCopy) {
    TFixture f;
    TCrashBugReport report;
    report.Build(f.Input);
    report.SetEmailAddress("anna@practice.example");
    for (const std::string* text :
         {&report.Text(), const_cast<const std::string*>(&report.LogCopy()),
          const_cast<const std::string*>(&report.SendCopy())})
        EXPECT_NE(text->find("  3.3 Email     : anna@practice.example\r\n"), std::string::npos);
}

// Each ShownFields bit hides exactly its own item; 3.4 and 3.5 use bits 20
// and 19, in that order.
TEST(ReportGolden, EveryShownFieldsBitHidesItsItem) {
    const char* items[47] = {"1.1", "1.2", "1.3", "1.4", "1.5",  "1.6",  "2.1", "2.2", "2.3", "2.4",
                             "2.5", "2.6", "2.7", "2.8", "2.9",  "2.10", "3.1", "3.2", "3.3", "3.5",
                             "3.4", "4.1", "4.2", "4.3", "4.4",  "5.1",  "5.2", "5.3", "5.4", "5.5",
                             "5.6", "5.7", "5.8", "5.9", "5.10", "5.11", "6.1", "6.2", "6.3", "6.4",
                             "6.5", "7.1", "7.2", "7.3", "7.4",  "7.5",  "7.6"};
    TFixture f;
    TCrashBugReport report;
    for (int bit = 0; bit < 47; ++bit) {
        SCOPED_TRACE("bit " + std::to_string(bit));
        f.Options->SetShownFields(kAllShownFields & ~(std::uint64_t{1} << bit));
        report.Build(f.Input);
        const std::string& general = report.GeneralPart();
        for (int other = 0; other < 47; ++other) {
            const bool present =
                general.find("\r\n  " + std::string(items[other]) + " ") != std::string::npos;
            EXPECT_EQ(present, other != bit) << items[other];
        }
    }
}

TEST(ReportGolden, HiddenSectionsLeaveNoTitleAndKeepTheirNumber) {
    TFixture f;
    f.Input.ProgramKind = TCrashProgramKind::Cgi;  // section 4 is for GUI programs only
    std::uint64_t fields = kAllShownFields;
    for (int bit = 36; bit <= 40; ++bit)
        fields &= ~(std::uint64_t{1} << bit);  // section 6
    f.Options->SetShownFields(fields);
    TCrashBugReport report;
    report.Build(f.Input);
    const std::string& g = report.GeneralPart();
    EXPECT_EQ(g.find("Active Controls"), std::string::npos);
    EXPECT_EQ(g.find("Operating System"), std::string::npos);
    EXPECT_NE(g.find("\r\n\r\nComputer:\r\n"), std::string::npos);
    EXPECT_NE(g.find("\r\n\r\nNetwork:\r\n"), std::string::npos);
    EXPECT_NE(g.find("  7.1 IP Address"), std::string::npos);
    EXPECT_EQ(g.find("\r\n\r\n\r\n"), std::string::npos);
}

// Bits 0, 2 and 3 steer the log store and leave the text alone; bit 1 only
// enables the added request section.
TEST(ReportGolden, LogFlagsChangeOnlyTheirPieces) {
    TFixture f;
    const std::uint8_t base = log_flags::LogModuleLists | log_flags::LogCpuAndAssembler;
    f.Options->SetLogFlags(base);
    TCrashBugReport full;
    full.Build(f.Input);
    for (std::uint8_t bit : {log_flags::MergeDuplicates, log_flags::ReproduceRequest,
                             log_flags::ResetLogOnNewVersion, log_flags::ComputerNameInLogName}) {
        SCOPED_TRACE(int(bit));
        f.Options->SetLogFlags(base | bit);
        TCrashBugReport other;
        other.Build(f.Input);
        EXPECT_EQ(other.Text(), full.Text());
    }
    f.Options->SetLogFlags(log_flags::LogCpuAndAssembler);
    TCrashBugReport noLists;
    noLists.Build(f.Input);
    EXPECT_EQ(noLists.GeneralPart(), full.GeneralPart());
    EXPECT_EQ(noLists.CallStackTable(), full.CallStackTable());
    EXPECT_EQ(noLists.ModulesTable(), "Modules Information:\r\n--------------------\r\n\r\n");
    EXPECT_EQ(noLists.AssemblerListing(), full.AssemblerListing());
    EXPECT_EQ(noLists.CpuPart(), full.CpuPart());

    f.Options->SetLogFlags(log_flags::LogModuleLists);
    TCrashBugReport noCpu;
    noCpu.Build(f.Input);
    EXPECT_EQ(noCpu.ModulesTable(), full.ModulesTable());
    EXPECT_EQ(noCpu.AssemblerTitle(), "Assembler Information:\r\n----------------------");
    EXPECT_EQ(noCpu.AssemblerListing(), "");
    EXPECT_EQ(noCpu.CpuPart(), "Registers:\r\n----------\r\n\r\n");
}

TEST(ReportGolden, ExceptionMessages) {
    struct Case {
        const char* label;
        void (*change)(TCrashReportInput&);
        const char* expected;
    };
    const Case cases[] = {
        {"own message gets a final dot", [](TCrashReportInput& in) { in.Message = "Locked"; },
         "Locked."},
        {"dot kept", [](TCrashReportInput& in) { in.Message = "Locked."; }, "Locked."},
        {"not an exception class", [](TCrashReportInput& in) { in.IsExceptionClass = false; },
         "Unknown error message."},
        {"access violation in a module",
         [](TCrashReportInput& in) {
             in.AccessViolation = {true, false, 0x10, 0x40103A, "/opt/kestavo/bin/tarnwick"};
         },
         "Access violation at address 000000000040103A in module 'tarnwick'. Read of address "
         "0000000000000010."},
        {"write outside every module",
         [](TCrashReportInput& in) {
             in.AccessViolation = {true, true, 0xDEAD0000, 0x7FFF12345678, ""};
         },
         "Access violation at address 00007FFF12345678. Write of address 00000000DEAD0000."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TFixture f;
        c.change(f.Input);
        EXPECT_EQ(ReportExceptionMessage(f.Input), c.expected);
    }
}

TEST(ReportGolden, LastMessageBlanksControlCharactersButKeepsLineBreaks) {
    TFixture f;
    f.Input.Message = "Tab\there\r\nnext\x01line";
    TCrashBugReport report;
    report.Build(f.Input);
    EXPECT_EQ(report.LastExceptionMessage(), "Tab here\r\nnext line.");
}

TEST(ReportGolden, ParametersLeaveOutTheProgram) {
    struct Case {
        const char* commandLine;
        const char* expected;
    };
    const Case cases[] = {
        {"/opt/kestavo/bin/tarnwick --practice demo", "--practice demo"},
        {"\"/opt/kestavo/bin/tarnwick\"  -x ", "-x"},
        {"./tarnwick -v", "-v"},  // started by a relative name
        {"/opt/kestavo/bin/tarnwick", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commandLine);
        TFixture f;
        f.Input.CommandLine = c.commandLine;
        TCrashBugReport report;
        report.Build(f.Input);
        const std::string& g = report.GeneralPart();
        const size_t at = g.find("  1.4 Parameters");
        ASSERT_NE(at, std::string::npos);
        const size_t value = g.find(": ", at) + 2;
        EXPECT_EQ(g.substr(value, g.find("\r\n", value) - value), c.expected);
    }
}

}  // namespace
