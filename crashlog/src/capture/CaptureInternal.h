// Process-wide state of the capture side and the links between its units:
// CrashHook (the interposed run-time functions, signals, thread registry),
// CrashMain (start-up, ExceptionManager, the processing pass) and
// CrashMinimal (the report written with async-signal-safe calls only).
//
// Everything the signal path touches is plain data reached without
// allocating: the per-thread snapshot lives in initial-exec TLS, the job
// handed to the pass worker is a static record, and waits are futex waits
// with time-outs.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

#include "crashlog/CrashDebug.h"
#include "crashlog/CrashTypes.h"

#define CRASHLOG_TLS __attribute__((tls_model("initial-exec"))) thread_local

namespace crashlog::capture {

inline constexpr size_t kRaiseStackCopySize = 102400;
inline constexpr int kDecisionCacheSize = 10;
inline constexpr size_t kClassNameMax = 64;

// What the raise notification learned about the program's handlers.
enum class Decision : uint8_t {
    Handled,     // a catch block of the program will take it
    NotHandled,  // nothing catches it: std::terminate follows
    Terminate,   // a frame that may not throw stops it: std::terminate follows
};

// One per thread.
struct RaiseSnapshot {
    uintptr_t RaiseStackPointer = 0;
    TCrashCpuContext Context;
    TCrashOsRecord OsRecord;
    bool HasOsRecord = false;
    char ClassName[kClassNameMax + 1] = {};
    uintptr_t Address = 0;        // the raise address of the last raise
    uintptr_t ReturnAddress = 0;  // the raiser's return address from the throw
    void* Object = nullptr;
    const std::type_info* Type = nullptr;
    bool PassRunning = false;
    bool DispatchRunning = false;
    std::atomic_flag RaiseRunning = ATOMIC_FLAG_INIT;
    bool InSignal = false;       // a fault handler runs on this thread
    bool ServingCall = false;    // the thread runs a pending event call
    bool LibraryThread = false;  // the worker, the watcher: never reported
    uintptr_t StackLow = 0, StackHigh = 0;
    uint64_t Tid = 0;
};

RaiseSnapshot& Snapshot();
uint64_t CurrentThreadId();
// The calling thread's stack bounds (computed once per thread).
void StackBounds(uintptr_t& low, uintptr_t& high);

// The environment variables the pass sets for each report, for the option
// texts to name (%_ExceptMsg% and so on).
inline constexpr const char* kPassVariables[] = {
    "_MainModuleName",   "_MainModuleDesc",   "_MainModuleVer",
    "_ExceptModuleName", "_ExceptModuleDesc", "_ExceptModuleVer",
    "_ExceptMsg",        "_BugReport",        "_LineBreak"};

// ---- the exception as the pass sees it ----------------------------------------

struct ExceptionInfo {
    void* Object = nullptr;
    const std::type_info* Type = nullptr;
    std::string ClassName;               // "Unknown exception type" for none
    std::vector<std::string> Ancestors;  // the class first, then its bases
    std::string Message;
    bool Valid = true;
    bool IsStdException = true;
    bool Language = true;  // a throw, not a fault signal
    bool StackOverflow = false;
    uintptr_t Address = 0;
    TCrashOsRecord Os;
    bool HasOs = false;
};

// Class name, ancestors and message of a thrown object.
ExceptionInfo DescribeThrown(void* object, const std::type_info* type);
// Class and message of a fault signal.
ExceptionInfo DescribeSignal(const TCrashOsRecord& os, bool stackOverflow);
// "EAccessViolation" and so on: the fault's class, and its message when
// `message` is given (a fixed buffer: usable in a signal handler).
const char* SignalClassName(int signal, int code, bool stackOverflow);
std::string DemangledName(const std::type_info* type);

// True when `name` or one of `ancestors` names the class (case-insensitive,
// trimmed; a namespace-qualified name also answers to its last part).
bool ClassMatches(const ExceptionInfo& e, std::string_view name);

// ---- the handler analysis --------------------------------------------------------

// Walks the frames above `returnAddress` (the raiser's return address) and
// asks each frame's exception table whether it catches `type`.
// `handlerFrame`, when given, receives the canonical frame address of the
// frame that catches (0 when none): the unwinder discards the stack below it.
Decision AnalyzeHandlers(const std::type_info* type, void* object, uintptr_t returnAddress,
                         uintptr_t stackPointer, uintptr_t* handlerFrame = nullptr);
// The address of the call instruction that raised on this thread last.
uintptr_t LastRaiseAddress();
// Number of analyses answered from the cache (tests and benchmarks).
uint64_t DecisionCacheHits();
void ClearDecisionCache();
// The decision of the last raise on this thread.
Decision LastDecision();

// ---- the raise-time stack copy ----------------------------------------------------

// Only the part that the unwinder discards is copied: the frames from the
// raise up to the frame that catches.  Above it the stack stays live.
struct StackCopy {
    uint64_t ThreadId = 0;
    uintptr_t Start = 0;  // the address of the first byte copied
    std::vector<uint8_t> Bytes;
    uintptr_t End() const { return Start + Bytes.size(); }
};
// The copy taken at the last raise, when it was the raise of `object` on
// `threadId`.
bool RaiseStackCopy(uint64_t threadId, const void* object, StackCopy& out);

// Appends the call sites found in a copy of stack memory.
void WalkCopiedStack(TCrashModulesList& modules, TCrashStackList& list,
                     const std::vector<uint8_t>& bytes, uint64_t threadId, bool ownStack);

// ---- thread registry --------------------------------------------------------------

std::vector<ThreadEntry> RegistrySnapshot();
void RegisterCurrentThread(bool isMain, std::string name = {});
void UnregisterCurrentThread();
uint64_t MainThreadId();

// A registered thread's registers and stack, read while it waited in the
// capture signal's handler.
struct ThreadCapture {
    uint64_t ThreadId = 0;
    TCrashCpuContext Context;
    uintptr_t StackStart = 0;
    std::vector<uint8_t> Stack;
};
// Stops each thread in turn just long enough to copy its registers and
// stack; threads that do not answer within the time-out are left out.
std::vector<ThreadCapture> CaptureThreads(const std::vector<uint64_t>& threadIds);
// Holds the threads in the capture handler until ReleaseThreads.
void PauseThreads(const std::vector<uint64_t>& threadIds);
void ReleaseThreads();

// ---- hooks --------------------------------------------------------------------------

void InstallHooks();
void RemoveHooks();
void InitRaiseBuffer();
std::terminate_handler PreviousTerminateHandler();
// Run when the library is loaded and unloaded.
void StartUp();
void ShutDown();
std::string MainProgramPathForStartUp();
// Sets up this thread's alternate signal stack (threads the library starts
// and the main thread).
void InstallAltStack();
void ContextFromUcontext(const ucontext_t* uc, TCrashCpuContext& out);

// ---- the pass's side, called by the hooks ------------------------------------------

bool Active();
bool Handling();
// Bit 8 of the options in force: report handled exceptions.
bool ReportHandled();

// A throw that nothing will catch, seen before unwinding.  Returns the pass's
// answer (true: the default handling runs as well).
bool DispatchUncaughtThrow(void* object, const std::type_info* type, uintptr_t address,
                           uintptr_t stackPointer, Decision decision);
// A throw caught by the program whose catch block just ended.
void DispatchHandledAtEndCatch(void* object, const std::type_info* type);
// std::terminate with or without an exception in flight.
[[noreturn]] void TerminateHandler();
// A fault signal on the current thread.
void DispatchSignal(int signal, siginfo_t* info, ucontext_t* uc, bool stackOverflow);

// Tells the thread waiting for the pass that it still moves.
void NotePassProgress();

// ---- reports the library makes itself (the leak checker's) --------------------------

// No thrown object: a class, a message and a call stack made beforehand.
struct PresetReport {
    std::string ClassName;
    std::vector<std::string> Ancestors;  // the class first, then its bases
    std::string Message;
    uintptr_t Address = 0;  // 0: none
    // Must stay valid until the dispatch returns.
    const TCrashStackList* Stack = nullptr;
    // The program goes on after the report (nothing is raised).
    bool IsHandled = false;
    // The program is ending: the pass runs on this thread, without the
    // notification events and without the CPU and assembler sections.
    bool AtExit = false;
};

// Runs one pass for `report` and returns true; false when no pass could run
// (the library is passive or shut down, this thread is the library's own or
// already dispatches).  Either way the pass's own allocations are not
// tracked by the leak checker.
bool DispatchPresetReport(const PresetReport& report);

// A failure of a step outside any pass, recorded as the internal error of
// the named section; `lastExcept` is the class the step was reporting.
void RecordInternalError(const std::string& section, const std::string& className,
                         const std::string& message, const std::string& lastExcept);

// Ends the process once every crash already waiting has been reported.
[[noreturn]] void EndProcessAfterCrash(int exitCode);

// ---- the minimal report -------------------------------------------------------------

// Writes a short report to standard output with async-signal-safe calls
// only: reason, class, address, registers and the raw return addresses
// found on the stack.
void WriteMinimalReport(const char* reason, const char* className, uintptr_t address,
                        const TCrashCpuContext* ctx, uintptr_t stackStart, uintptr_t stackTop);

// Async-signal-safe helpers.
void SafeWrite(int fd, const char* text);
void SafeWriteHex(int fd, uint64_t value, int digits);
void SafeWriteDec(int fd, uint64_t value);
void FutexWait(std::atomic<int>& word, int expected, int timeoutMs);
void FutexWakeAll(std::atomic<int>& word);
uint64_t MonotonicMs();

}  // namespace crashlog::capture
