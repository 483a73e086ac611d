// The bug report's size and build time for deep stacks.
//
// BM_BuildReport builds the whole report (general part, call-stack table,
// 60 modules, 150 processes, listing and CPU part) for a stack of N frames
// spread over ten threads; its counter "bytes" is the report's size.  The
// yardstick BM_PlainBacktrace writes the same frames one line each, the way
// a bare backtrace prints them, so the ratio of the two says what the
// report's layout costs.  Building must stay linear in the frames: compare
// N = 100 with N = 1000.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "crashlog/CrashReport.h"

namespace {

using namespace crashlog;

struct TBenchInput {
    std::vector<std::unique_ptr<TCrashModuleInfo>> Modules;
    TCrashStackList Stack;
    TCrashModuleOptions Options;
    TCrashReportInput Input;

    explicit TBenchInput(int frames) {
        for (int m = 0; m < 60; ++m) {
            auto info = std::make_unique<TCrashModuleInfo>();
            info->Handle = 0x7F0000000000 + std::uintptr_t(m) * 0x1000000;
            info->Name = "/usr/lib/x86_64-linux-gnu/libmodule" + std::to_string(m) + ".so.6";
            Input.Modules.push_back({info->Handle, info->Name, "Module " + std::to_string(m),
                                     "6.1.0." + std::to_string(m), 1048576u + unsigned(m),
                                     45999.5});
            Modules.push_back(std::move(info));
        }
        for (int i = 0; i < frames; ++i) {
            StackEntry e;
            e.Kind = 4;
            e.Module = Modules[size_t(i % 60)].get();
            e.ThreadId = 1000 + std::uint64_t(i * 10 / frames);
            e.IsRaisePoint = i == 0;
            e.Address = Modules[size_t(i % 60)]->Handle + 0x1000 + std::uintptr_t(i) * 16;
            e.UnitName = "Unit" + std::to_string(i % 37) + ".cpp";
            e.ClassName = i % 3 ? "TClass" + std::to_string(i % 11) : "";
            e.ProcName = "Procedure" + std::to_string(i);
            e.Line = 100 + std::uint32_t(i);
            e.ProcLine = 1 + i % 20;
            Stack.Items.push_back(std::move(e));
        }
        for (int t = 0; t < 10; ++t)
            Input.Threads.push_back({1000u + std::uint64_t(t), t, "TWorker", t == 0});
        for (int p = 0; p < 150; ++p) {
            TCrashProcessInfo info;
            info.ProcessId = 100 + p;
            info.Name = "/usr/bin/process" + std::to_string(p);
            info.PriorityClass = 0x20;
            info.Memory = 4096u * unsigned(p);
            info.Threads = unsigned(1 + p % 8);
            Input.Processes.push_back(info);
        }
        Input.Options = &Options;
        Input.StartTime = {1796901600, 3600};
        Input.ExceptionTime = {1796905200, 3600};
        Input.MainModulePath = "/opt/kestavo/bin/tarnwick";
        Input.CommandLine = "/opt/kestavo/bin/tarnwick";
        Input.ClassName = "EDBEngineError";
        Input.Message = "Record locked by another user.";
        Input.Address = 0x401000;
        Input.Stack = &Stack;
        Input.Context.Valid = true;
        Input.StackStart = 0x7FFC00000000;
        Input.Memory.push_back({0x400FB0, std::vector<std::uint8_t>(0x200, 0x90)});
        Input.Memory.push_back({0x7FFC00000000, std::vector<std::uint8_t>(256, 0x11)});
        Input.System.UserId = "dentist";
        Input.System.ComputerName = "reception";
    }
};

void BM_BuildReport(benchmark::State& state) {
    const TBenchInput bench(int(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string report = BuildBugReport(bench.Input);
        bytes = report.size();
        benchmark::DoNotOptimize(report.data());
    }
    state.counters["bytes"] = double(bytes);
    state.counters["frames"] = double(state.range(0));
}
BENCHMARK(BM_BuildReport)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Yardstick: the same frames, one line each.
void BM_PlainBacktrace(benchmark::State& state) {
    const TBenchInput bench(int(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out;
        char line[512];
        int i = 0;
        for (const StackEntry& e : bench.Stack.Items) {
            const int n =
                std::snprintf(line, sizeof line, "#%d 0x%016llx in %s::%s at %s:%u\n", i++,
                              static_cast<unsigned long long>(e.Address), e.ClassName.c_str(),
                              e.ProcName.c_str(), e.UnitName.c_str(), e.Line);
            out.append(line, size_t(n));
        }
        bytes = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = double(bytes);
}
BENCHMARK(BM_PlainBacktrace)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
