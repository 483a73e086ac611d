// crashlog-demo <command>: a program built with the crash library that
// fails on command, one way per command, so that every crash path can be
// watched on a real process.  Each report leaves on standard output; the
// exit status is the process's end as the library decides it.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "crashlog/CrashMain.h"

namespace {

// Keeps a frame from being folded into its caller, so reports show it.
#if defined(__clang__)
#define DEMO_FRAME __attribute__((noinline))
#else
#define DEMO_FRAME __attribute__((noinline, noclone))
#endif

DEMO_FRAME void ThrowDeep(int depth) {
    if (depth == 0) throw std::runtime_error("demo: nobody catches this");
    ThrowDeep(depth - 1);
    asm volatile("");
}

DEMO_FRAME int UncaughtThrow() {
    ThrowDeep(3);
    return 0;
}

DEMO_FRAME void ThrowOnThread() {
    ThrowDeep(2);
}

DEMO_FRAME int UncaughtThrowInThread() {
    std::thread t(ThrowOnThread);
    t.join();
    return 0;
}

DEMO_FRAME int CaughtThrow() {
    try {
        ThrowDeep(3);
    } catch (const std::exception& e) {
        std::printf("caught: %s\n", e.what());
    }
    return 0;
}

volatile int gZero = 0;

DEMO_FRAME void WriteTo(volatile int* p) {
    *p = 1;
}

DEMO_FRAME int SegvNull() {
    WriteTo(nullptr);
    return 0;
}

DEMO_FRAME int SegvWild() {
    WriteTo(reinterpret_cast<volatile int*>(uintptr_t(0x7EAD0000BEE0)));
    return 0;
}

DEMO_FRAME int Fpe() {
    volatile int x = 1;
    return x / gZero;
}

DEMO_FRAME int Abort() {
    std::abort();
}

DEMO_FRAME int Recurse(int depth) {
    volatile char pad[256];
    pad[0] = char(depth);
    if (gZero == 1) return 0;  // never: keeps the compiler from seeing no way out
    return Recurse(depth + 1) + pad[0];
}

DEMO_FRAME int Recursion() {
    return Recurse(0);
}

volatile bool gThrowFromDestructor = true;

// Throws only when told to, so the compiler cannot see that unwinding
// through it always ends the program (it would drop the catch block below).
struct ThrowsWhenDestroyed {
    ~ThrowsWhenDestroyed() noexcept(false) {
        if (gThrowFromDestructor) throw std::logic_error("demo: thrown by a destructor");
    }
};

DEMO_FRAME void UnwindThroughThrowingDestructor() {
    ThrowsWhenDestroyed guard;
    throw std::runtime_error("demo: first exception");
}

DEMO_FRAME int ThrowInDestructor() {
    try {
        UnwindThroughThrowingDestructor();
    } catch (...) {
        std::printf("not reached\n");
    }
    return 0;
}

std::atomic<int> gReady{0};

DEMO_FRAME void CrashWhenBothReady() {
    gReady.fetch_add(1);
    while (gReady.load() < 2) {
    }
    WriteTo(nullptr);
}

DEMO_FRAME int TwoThreads() {
    std::thread a(CrashWhenBothReady);
    std::thread b(CrashWhenBothReady);
    a.join();
    b.join();
    return 0;
}

DEMO_FRAME void CrashingEventHandler(const crashlog::TCrashExceptionRecord&, bool&) {
    WriteTo(nullptr);
}

DEMO_FRAME int CrashInHandler() {
    crashlog::SetShowInternalErrors(true);
    crashlog::ExceptionNotifyHandler = &CrashingEventHandler;
    return UncaughtThrow();
}

// Another thread keeps the allocator's lock: malloc_stats() holds an arena
// lock while it writes to standard error, and standard error is a pipe that
// nobody reads.  One arena for every thread makes it the lock any
// allocation needs.
DEMO_FRAME int CrashHoldingMallocLock() {
    crashlog::SetPassStallTimeout(2000);
    mallopt(M_ARENA_MAX, 1);
    int fds[2];
    if (pipe(fds) != 0) return 2;
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    char block[4096];
    std::memset(block, 'x', sizeof block);
    while (write(fds[1], block, sizeof block) > 0) {
    }
    fcntl(fds[1], F_SETFL, 0);
    dup2(fds[1], 2);
    std::thread holder([] { malloc_stats(); });
    holder.detach();
    usleep(300000);
    return SegvNull();
}

// Three exceptions within a minute, each handed over as a framework's
// handler would: the third restarts the program (same arguments, the
// folder it started in), which then only says where it runs.
DEMO_FRAME int RepeatRestart() {
    if (getenv("CRASHLOG_DEMO_RESTARTED")) {
        char cwd[4096];
        std::printf("restarted in %s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
        return 0;
    }
    setenv("CRASHLOG_DEMO_RESTARTED", "1", 1);
    auto* options = crashlog::CurrentCrashLogOptions();
    options->SetRepeatAction(2);
    options->SetRepeatCount(3);
    options->SetRepeatMinutes(1);
    if (chdir("/") != 0) return 2;  // the restart goes back to the first folder
    for (int i = 0; i < 3; ++i) {
        try {
            ThrowDeep(1);
        } catch (...) {
            crashlog::HandleCurrentException(crashlog::coFramework);
        }
    }
    std::printf("not restarted\n");
    return 0;
}

// Ten threads, nine of them waiting; `crash` decides whether the main
// thread then faults (the time is printed first, for measuring how long the
// report takes) or waits to be looked at from outside.
DEMO_FRAME void WaitForever() {
    for (;;)
        pause();
}

DEMO_FRAME int TenThreads(bool crash) {
    for (int i = 0; i < 9; ++i)
        std::thread(WaitForever).detach();
    usleep(20000);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("%s %lld\n", crash ? "crash-at" : "ready",
                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    std::fflush(stdout);
    if (crash) return SegvNull();
    WaitForever();
    return 0;
}

// The leak checker's commands.  They show a report only in
// crashlog-demo-leaks, whose library data turns the checker on: an object
// and a data block left allocated (reported at exit), one byte written past
// a block, a block released twice (both reported at the release).
struct TLeakedWidget {
    virtual ~TLeakedWidget() = default;
    int Value = 1;
};
void* volatile gLeakSink;

DEMO_FRAME int LeakBlocks() {
    gLeakSink = new TLeakedWidget;
    gLeakSink = std::malloc(100);
    return 0;
}

DEMO_FRAME int OverrunBlock() {
    auto* p = static_cast<char*>(std::malloc(16));
    volatile char* volatile end = p + 16;
    *end = 1;
    std::free(p);
    return 0;
}

DEMO_FRAME int DoubleFree() {
    void* p = std::malloc(16);
    gLeakSink = p;
    std::free(p);
    std::free(gLeakSink);
    return 0;
}

const std::map<std::string, std::function<int()>>& Commands() {
    static const std::map<std::string, std::function<int()>> commands = {
        {"uncaught-throw", UncaughtThrow},
        {"uncaught-throw-in-thread", UncaughtThrowInThread},
        {"caught-throw", CaughtThrow},
        {"segv-null", SegvNull},
        {"segv-wild", SegvWild},
        {"fpe", Fpe},
        {"abort", Abort},
        {"recursion", Recursion},
        {"throw-in-destructor-during-unwind", ThrowInDestructor},
        {"two-threads", TwoThreads},
        {"crash-in-handler", CrashInHandler},
        {"crash-holding-malloc-lock", CrashHoldingMallocLock},
        {"repeat-restart", RepeatRestart},
        {"ten-threads-crash", [] { return TenThreads(true); }},
        {"ten-threads-wait", [] { return TenThreads(false); }},
        {"leak", LeakBlocks},
        {"overrun", OverrunBlock},
        {"double-free", DoubleFree},
    };
    return commands;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !Commands().count(argv[1])) {
        std::fprintf(stderr, "usage: crashlog-demo <command>\ncommands:\n");
        for (const auto& [name, run] : Commands())
            std::fprintf(stderr, "  %s\n", name.c_str());
        return 2;
    }
    std::printf("crashlog %s\n", crashlog::CrashLogActive() ? "active" : "passive");
    std::fflush(stdout);
    return Commands().at(argv[1])();
}
