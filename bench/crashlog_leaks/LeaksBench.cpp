// The leak checker's cost on a malloc-heavy workload (8 threads, 16 B to
// 64 KB): checker on against off, and the same workload under
// LeakSanitizer, heaptrack and Valgrind's memcheck, and the checker off
// against a program without the crash library.  Each run is a separate
// process; the iteration time is the workload's own (tool start-up and
// post-processing left out), and the counters give the process's peak
// resident memory and both figures as ratios to the checker off.
// LEAKS_BENCH_OPERATIONS sets the operations per thread (default 100000).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct TResult {
    bool Ok = false;
    double Seconds = 0;
    long PeakKb = 0;
};

std::string Operations() {
    const char* v = std::getenv("LEAKS_BENCH_OPERATIONS");
    return v && *v ? v : "100000";
}

TResult RunOnce(std::vector<std::string> command) {
    char dir[] = "/tmp/leaksbench.XXXXXX";
    TResult r;
    if (!mkdtemp(dir)) return r;
    const std::string out = std::string(dir) + "/out";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&fa, dir);  // heaptrack writes its file here
    std::vector<char*> argv;
    for (auto& a : command)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0) {
            // The workload's line is the last one of digits only; a tool
            // prints lines of its own around it.
            std::ifstream in(out);
            std::string line, last;
            while (std::getline(in, line))
                if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
                    last = line;
            const long long ns = std::atoll(last.c_str());
            if (ns > 0) {
                r.Ok = true;
                r.Seconds = double(ns) / 1e9;
                r.PeakKb = usage.ru_maxrss;
            }
        }
    }
    posix_spawn_file_actions_destroy(&fa);
    std::string clean = std::string("rm -rf ") + dir;
    if (std::system(clean.c_str()) != 0) r.Ok = false;
    return r;
}

TResult gOff;

// Runs the command once per iteration; the mean time and the highest peak.
TResult Measure(benchmark::State& state, std::vector<std::string> command) {
    command.push_back(Operations());
    TResult last;
    double total = 0;
    long peak = 0;
    for (auto _ : state) {
        last = RunOnce(command);
        if (!last.Ok) {
            state.SkipWithError(("failed: " + command.front()).c_str());
            return {};
        }
        state.SetIterationTime(last.Seconds);
        total += last.Seconds;
        peak = std::max(peak, last.PeakKb);
    }
    const double mean = total / double(state.iterations());
    state.counters["peak_kb"] = double(peak);
    if (gOff.Ok) {
        state.counters["time_vs_off"] = mean / gOff.Seconds;
        state.counters["peak_vs_off"] = double(peak) / double(gOff.PeakKb);
    }
    return {true, mean, peak};
}

std::string Workload(const char* variant) {
    return std::string(LEAKS_WORKLOAD_DIR) + "/leaks-workload-" + variant;
}

void BM_CheckerOff(benchmark::State& state) {
    // The baseline of every ratio (runs first).
    gOff = {};
    gOff = Measure(state, {Workload("off")});
}
// The C library's allocator alone (no crash library loaded).
void BM_NoCrashLibrary(benchmark::State& state) {
    Measure(state, {Workload("plain")});
}
void BM_CheckerOn(benchmark::State& state) {
    Measure(state, {Workload("on")});
}
void BM_LeakSanitizer(benchmark::State& state) {
    Measure(state, {Workload("lsan")});
}
void BM_Heaptrack(benchmark::State& state) {
    Measure(state, {"heaptrack", Workload("off")});
}
void BM_ValgrindMemcheck(benchmark::State& state) {
    Measure(state, {"valgrind", "--tool=memcheck", "--leak-check=full", Workload("off")});
}

BENCHMARK(BM_CheckerOff)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_NoCrashLibrary)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CheckerOn)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LeakSanitizer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Heaptrack)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ValgrindMemcheck)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
