// The call-stack, modules and processes tables, the assembler listing and
// the CPU part.

#include <gtest/gtest.h>

#include "ReportFixture.h"
#include "ReportLines.h"

namespace {

using namespace report_test;

TEST(ReportTables, CallStackBlocksHeadersAndWidths) {
    TFixture f;
    TCrashBugReport report;
    report.Build(f.Input);
    const std::vector<std::string> lines = Lines(report.CallStackTable());
    // Address 16, module 12 ("libcrashlog.so" is 14), unit 14, class 7,
    // procedure 16 (the label), line 7: 16+14+14+7+16+7 = 74, rule 74+7.
    const size_t width = 81;
    EXPECT_EQ(lines[0], "Call Stack Information:");
    EXPECT_EQ(lines[1], std::string(width, '-'));
    EXPECT_EQ(lines[2],
              "|Address         |Module        |Unit          |Class  |Procedure/Method|Line   |");
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].size(), width) << lines[i];
    EXPECT_EQ(lines[4].substr(0, 55), "|*Exception Thread: ID=1001; Priority=0; Class=; [Main]");
    EXPECT_EQ(lines[5], "|" + std::string(width - 2, '-') + "|");
    EXPECT_EQ(lines[6],
              "|000000000040103A|tarnwick      |Widget.cpp    |TWidget|Crash           |43[4]  |");
    // A running thread's block: separator, empty row, header, separator.
    EXPECT_EQ(lines[9], "|" + std::string(width - 2, '-') + "|");
    EXPECT_EQ(lines[10], "|" + std::string(width - 2, ' ') + "|");
    EXPECT_EQ(lines[11].substr(0, 54), "|Running Thread: ID=1017; Priority=5; Class=TWorker   ");
    // An export-only entry has no line.
    EXPECT_EQ(lines[13],
              "|00007F0000001234|libcrashlog.so|              |       |ThreadProc      |       |");
    // The calling thread's block: a separator only.
    EXPECT_EQ(lines[15], "|" + std::string(width - 2, '-') + "|");
    EXPECT_TRUE(lines[16].starts_with("|Calling Thread: ID=1017; Priority=5; Class=TWorker "))
        << lines[16];
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(lines[lines.size() - 2], std::string(width, '-'));
}

TEST(ReportTables, EntriesOfUnlistedKindsNeitherPrintNorWiden) {
    TFixture f;
    f.Stack.Items[3].ProcName = std::string(60, 'P');  // the export-only entry
    f.Stack.Items.push_back(f.Stack.Items[1]);
    f.Stack.Items.back().Kind = 1;  // module only: never printed
    f.Stack.Items.back().UnitName = std::string(50, 'U');
    f.Options->SetCallStackFlags(0);
    TCrashBugReport report;
    report.Build(f.Input);
    const std::string& table = report.CallStackTable();
    EXPECT_EQ(table.find("PPPP"), std::string::npos);
    EXPECT_EQ(table.find("UUUU"), std::string::npos);
    EXPECT_EQ(Lines(table)[1].size(), 81u);
    f.Options->SetCallStackFlags(call_stack_flags::ListExportOnlyEntries);
    report.Build(f.Input);
    EXPECT_EQ(Lines(report.CallStackTable())[1].size(), 81u - 16 + 60);
}

TEST(ReportTables, ThreadHeadersForUnknownThreadsLeaksAndLongNotes) {
    TFixture f;
    int reads = 0;
    f.Input.Threads[1].Priority = kUnreadThreadPriority;
    f.Input.ReadThreadPriority = [&](std::uint64_t id, std::int32_t& priority) {
        ++reads;
        priority = id == 1017 ? -2 : 0;
        return true;
    };
    StackEntry unknown = f.Stack.Items[2];
    unknown.ThreadId = 555;
    unknown.Note = std::string(200, 'n');  // cut at the table's width
    StackEntry leak = f.Stack.Items[2];
    leak.ThreadId = 0;
    leak.IsLeak = 1;
    leak.IsRaisePoint = 1;
    leak.LeakType = "Data";
    leak.LeakSize = 4096;
    leak.LeakCount = 2;
    f.Stack.Items.push_back(unknown);
    f.Stack.Items.push_back(leak);
    TCrashBugReport report;
    report.Build(f.Input);
    const std::string& table = report.CallStackTable();
    EXPECT_EQ(reads, 1);  // two blocks of thread 1017, one read
    EXPECT_NE(table.find("|Running Thread: ID=1017; Priority=-2; Class=TWorker "),
              std::string::npos);
    EXPECT_NE(table.find("|Running Thread: ID=555; Priority=??; Class= (nnnn"), std::string::npos);
    EXPECT_NE(table.find("|+Memory Leak: Type=Data; Total size=4096; Count=2 "), std::string::npos);
    const std::vector<std::string> lines = Lines(table);
    for (size_t i = 1; i < lines.size(); ++i)
        if (!lines[i].empty()) {
            EXPECT_EQ(lines[i].size(), 81u) << lines[i];
        }
}

TEST(ReportTables, EmptyCallStackIsATableWithoutRows) {
    TFixture f;
    f.Input.Stack = nullptr;
    TCrashBugReport report;
    report.Build(f.Input);
    const std::string rule(16 + 6 + 4 + 5 + 16 + 4 + 7, '-');
    EXPECT_EQ(report.CallStackTable(),
              "Call Stack Information:\r\n" + rule +
                  "\r\n|Address         |Module|Unit|Class|Procedure/Method|Line|\r\n" + rule +
                  "\r\n" + rule + "\r\n\r\n");
}

TEST(ReportTables, ModulesAndProcesses) {
    TFixture f;
    f.Input.Modules.push_back({0x10000, "/init", "", "", 10, 0});
    TCrashBugReport report;
    report.Build(f.Input);
    const std::vector<std::string> modules = Lines(report.ModulesTable());
    EXPECT_EQ(modules[4].substr(0, 18), "|0000000000400000|");
    EXPECT_NE(modules[5].find("|libcrashlog.so|                |         |1048576|"),
              std::string::npos)
        << "version 0.0.0.0 is no version: " << modules[5];
    EXPECT_NE(modules[5].find("|2025-12-08 00:00:00|/usr/lib/x86_64-linux-gnu|"), std::string::npos)
        << modules[5];
    EXPECT_NE(modules[6].find("|init          |"), std::string::npos) << modules[6];
    EXPECT_TRUE(modules[6].ends_with("|10     |                   |/                        |"))
        << "no time, a root folder: " << modules[6];
    const std::vector<std::string> processes = Lines(report.ProcessesTable());
    EXPECT_EQ(processes[2],
              "|ID  |Name    |Description     |Version  |Memory  |Priority    |Threads|Path        "
              "    |");
    EXPECT_EQ(processes[4],
              "|1   |systemd |                |         |12582912|Normal      |1      "
              "|/usr/lib/systemd|");
    EXPECT_EQ(processes[5],
              "|4242|tarnwick|Break reset tool|1.4.0.212|73400320|Below-Normal|??     "
              "|/opt/kestavo/bin|");
}

TEST(ReportTables, AssemblerListingStartsAtTheFaultingProcedure) {
    TFixture f;
    TCrashBugReport report;
    report.Build(f.Input);
    const std::vector<std::string> lines = Lines(report.AssemblerListing());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "; Widget.TWidget.Crash (Line=40 - Offset=1)");
    EXPECT_EQ(lines[1], "; " + std::string(lines[0].size() - 2, '-'));
    EXPECT_TRUE(lines[2].starts_with("0000000000401020  push")) << lines[2];
    std::string fault, call, text;
    for (const std::string& line : lines) {
        if (line.starts_with("000000000040103A")) fault = line;
        if (line.starts_with("0000000000401029")) call = line;
        if (line.starts_with("0000000000401024")) text = line;
    }
    EXPECT_TRUE(fault.ends_with("; <-- EXCEPTION")) << fault;
    EXPECT_NE(call.find("Helpers.Helper"), std::string::npos) << call;
    EXPECT_NE(text.find("; 'Hello, world.'"), std::string::npos) << text;
    // Every comment after code starts in one column.
    EXPECT_EQ(fault.find(';'), text.find(';'));
    // The walk ends after the return that follows the fault.
    EXPECT_TRUE(lines.back().starts_with("000000000040103D  ret")) << lines.back();
    const std::vector<std::string> title = Lines(report.AssemblerTitle());
    size_t longest = 0;
    for (const std::string& line : lines)
        longest = std::max(longest, line.size());
    EXPECT_EQ(title[1].size(), longest);
}

TEST(ReportTables, AssemblerCommentOfATextWithoutEnd) {
    TFixture f;
    std::vector<std::uint8_t>& text = f.Input.Memory[1].Bytes;
    std::fill(text.begin(), text.end(), 'A');
    TCrashBugReport report;
    report.Build(f.Input);
    EXPECT_NE(report.AssemblerListing().find("; '" + std::string(32, 'A') + "'..."),
              std::string::npos);
}

TEST(ReportTables, UnreadableExceptionAddressLeavesListingAndDumpOut) {
    TFixture f;
    f.Input.Address = 0x900000;
    TCrashBugReport report;
    report.Build(f.Input);
    EXPECT_EQ(report.AssemblerTitle(), "");
    EXPECT_EQ(report.AssemblerListing(), "");
    EXPECT_TRUE(report.CpuPart().ends_with(std::string(83, '-') + "\r\n"));
}

// The pass lists the live process's own code and stack.
__attribute__((noinline)) int LiveFunction(int x) {
    return x * 3 + 1;
}

TEST(ReportTables, LiveMemoryOfThisProcess) {
    TFixture f;
    f.Input.Memory.clear();
    f.Input.ReadLiveMemory = true;
    f.Input.ResolveAddress = nullptr;
    f.Input.Address = reinterpret_cast<std::uintptr_t>(&LiveFunction);
    std::uint64_t stack[16];
    for (int i = 0; i < 16; ++i)
        stack[i] = 0x1111111111111111ull * std::uint64_t(i);
    f.Input.StackStart = reinterpret_cast<std::uintptr_t>(stack);
    TCrashBugReport report;
    report.Build(f.Input);
    EXPECT_NE(report.AssemblerListing().find("; <-- EXCEPTION"), std::string::npos);
    const std::vector<std::string> cpu = Lines(report.CpuPart());
    ASSERT_EQ(cpu.size(), 25u);
    EXPECT_NE(cpu[10].find(": 1111111111111111   "), std::string::npos) << cpu[10];
    EXPECT_EQ(LiveFunction(1), 4);
}

TEST(ReportTables, CpuPartRegistersAndDump) {
    TFixture f;
    TCrashBugReport report;
    report.Build(f.Input);
    const std::vector<std::string> lines = Lines(report.CpuPart());
    EXPECT_EQ(lines[0], "Registers:");
    EXPECT_EQ(lines[1], std::string(45, '-'));
    EXPECT_EQ(lines[2], "RAX: 0000000000000008   RDI: 0000000000402000");
    EXPECT_EQ(lines[5], "RDX: 0000000000000000   RIP: 000000000040103A");
    EXPECT_EQ(lines[7], "Stack:                               Memory Dump:");
    EXPECT_EQ(lines[8], std::string(34, '-') + "   " + std::string(83, '-'));
    EXPECT_EQ(lines[9],
              "00007FFC00001000: 312A231C150E0700   000000000040103A: 8B 00 5D C3 90 90 90 90 90 "
              "90 90 90 90 90 90 90  ..].............");
    EXPECT_TRUE(lines[24].starts_with("00007FFC00001078: ")) << lines[24];
    EXPECT_EQ(lines.size(), 25u);

    f.Input.Context.Valid = false;
    report.Build(f.Input);
    EXPECT_EQ(Lines(report.CpuPart())[3], "RBX: ????????           RSI: ????????        ");
}

}  // namespace
