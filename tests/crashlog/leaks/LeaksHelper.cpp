// leaks-helper <case> [events|bad-handler]: a program whose library data
// turns the leak checker on, doing one thing per case.  Its reports are the
// processing pass's (standard output for this console program, and the log
// file in %LEAKS_LOG_DIR%); "ok" lines tell the test the program got that
// far.  With "events", every notification event the pass raises prints
// "[event <n>]": the action number, -1 for the exception event and -2 for
// the handled-exception event; with "bad-handler", the handled-exception
// event releases blocks badly itself.  Lines the test looks for carry a
// "// at:" marker.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crashlog/CrashLeaks.h"
#include "crashlog/CrashMain.h"

#define HELPER_FRAME __attribute__((noinline))

namespace {

void Say(const char* s) {
    if (write(STDOUT_FILENO, s, std::strlen(s)) < 0) std::_Exit(3);
}

// Keeps the compiler from dropping an allocation it can see is unused.
void* volatile gSink;

struct TWidget {
    virtual ~TWidget() = default;
    int Value = 7;
};

struct TOwner {
    HELPER_FRAME TOwner() {
        Buffer = static_cast<char*>(std::malloc(100));  // at:child
    }
    virtual ~TOwner() { std::free(Buffer); }
    char* Buffer;
};

HELPER_FRAME void LeakObject() {
    gSink = new TWidget;  // at:object
}

HELPER_FRAME void LeakArray() {
    gSink = new int[10];  // at:array
}

HELPER_FRAME void LeakData() {
    for (int i = 0; i < 3; ++i)
        gSink = std::malloc(32);  // at:data
}

HELPER_FRAME void LeakOwner() {
    gSink = new TOwner;  // at:owner
}

HELPER_FRAME void Overrun() {
    auto* p = static_cast<char*>(std::malloc(24));
    // Through a volatile pointer: the compiler would drop (and warn about) a
    // store it can see lands past the block just before its release.
    volatile char* volatile end = p + 24;
    *end = 'x';
    std::free(p);  // at:overrun
    Say("ok\n");
}

HELPER_FRAME void FreeTwice() {
    void* p = std::malloc(16);
    gSink = p;
    std::free(p);
    std::free(gSink);  // at:twice
    Say("ok\n");
}

// Allocations and releases of every form that leave nothing behind,
// including blocks released from other threads, with realloc, and in the
// program's own finalisation.
struct TReleasedLate {
    ~TReleasedLate() { std::free(Block); }
    void* Block = nullptr;
} gReleasedLate;
void* gReleasedByAtExit;

HELPER_FRAME int NoLeaks() {
    std::atexit([] { std::free(gReleasedByAtExit); });
    gReleasedLate.Block = std::malloc(40);
    gReleasedByAtExit = std::calloc(3, 50);
    std::string s(200, 'a');
    std::vector<std::string> v(10, s);
    char* r = static_cast<char*>(std::malloc(10));
    std::memcpy(r, "abcdefghi", 10);
    r = static_cast<char*>(std::realloc(r, 5000));
    if (std::memcmp(r, "abcdefghi", 10) != 0) return 1;
    if (malloc_usable_size(r) != 5000) return 1;
    std::free(r);
    void* a = nullptr;
    if (posix_memalign(&a, 256, 33) != 0 || reinterpret_cast<std::uintptr_t>(a) % 256) return 1;
    std::free(a);
    void* b = aligned_alloc(4096, 4096);
    if (!b || reinterpret_cast<std::uintptr_t>(b) % 4096) return 1;
    std::free(b);
    struct alignas(128) TWide {
        char c[3];
    };
    auto* w = new TWide;
    if (reinterpret_cast<std::uintptr_t>(w) % 128) return 1;
    delete w;
    auto* arr = new TWidget[4];
    delete[] arr;
    std::thread t([p = std::malloc(64)] { std::free(p); });
    t.join();
    if (std::realloc(std::malloc(8), 0) != nullptr) return 1;
    Say("ok\n");
    return 0;
}

// A block the checker never handed out (a library calling the C library's
// allocator under its own name) is released and resized untouched.
extern "C" void* __libc_malloc(size_t);
HELPER_FRAME int Foreign() {
    auto* p = static_cast<char*>(__libc_malloc(64));
    std::memset(p, 'f', 64);
    p = static_cast<char*>(std::realloc(p, 100000));
    for (int i = 0; i < 64; ++i)
        if (p[i] != 'f') return 1;
    if (malloc_usable_size(p) < 100000) return 1;
    std::free(p);
    Say("ok\n");
    return 0;
}

// Eight threads allocate and release at once, handing half of their blocks
// to the next thread to release; each leaves exactly one block behind.
HELPER_FRAME void LeakOnePerThread() {
    gSink = std::malloc(48);  // at:thread
}

int Threads() {
    constexpr int kThreads = 8, kRounds = 20000;
    std::vector<std::atomic<void*>> mailbox(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::uint32_t seed = 77 + t;
            for (int i = 0; i < kRounds; ++i) {
                seed = seed * 1103515245 + 12345;
                const std::size_t size = 16 + (seed >> 8) % 4096;
                auto* p = static_cast<unsigned char*>(std::malloc(size));
                p[0] = p[size - 1] = static_cast<unsigned char>(t);
                if (i % 2) {
                    if (p[0] != t || p[size - 1] != t) ++bad;
                    std::free(p);
                } else if (void* old = mailbox[(t + 1) % kThreads].exchange(p)) {
                    std::free(old);
                }
            }
            LeakOnePerThread();
        });
    for (auto& th : threads)
        th.join();
    for (auto& m : mailbox)
        std::free(m.exchange(nullptr));
    if (bad) return 1;
    Say("ok\n");
    return 0;
}

// fork() while other threads hold and take the checker's lock: the child
// allocates, releases and exits normally, leaving nothing of its own.
int Fork() {
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 4; ++t)
        busy.emplace_back([&] {
            while (!stop)
                std::free(std::malloc(128));
        });
    int failures = 0;
    for (int i = 0; i < 6; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            {
                std::vector<void*> v;
                for (int k = 0; k < 1000; ++k)
                    v.push_back(std::malloc(16 + k));
                for (void* p : v)
                    std::free(p);
            }
            std::exit(0);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0)
            ++failures;
    }
    stop = true;
    for (auto& th : busy)
        th.join();
    if (failures) return 1;
    Say("ok\n");
    return 0;
}

void SayEvent(int action) {
    Say(("[event " + std::to_string(action) + "]\n").c_str());
}

void WatchEvents() {
    crashlog::ExceptionNotifyHandler = [](const crashlog::TCrashExceptionRecord&, bool&) {
        SayEvent(-1);
    };
    crashlog::HandledExceptionNotifyHandler = [](const crashlog::TCrashExceptionRecord&, bool&) {
        SayEvent(-2);
    };
    crashlog::ActionNotifyHandler = [](const crashlog::TCrashExceptionRecord&, int action, bool&) {
        SayEvent(action);
    };
}

// The handler of the report of the program's bad release overruns one
// block and releases another twice itself: reported again, that would start
// a pass inside the pass.
void* gOverrunInHandler;
void* volatile gTwiceInHandler;

void BadReleasesInHandler() {
    gOverrunInHandler = std::malloc(8);
    gTwiceInHandler = std::malloc(8);
    crashlog::HandledExceptionNotifyHandler = [](const crashlog::TCrashExceptionRecord&, bool&) {
        volatile char* volatile end = static_cast<char*>(gOverrunInHandler) + 8;
        *end = 'x';
        std::free(gOverrunInHandler);
        std::free(gTwiceInHandler);
        std::free(gTwiceInHandler);
        Say("[handler done]\n");
    };
}

}  // namespace

int main(int argc, char** argv) {
    const std::string c = argc > 1 ? argv[1] : "";
    const std::string option = argc > 2 ? argv[2] : "";
    if (option == "events") WatchEvents();
    if (option == "bad-handler") BadReleasesInHandler();
    if (c == "active") {
        Say(crashlog::LeakCheckerActive() ? "on\n" : "off\n");
        return 0;
    }
    if (c == "object")
        LeakObject();
    else if (c == "array")
        LeakArray();
    else if (c == "data")
        LeakData();
    else if (c == "owner")
        LeakOwner();
    else if (c == "overrun")
        Overrun();
    else if (c == "twice")
        FreeTwice();
    else if (c == "none")
        return NoLeaks();
    else if (c == "foreign")
        return Foreign();
    else if (c == "threads")
        return Threads();
    else if (c == "fork")
        return Fork();
    else
        return 2;
    return 0;
}
