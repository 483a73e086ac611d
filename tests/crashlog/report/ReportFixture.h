// A fixed report input: a fixed clock, fixed system values, a crafted
// call stack over two modules, module and process lists, and a copy of
// code and stack memory with two procedures around the exception address.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crashlog/CrashReport.h"

namespace report_test {

using namespace crashlog;

// 0x401000: procedure Helper; 0x401020: TWidget.Crash, whose "mov eax,[rax]"
// at kFaultAddress faults.  0x402000 holds a text the code loads.
inline constexpr std::uintptr_t kCodeBase = 0x401000;
inline constexpr std::uintptr_t kCrashProc = 0x401020;
inline constexpr std::uintptr_t kFaultAddress = 0x40103A;
inline constexpr std::uintptr_t kTextAddress = 0x402000;
inline constexpr std::uintptr_t kStackStart = 0x7FFC00001000;

inline std::vector<std::uint8_t> CodeBytes() {
    std::vector<std::uint8_t> code = {
        // Helper
        0x55,                                      // push rbp
        0x48, 0x89, 0xE5,                          // mov rbp, rsp
        0x48, 0x83, 0xEC, 0x10,                    // sub rsp, 0x10
        0xC7, 0x45, 0xFC, 0x05, 0x00, 0x00, 0x00,  // mov dword [rbp-4], 5
        0x8B, 0x45, 0xFC,                          // mov eax, [rbp-4]
        0xC9,                                      // leave
        0xC3,                                      // ret
    };
    code.resize(0x20, 0xCC);
    const std::uint8_t crash[] = {
        0x55,                          // push rbp            401020
        0x48, 0x89, 0xE5,              // mov rbp, rsp        401021
        0xBF, 0x00, 0x20, 0x40, 0x00,  // mov edi, 0x402000   401024
        0xE8, 0xD2, 0xFF, 0xFF, 0xFF,  // call Helper         401029
        0x48, 0x8B, 0x45, 0xF8,        // mov rax, [rbp-8]    40102E
        0x48, 0x83, 0xC0, 0x08,        // add rax, 8          401032
        0x31, 0xC9,                    // xor ecx, ecx        401036
        0x31, 0xD2,                    // xor edx, edx        401038
        0x8B, 0x00,                    // mov eax, [rax]      40103A  <- fault
        0x5D,                          // pop rbp             40103C
        0xC3,                          // ret                 40103D
    };
    code.insert(code.end(), std::begin(crash), std::end(crash));
    code.resize(0x140, 0x90);
    return code;
}

// Modules the stack entries point at; they must outlive the inputs.
struct TFixtureModules {
    TCrashModuleInfo Program, Library;
    TFixtureModules() {
        Program.Handle = 0x400000;
        Program.Name = "/opt/kestavo/bin/tarnwick";
        Library.Handle = 0x7F0000000000;
        Library.Name = "/usr/lib/x86_64-linux-gnu/libcrashlog.so";
    }
};

inline StackEntry Entry(const TCrashModuleInfo* module, std::uint64_t thread,
                        std::uintptr_t address, std::string unit, std::string cls, std::string proc,
                        std::uint32_t line, std::int32_t procLine, std::uint8_t kind = 4) {
    StackEntry e;
    e.Kind = kind;
    e.Module = module;
    e.ThreadId = thread;
    e.Address = address;
    e.UnitName = std::move(unit);
    e.ClassName = std::move(cls);
    e.ProcName = std::move(proc);
    e.Line = line;
    e.ProcLine = procLine;
    return e;
}

inline TCrashSystemValues FixedSystemValues() {
    TCrashSystemValues s;
    s.UserId = "dentist";
    s.UserName = "Anna Dentist";
    s.Company = "";
    s.Privileges = FormatPrivileges(0x3, 0x1);
    s.ForegroundClass = "tarnwick";
    s.ForegroundText = "Tarnwick";
    s.ComputerName = "reception-pc-number-two";  // longer than 15: cut
    s.TotalMemory = "7934 Mb";
    s.FreeMemory = "2048 Mb";
    s.TotalDisk = "117.18 Gb";
    s.FreeDisk = "40.5 Gb";
    s.SystemUpTime = "3 days, 2 hours, 0 minute, 7 seconds";
    s.Processor = "Intel(R) Core(TM) i5-8250U CPU @ 1.60GHz";
    s.DisplayMode = "1920 x 1080, 24 bit";
    s.DisplayDpi = "96";
    s.VideoCard = "Intel Corporation UHD Graphics 620 (driver i915)";
    s.Printer = "HP LaserJet 4000 Series (driver 1.1)";
    s.OsType = "Debian GNU/Linux 12 (bookworm)";
    s.OsBuild = "6.1.0-18-amd64";
    s.OsUpdate = "12.5";
    s.Language = "English";
    s.Charset = "0";
    s.IpAddress = "192.168.001.020";
    s.SubnetMask = "255.255.255.000";
    s.Gateway = "192.168.001.001";
    s.Dns1 = "192.168.001.001";
    s.Dns2 = "000.000.000.000";
    s.Dhcp = "ON             ";
    return s;
}

// The code's procedures as the debug data would resolve them.
inline StackEntry ResolveFixture(std::uintptr_t address) {
    StackEntry e;
    if (address >= kCodeBase && address < kCrashProc) {
        e.Kind = 4;
        e.UnitName = "Helpers.cpp";
        e.ProcName = "Helper";
        e.Line = 10 + std::uint32_t((address - kCodeBase) / 8);
        e.ProcLine = std::int32_t(e.Line - 10 + 1);
    } else if (address >= kCrashProc && address < kCrashProc + 0x20) {
        e.Kind = 4;
        e.UnitName = "Widget.cpp";
        e.ClassName = "TWidget";
        e.ProcName = "Crash";
        e.Line = 40 + std::uint32_t((address - kCrashProc) / 8);
        e.ProcLine = std::int32_t(e.Line - 40 + 1);
    }
    return e;
}

struct TFixture {
    TFixtureModules Modules;
    TCrashStackList Stack;
    std::unique_ptr<TCrashModuleOptions> Options = std::make_unique<TCrashModuleOptions>();
    TCrashReportInput Input;

    TFixture() {
        const std::uint64_t main = 1001, worker = 1017;
        Stack.Items = {
            [&] {
                auto e = Entry(&Modules.Program, main, kFaultAddress, "Widget.cpp", "TWidget",
                               "Crash", 43, 4);
                e.IsRaisePoint = 1;
                return e;
            }(),
            Entry(&Modules.Program, main, 0x401105, "BreakReset.cpp", "TForm1", "BTN_GOClick", 120,
                  14),
            Entry(&Modules.Program, main, 0x401180, "main.cpp", "", "main", 12, 3),
            Entry(&Modules.Library, worker, 0x7F0000001234, "", "", "ThreadProc", 0, 0, 2),
            Entry(&Modules.Library, worker, 0x7F0000001300, "Worker.cpp", "TWorker", "Execute", 77,
                  9),
            [&] {
                auto e =
                    Entry(&Modules.Program, worker, 0x4011A0, "Threads.cpp", "", "Start", 5, 2);
                e.OwnStack = 0;
                return e;
            }(),
        };
        TCrashReportInput& in = Input;
        in.Options = Options.get();
        in.ProgramKind = TCrashProgramKind::Gui;
        in.StartTime = {1796901600, 3600};  // Thu, 10 Dec 2026 12:20:00 +0100
        in.ExceptionTime = {1796901600 + 3 * 3600 + 61,
                            3600};  // three hours, one minute, one second later
        in.MainModulePath = "/opt/kestavo/bin/tarnwick";
        in.MainModuleDescription = "Break reset tool";
        in.MainModuleVersion = "1.4.0.212";
        in.CommandLine = "/opt/kestavo/bin/tarnwick --practice demo";
        in.BuildTime = 46000.5;  // 9 Dec 2025 12:00 UTC
        in.ClassName = "EDBEngineError";
        in.Message = "Record locked by another user.\nTable: APP_REC";
        in.Address = kFaultAddress;
        in.ModulePath = "/opt/kestavo/bin/tarnwick";
        in.ModuleDescription = " Break reset tool ";
        in.ModuleVersion = "1.4.0.212";
        in.ThreadId = main;
        in.Id = 0x3A7F;
        in.FocusClass = "QPushButton";
        in.FocusText = "Go";
        in.System = FixedSystemValues();
        in.Stack = &Stack;
        in.Threads = {{main, 0, "", true}, {worker, 5, "TWorker", false}};
        in.Modules = {
            {0x400000, "/opt/kestavo/bin/tarnwick", "Break reset tool", "1.4.0.212", 482304,
             46000.25},
            {0x7F0000000000, "/usr/lib/x86_64-linux-gnu/libcrashlog.so", "", "0.0.0.0", 1048576,
             45999.0},
        };
        TCrashProcessInfo shell;
        shell.ProcessId = 1;
        shell.Name = "/usr/lib/systemd/systemd";
        shell.PriorityClass = 0x20;
        shell.Memory = 12582912;
        shell.Threads = 1;
        TCrashProcessInfo self;
        self.ProcessId = 4242;
        self.Name = "/opt/kestavo/bin/tarnwick";
        self.Description = "Break reset tool";
        self.Version = "1.4.0.212";
        self.PriorityClass = 0x4000;
        self.Memory = 73400320;
        self.Threads = 0;
        in.Processes = {shell, self};

        in.Context.Valid = true;
        in.Context.Rax = 0x8;
        in.Context.Rbx = 0x7FFC00001100;
        in.Context.Rcx = 0;
        in.Context.Rdx = 0;
        in.Context.Rsi = 0x1;
        in.Context.Rdi = kTextAddress;
        in.Context.Rsp = kStackStart;
        in.Context.Rip = kFaultAddress;
        in.StackStart = kStackStart;
        in.Memory.push_back({kCodeBase, CodeBytes()});
        std::vector<std::uint8_t> text(64, 0);
        const std::string hello = "Hello, world\n";
        std::copy(hello.begin(), hello.end(), text.begin());
        in.Memory.push_back({kTextAddress, text});
        std::vector<std::uint8_t> stack(256);
        for (size_t i = 0; i < stack.size(); ++i)
            stack[i] = std::uint8_t(i * 7);
        in.Memory.push_back({kStackStart, stack});
        in.ResolveAddress = ResolveFixture;
    }
};

}  // namespace report_test
