// Throw-and-catch with the crash library active (every raise analysed) and
// passive (the handling switch off: each hook passes straight through), a
// path without throws both ways, and crash-to-report for a process of ten
// threads against `gdb -p PID -batch -ex "thread apply all bt"`.
//
// Ratios to read: ThrowCatch/active over ThrowCatch/passive (goal at most
// 1.5; ThrowCatchUncached shows a raise site's first throw), NoThrow/active over NoThrow/passive
// (goal 1), CrashToReport over GdbAllThreads.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/CaptureInternal.h"
#include "crashlog/CrashMain.h"

namespace {

__attribute__((noinline)) void Raise(int depth) {
    if (depth == 0) throw std::runtime_error("benchmark");
    Raise(depth - 1);
    benchmark::ClobberMemory();
}

__attribute__((noinline)) int Work(int depth, int x) {
    if (depth == 0) return x + 1;
    return Work(depth - 1, x) + 1;
}

void SetActive(bool active) {
    crashlog::SetHandlingEnabled(active);
}

void BM_ThrowCatch(benchmark::State& state) {
    SetActive(state.range(0) != 0);
    for (auto _ : state) {
        try {
            Raise(8);
        } catch (const std::exception& e) {
            benchmark::DoNotOptimize(e.what());
        }
    }
    SetActive(true);
}
BENCHMARK(BM_ThrowCatch)->ArgName("active")->Arg(0)->Arg(1);

// The first throw from a site: the decision cache cannot answer and the
// analysis walks every frame up to the catch.
void BM_ThrowCatchUncached(benchmark::State& state) {
    for (auto _ : state) {
        crashlog::capture::ClearDecisionCache();
        try {
            Raise(8);
        } catch (const std::exception& e) {
            benchmark::DoNotOptimize(e.what());
        }
    }
}
BENCHMARK(BM_ThrowCatchUncached);

void BM_NoThrow(benchmark::State& state) {
    SetActive(state.range(0) != 0);
    int x = 0;
    for (auto _ : state) {
        try {
            x = Work(8, x);
        } catch (const std::exception&) {
            x = 0;
        }
        benchmark::DoNotOptimize(x);
    }
    SetActive(true);
}
BENCHMARK(BM_NoThrow)->ArgName("active")->Arg(0)->Arg(1);

// ---- crash to report ------------------------------------------------------------

struct Child {
    pid_t Pid = -1;
    int Out = -1;
};

Child Start(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(fds[0]);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Reads until the line starting with `prefix`; its number, or -1.
long long ReadStamp(int fd, const std::string& prefix, std::string& all) {
    char buf[4096];
    for (;;) {
        const auto at = all.find(prefix);
        if (at != std::string::npos && all.find('\n', at) != std::string::npos)
            return std::stoll(all.substr(at + prefix.size()));
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return -1;
        all.append(buf, size_t(n));
    }
}

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// From the fault to the end of the process, whose last act is the report.
void BM_CrashToReport(benchmark::State& state) {
    for (auto _ : state) {
        Child c = Start({KVO_CRASHLOG_DEMO, "ten-threads-crash"});
        std::string all;
        const long long crashAt = ReadStamp(c.Out, "crash-at ", all);
        char buf[65536];
        while (read(c.Out, buf, sizeof buf) > 0) {
        }
        int status = 0;
        waitpid(c.Pid, &status, 0);
        const long long end = NowNs();
        close(c.Out);
        if (crashAt < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 1) {
            state.SkipWithError("the demonstration program did not report its crash");
            return;
        }
        state.SetIterationTime(double(end - crashAt) / 1e9);
    }
}
BENCHMARK(BM_CrashToReport)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// What a Linux user gets today: a debugger's back-traces of every thread.
void BM_GdbAllThreads(benchmark::State& state) {
    for (auto _ : state) {
        Child c = Start({KVO_CRASHLOG_DEMO, "ten-threads-wait"});
        std::string all;
        if (ReadStamp(c.Out, "ready ", all) < 0) {
            state.SkipWithError("the demonstration program did not start");
            return;
        }
        const long long start = NowNs();
        Child gdb =
            Start({"gdb", "-p", std::to_string(c.Pid), "-batch", "-ex", "thread apply all bt"});
        char buf[65536];
        while (read(gdb.Out, buf, sizeof buf) > 0) {
        }
        int status = 0;
        waitpid(gdb.Pid, &status, 0);
        const long long end = NowNs();
        close(gdb.Out);
        kill(c.Pid, SIGKILL);
        waitpid(c.Pid, nullptr, 0);
        close(c.Out);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("gdb is missing or may not attach");
            return;
        }
        state.SetIterationTime(double(end - start) / 1e9);
    }
}
BENCHMARK(BM_GdbAllThreads)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
