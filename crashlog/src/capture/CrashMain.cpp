// Start-up, shut-down, ExceptionManager and the processing pass.
//
// A pass runs on the library's worker thread while the raising thread waits
// in DispatchException and runs the event calls the worker posts (every
// notification event runs on the raising thread).  The worker is started
// once at start-up: a thread that crashed inside a signal handler cannot
// safely create one.  The waiting thread watches the worker's progress; a
// pass that stops moving (it waits for a lock the crash left held) is given
// up for the minimal report, so a crash never ends in a hang.
#include "crashlog/CrashMain.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "CrashText.h"
#include "capture/CaptureInternal.h"
#include "crashlog/CrashDialogs.h"
#include "crashlog/CrashLeaks.h"
#include "crashlog/CrashLogFile.h"
#include "crashlog/CrashReport.h"
#include "crashlog/CrashScreenshot.h"
#include "leaks/LeakInternal.h"
#include "send/SendFromPass.h"

namespace crashlog {

// The report side is built beside this unit; until a piece is linked in, the
// pass writes its own short text.
std::string BuildBugReport(const TCrashReportInput& input) __attribute__((weak));
std::vector<TCrashReportModule> ReportModules(const TCrashModulesList& modules)
    __attribute__((weak));
TCrashTimeStamp CurrentTimeStamp() __attribute__((weak));
TCrashSystemValues GatherSystemValues(const TCrashSystemSources& sources) __attribute__((weak));
std::string FormatReportDate(const TCrashTimeStamp& stamp) __attribute__((weak));

TExceptionNotify ExceptionNotifyHandler;
TExceptionNotify HandledExceptionNotifyHandler;
TActionNotify ActionNotifyHandler;
TErrorNotify ErrorNotifyHandler;
TListRequest CustomDataRequestHandler;
TListRequest AttachedFilesRequestHandler;
TListRequest CustomWebFieldsRequestHandler;

TCrashLogReceiver::~TCrashLogReceiver() {
    UnregisterReceiver(this);
}

const char* ErrorCodeName(TCrashLogErrorCode code) {
    static const char* const names[] = {"ceNone",           "ceShowError",       "ceLogError",
                                        "ceEmailMAPIError", "ceEmailShellError", "ceEmailSMTPError",
                                        "ceWebHTTPError",   "ceWebHTTPSError",   "ceWebFTPError",
                                        "ceWebTrakerError"};
    const auto i = size_t(code);
    return i < std::size(names) ? names[i] : "ceNone";
}

std::uint16_t Crc16Xmodem(std::string_view text) {
    uint16_t crc = 0;
    for (unsigned char c : text) {
        crc ^= uint16_t(c) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

}  // namespace crashlog

namespace crashlog::capture {
namespace {

// ---- process-wide state -------------------------------------------------------------

struct State {
    std::atomic<bool> Active{false};
    std::atomic<bool> Handling{true};
    std::atomic<bool> ReportHandled{false};
    std::unique_ptr<TCrashModulesList> Modules;
    std::unique_ptr<TCrashProcessesList> Processes;
    ModuleHandle MainModule = 0;
    ModuleHandle OptionsModule = 0;            // whose options count between passes
    TCrashModuleOptionsEx* Options = nullptr;  // in force for the pass
    // The options of the module whose options count between passes, owned
    // here so that they outlive the modules list's entries (an entry is
    // dropped when its file changes on disk).
    std::unique_ptr<TCrashModuleOptionsEx> MainOptions;
    std::string ReportText;
    int ErrorCount = 0;
    std::vector<int64_t> CrashTimes;  // unix seconds
    std::vector<std::string> CustomData;
    // A send in the background warns from its own thread while the next
    // pass may run: the last warning is kept under WarningLock.
    std::mutex WarningLock;
    TCrashLogErrorCode LastWarning = TCrashLogErrorCode::ceNone;
    std::string LastWarningMessage;
    std::atomic<int> Section{0};
    TCrashTimeStamp StartTime;
    std::string StartFolder;
    std::vector<std::string> Arguments;
    uintptr_t LastProcessedAddress = 0;
    void* LastProcessedObject = nullptr;
    bool LastWasLanguage = false;
    bool ShowInternalErrors = false;
    std::mutex ReceiversLock;
    std::vector<TCrashLogReceiver*> Receivers;
    TCrashExceptionRecord Current;
    int StallTimeoutMs = 5000;
};

State& S() {
    static State* s = new State();  // never destroyed: hooks may run at exit
    return *s;
}

// ---- the processing lock (usable from a signal handler) ------------------------------

std::atomic<int> gLock{0};
std::atomic<uint64_t> gLockOwner{0};
std::atomic<int> gWaiters{0};

// False when the lock did not come free within the time-out.
bool LockProcessing(int timeoutMs) {
    gWaiters.fetch_add(1);
    const uint64_t until = MonotonicMs() + uint64_t(timeoutMs);
    for (;;) {
        int expected = 0;
        if (gLock.compare_exchange_strong(expected, 1)) break;
        if (MonotonicMs() >= until) {
            gWaiters.fetch_sub(1);
            return false;
        }
        FutexWait(gLock, 1, 50);
    }
    gWaiters.fetch_sub(1);
    gLockOwner.store(CurrentThreadId());
    return true;
}

void UnlockProcessing() {
    gLockOwner.store(0);
    gLock.store(0);
    FutexWakeAll(gLock);
}

// ---- the worker ---------------------------------------------------------------------

struct SignalData {
    int Signal = 0;
    int Code = 0;
    uintptr_t FaultAddress = 0;
    bool Write = false;
    bool StackOverflow = false;
};

struct Job {
    // Either a described exception (built by the raising thread outside any
    // signal handler) or the plain data of a fault signal.
    ExceptionInfo* Info = nullptr;
    SignalData Sig;
    TExceptNotifyParams* Params = nullptr;
    TCrashCpuContext Context;
    TCrashOsRecord Os;
    int Marker = 0;
    int Origin = 0;
    ModuleHandle Module = 0;
    uint64_t RaiseThread = 0;   // runs the events
    uint64_t ExceptThread = 0;  // whose exception it is (the watcher reports the main thread)
    bool Answer = true;
    // The leak report at exit raises no events and leaves out the CPU and
    // assembler sections.
    bool Events = true;
    bool NoCpuAndAssembler = false;
    TCrashModuleOptionsEx* FlagsChanged = nullptr;  // whose LogFlags to put back
    uint8_t SavedLogFlags = 0;
};

Job gJob;
TExceptNotifyParams gSignalParams;
std::atomic<int> gJobState{0};  // 0 idle, 1 posted, 2 done
std::atomic<int> gProgress{0};
// Steps with a bound of their own (a dialog the user answers, the log's
// file lock) are not taken for a stalled pass before that bound.
std::atomic<uint64_t> gStallExemptUntil{0};

struct StallExemption {
    explicit StallExemption(uint64_t ms) { gStallExemptUntil.store(MonotonicMs() + ms); }
    ~StallExemption() {
        gStallExemptUntil.store(0);
        gProgress.fetch_add(1);
    }
};
std::atomic<std::function<void()>*> gPendingCall{nullptr};
pid_t gWorkerPid = 0;

CRASHLOG_TLS sigjmp_buf* tRecover = nullptr;  // where a fault on this thread goes back to
CRASHLOG_TLS int tSignalDepth = 0;

void SetSection(int section) {
    S().Section.store(section);
    gProgress.fetch_add(1);
}

void ProcessException(Job& job);

// What a pass allocates is the library's, never a leak of the program's,
// and a pass for one of the leak checker's reports must not start another.
void RunPass(Job& job) {
    TLeakTrackingPause untracked;
    ProcessException(job);
}

void* WorkerMain(void*) {
    auto& snap = Snapshot();
    snap.LibraryThread = true;
    InstallAltStack();
    for (;;) {
        for (int state; (state = gJobState.load()) != 1;)
            FutexWait(gJobState, state, 1000);
        RunPass(gJob);
        gJobState.store(2);
        FutexWakeAll(gJobState);
    }
    return nullptr;
}

// ---- events --------------------------------------------------------------------------

// Runs `call` on the raising thread, or here when this is that thread.
void OnRaisingThread(Job& job, const std::function<void()>& call) {
    if (job.RaiseThread == CurrentThreadId() || gWorkerPid != getpid() ||
        !Snapshot().LibraryThread) {
        try {
            call();
        } catch (...) {
        }
        return;
    }
    std::function<void()> copy = call;
    gPendingCall.store(&copy);
    const uint64_t until = MonotonicMs() + 30000;
    while (gPendingCall.load() == &copy && MonotonicMs() < until) {
        gProgress.fetch_add(1);
        usleep(10000);
    }
    // A raising thread that stopped serving (it hangs in a handler) is not
    // waited for again.
    std::function<void()>* stale = &copy;
    gPendingCall.compare_exchange_strong(stale, nullptr);
}

std::vector<TCrashLogReceiver*> ReceiversCopy() {
    std::lock_guard lock(S().ReceiversLock);
    return S().Receivers;
}

void FireException(Job& job, const TCrashExceptionRecord& rec, bool handled, bool& handle) {
    if (!job.Events) return;
    OnRaisingThread(job, [&] {
        auto receivers = ReceiversCopy();
        for (auto it = receivers.rbegin(); it != receivers.rend(); ++it) {
            if (handled)
                (*it)->HandledExceptionNotify(rec, handle);
            else
                (*it)->ExceptionNotify(rec, handle);
        }
        auto& global = handled ? HandledExceptionNotifyHandler : ExceptionNotifyHandler;
        if (global) global(rec, handle);
    });
}

void FireAction(Job& job, const TCrashExceptionRecord& rec, int action, bool& execute) {
    if (!job.Events) return;
    OnRaisingThread(job, [&] {
        auto receivers = ReceiversCopy();
        for (auto it = receivers.rbegin(); it != receivers.rend(); ++it)
            (*it)->ActionNotify(rec, action, execute);
        if (ActionNotifyHandler) ActionNotifyHandler(rec, action, execute);
    });
}

void FireError(Job& job, const TCrashExceptionRecord& rec, int action, bool& retry) {
    if (!job.Events) return;
    OnRaisingThread(job, [&] {
        auto receivers = ReceiversCopy();
        for (auto it = receivers.rbegin(); it != receivers.rend(); ++it)
            (*it)->ErrorNotify(rec, action, retry);
        if (ErrorNotifyHandler) ErrorNotifyHandler(rec, action, retry);
    });
}

void FireCustomData(Job& job, const TCrashExceptionRecord& rec, std::vector<std::string>& lines) {
    if (!job.Events) return;
    OnRaisingThread(job, [&] {
        auto receivers = ReceiversCopy();
        for (auto it = receivers.rbegin(); it != receivers.rend(); ++it)
            (*it)->CustomDataRequest(rec, lines);
        if (CustomDataRequestHandler) CustomDataRequestHandler(rec, lines);
    });
}

// ---- warnings and internal errors -------------------------------------------------------

// `address` is the raise address of the exception whose report warns.
void WarningAt(uintptr_t address, TCrashLogErrorCode code, const std::string& message) {
    char line[64];
    snprintf(line, sizeof line, "%0*llX", int(sizeof(void*) * 2),
             static_cast<unsigned long long>(address));
    // The line is written under the lock too, so that the last line written
    // is the warning kept.
    std::lock_guard lock(S().WarningLock);
    S().LastWarning = code;
    S().LastWarningMessage = message;
    fprintf(stderr, "[WARNING] - Code: %s - Address: %s - Message: \"%s\"\n", ErrorCodeName(code),
            line, message.c_str());
}

// A warning of the pass running on this thread.
void Warning(TCrashLogErrorCode code, const std::string& message) {
    WarningAt(S().Current.RaiseAddress, code, message);
}

void ClearLastWarning() {
    std::lock_guard lock(S().WarningLock);
    S().LastWarning = TCrashLogErrorCode::ceNone;
}

bool DebuggerAttached() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("TracerPid:", 0) == 0) return std::atoi(line.c_str() + 10) != 0;
    return false;
}

std::string Hex(uint64_t v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%0*llX", int(sizeof(void*) * 2), static_cast<unsigned long long>(v));
    return buf;
}

// An exception or a fault inside the pass (or a step the library runs for
// itself, named by `section`).  End users do not see these unless a
// debugger is attached or the program asked for them; the debug-output line
// is always written to standard error.
void InternalErrorIn(const std::string& section, const std::string& className,
                     const std::string& message, uintptr_t address, const std::string& lastExcept) {
    fprintf(stderr, "[ERROR] - Section: %s - Address: %s - Message: \"%s\"\n", section.c_str(),
            Hex(address).c_str(), message.empty() ? "General internal error." : message.c_str());
    if (!S().ShowInternalErrors && !DebuggerAttached()) return;
    std::string stackText;
    if (S().Modules) {
        S().Modules->SetShowOwnFrames(true);
        TCrashStackList list;
        TStackWalkParams p;
        uintptr_t low, high;
        StackBounds(low, high);
        p.StackStart = uintptr_t(__builtin_frame_address(0));
        p.StackTop = high;
        p.ThreadId = CurrentThreadId();
        WalkStack(*S().Modules, list, p);
        S().Modules->SetShowOwnFrames(false);
        int index = 0;
        for (const auto& e : list.Items) {
            char head[64];
            snprintf(head, sizeof head, "%s%02X $%s - [%s] ", index ? "            " : "", index,
                     Hex(e.Address).c_str(), Hex(e.Module ? e.Module->Handle : 0).c_str());
            stackText += head + (e.Module ? e.Module->Name : std::string());
            if (e.Kind == 4)
                stackText += " - " + e.UnitName.str() + " - " + e.ClassName.str() + " - " +
                             e.ProcName.str() + " - " + std::to_string(e.Line) + "[" +
                             std::to_string(e.ProcLine) + "]";
            stackText += "\r\n";
            ++index;
        }
    }
    std::string date =
        FormatReportDate && CurrentTimeStamp ? FormatReportDate(CurrentTimeStamp()) : std::string();
    std::string text = "Version   : 6.0.20\r\nDate      : " + date +
                       "\r\nOS        : Linux\r\nRAD       : GCC " __VERSION__
                       "\r\nDump      : \r\nSection   : " +
                       section + "\r\nLastExcept: " + lastExcept + "\r\nAddress   : $" +
                       Hex(address) + "\r\nException : " + className +
                       "\r\nMessage   : " + message + "\r\nCall Stack: " + stackText;
    fwrite(text.data(), 1, text.size(), stderr);
    fputs("\n", stderr);
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, size_t(n));
        std::ofstream log(path + ".log", std::ios::binary | std::ios::trunc);
        if (log) log << text;
    }
}

// An exception or a fault inside the pass, named by the pass's section.
void InternalError(const std::string& className, const std::string& message, uintptr_t address,
                   const std::string& lastExcept) {
    InternalErrorIn(std::to_string(S().Section.load()), className, message, address, lastExcept);
}

// ---- describing exceptions --------------------------------------------------------------

std::string TrimLower(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    std::string out(s);
    for (auto& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void AddAncestors(const std::type_info* type, std::vector<std::string>& out, int depth = 0) {
    if (!type || depth > 32) return;
    if (auto* si = dynamic_cast<const abi::__si_class_type_info*>(type)) {
        out.push_back(DemangledName(si->__base_type));
        AddAncestors(si->__base_type, out, depth + 1);
    } else if (auto* vmi = dynamic_cast<const abi::__vmi_class_type_info*>(type)) {
        for (unsigned i = 0; i < vmi->__base_count; ++i) {
            out.push_back(DemangledName(vmi->__base_info[i].__base_type));
            AddAncestors(vmi->__base_info[i].__base_type, out, depth + 1);
        }
    }
}

}  // namespace

std::string DemangledName(const std::type_info* type) {
    if (!type) return "Unknown exception type";
    return Demangle(type->name());
}

ExceptionInfo DescribeThrown(void* object, const std::type_info* type) {
    ExceptionInfo e;
    e.Object = object;
    e.Type = type;
    e.Language = true;
    if (!type) {
        e.Valid = false;
        e.IsStdException = false;
        e.ClassName = "Unknown exception type";
        return e;
    }
    e.ClassName = DemangledName(type);
    e.Ancestors.push_back(e.ClassName);
    AddAncestors(type, e.Ancestors);
    void* adjusted = object;
    e.IsStdException = object && typeid(std::exception).__do_catch(type, &adjusted, 1);
    if (e.IsStdException) {
        try {
            e.Message = static_cast<const std::exception*>(adjusted)->what();
        } catch (...) {
        }
    } else if (type == &typeid(const char*) || type == &typeid(char*)) {
        e.Message = object ? *static_cast<const char* const*>(object) : "";
    } else if (type == &typeid(std::string)) {
        e.Message = *static_cast<const std::string*>(object);
    }
    return e;
}

const char* SignalClassName(int signal, int code, bool stackOverflow) {
    if (stackOverflow) return "EStackOverflow";
    switch (signal) {
        case SIGSEGV:
        case SIGBUS:
            return "EAccessViolation";
        case SIGFPE:
            switch (code) {
                case FPE_INTDIV:
                    return "EDivByZero";
                case FPE_INTOVF:
                    return "EIntOverflow";
                case FPE_FLTDIV:
                    return "EZeroDivide";
                case FPE_FLTOVF:
                    return "EOverflow";
                case FPE_FLTUND:
                    return "EUnderflow";
                default:
                    return "EInvalidOp";
            }
        case SIGILL:
            return "EPrivilege";
        default:
            return "EExternalException";
    }
}

ExceptionInfo DescribeSignal(const TCrashOsRecord& os, bool stackOverflow) {
    ExceptionInfo e;
    e.Language = false;
    e.HasOs = true;
    e.Os = os;
    e.StackOverflow = stackOverflow;
    e.ClassName = SignalClassName(os.Signal, os.Code, stackOverflow);
    e.Ancestors = {e.ClassName};
    const std::string c = e.ClassName;
    if (c == "EDivByZero" || c == "EIntOverflow") e.Ancestors.push_back("EIntError");
    if (c == "EZeroDivide" || c == "EOverflow" || c == "EUnderflow" || c == "EInvalidOp")
        e.Ancestors.push_back("EMathError");
    e.Ancestors.push_back("EExternal");
    e.Ancestors.push_back("Exception");
    char buf[160];
    switch (os.Signal) {
        case SIGSEGV:
        case SIGBUS:
            if (stackOverflow)
                snprintf(buf, sizeof buf, "Stack overflow");
            else
                snprintf(buf, sizeof buf, "Access violation at address %s. %s of address %s",
                         Hex(os.FaultAddress).c_str(), os.Write ? "Write" : "Read",
                         Hex(os.FaultAddress).c_str());
            break;
        case SIGFPE:
            snprintf(buf, sizeof buf, "%s",
                     c == "EDivByZero" ? "Division by zero" : "Floating point or integer fault");
            break;
        case SIGILL:
            snprintf(buf, sizeof buf, "Illegal or privileged instruction");
            break;
        case SIGABRT:
            snprintf(buf, sizeof buf, "External exception: SIGABRT (aborted)");
            break;
        case SIGTRAP:
            snprintf(buf, sizeof buf, "External exception: SIGTRAP (trap)");
            break;
        default:
            snprintf(buf, sizeof buf, "External exception: signal %d", os.Signal);
    }
    e.Message = buf;
    return e;
}

bool ClassMatches(const ExceptionInfo& e, std::string_view name) {
    const std::string want = TrimLower(name);
    if (want.empty()) return false;
    for (const auto& a : e.Ancestors) {
        const std::string have = TrimLower(a);
        if (have == want) return true;
        const auto colon = have.rfind("::");
        if (colon != std::string::npos && have.substr(colon + 2) == want) return true;
    }
    return false;
}

namespace {

// ---- the report text ----------------------------------------------------------------------

// A short text used until the full report builder is part of the library.
std::string OwnReportText(const ExceptionInfo& e, const TCrashStackList& stack, uint16_t id,
                          uint64_t threadId) {
    std::ostringstream out;
    char idText[8];
    snprintf(idText, sizeof idText, "%04X", id);
    out << "CrashLog 6.0.20\r\n\r\nException : " << e.ClassName << "\r\nMessage   : " << e.Message
        << "\r\nAddress   : " << Hex(e.Address) << "\r\nThread    : " << threadId
        << "\r\nID        : " << idText << "\r\n\r\nCall Stack:\r\n";
    uint64_t lastThread = ~uint64_t(0);
    for (const auto& entry : stack.Items) {
        if (entry.ThreadId != lastThread) {
            out << "Thread " << entry.ThreadId << ":\r\n";
            lastThread = entry.ThreadId;
        }
        out << "  " << Hex(entry.Address) << " "
            << (entry.Module ? entry.Module->Name.substr(entry.Module->Name.rfind('/') + 1) : "")
            << " " << entry.UnitName << " " << entry.ClassName << " " << entry.ProcName << " "
            << (entry.Line ? std::to_string(entry.Line) + "[" + std::to_string(entry.ProcLine) + "]"
                           : std::string())
            << "\r\n";
    }
    return out.str();
}

std::string FileNameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::string CommandLine() {
    std::string out;
    for (const auto& a : S().Arguments) {
        if (!out.empty()) out += ' ';
        out += a;
    }
    return out;
}

TCrashProgramKind ProgramKind() {
    if (getenv("REQUEST_METHOD")) return TCrashProgramKind::Cgi;
    for (const auto& m : S().Modules->Items())
        if (m->Name.find("libQt6Gui") != std::string::npos ||
            m->Name.find("libQt5Gui") != std::string::npos)
            return TCrashProgramKind::Gui;
    return TCrashProgramKind::Console;
}

// The duplicate ID: programs, the module of the address, the class and every
// located frame of the first entry's module.
uint16_t ExceptionId(const ExceptionInfo& e, const TCrashStackList& stack,
                     const TCrashModuleInfo* main, const TCrashModuleInfo* except) {
    auto named = [](const TCrashModuleInfo* m) {
        if (!m) return std::string();
        std::string s = FileNameOf(m->Name);
        if (!m->Description.empty()) s += " - (" + m->Description + ")";
        return s;
    };
    std::string text = named(main) + named(except) + e.ClassName;
    const TCrashModuleInfo* first = stack.Items.empty() ? nullptr : stack.Items.front().Module;
    for (const auto& entry : stack.Items)
        if (entry.Kind == 4 && entry.Module == first)
            text += entry.UnitName.str() + entry.ClassName.str() + entry.ProcName.str() +
                    std::to_string(entry.Line);
    return Crc16Xmodem(text);
}

// ---- the display ---------------------------------------------------------------

void WriteToConsole(const std::string& report) {
    const std::string out = report + "\r\n";
    if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0)
        Warning(TCrashLogErrorCode::ceShowError, "[Console] " + std::string(strerror(errno)));
}

// Shows the report by the way the origin and the program call for: the
// error page of a web application, standard output for a console program,
// else the dialogs (standard output when there is no display to show them
// on, or the dialog helper failed).  Returns the terminate (1) or restart
// (2) the user asked for, or 0.
int Display(Job& job, const ExceptionInfo& e, TCrashExceptionRecord& rec, TCrashReportInput& in,
            TCrashModuleOptionsEx& options, int dialogKind, const std::string& customMessage,
            bool duplicateLogged, bool& sendChosen) {
    auto& st = S();
    const TCrashProgramKind kind = in.ProgramKind;
    const bool web =
        (job.Origin == coRuntime && kind == TCrashProgramKind::Cgi) || job.Origin == coServer;
    if (web) {
        const std::string page = BuildErrorPage(rec.Report, options, uint32_t(random()));
        const TCrashErrorPageResult r = SendErrorPage(kind, page);
        if (!r.Delivered) Warning(TCrashLogErrorCode::ceShowError, r.Warning);
        return 0;
    }
    const bool console = job.Origin <= coFramework && kind != TCrashProgramKind::Gui;
    if (console || !DialogDisplayAvailable()) {
        WriteToConsole(rec.Report);
        return 0;
    }
    TDialogRequest request =
        MakeDialogRequest(options, TDialogKind(dialogKind),
                          customMessage.empty() ? e.Message : customMessage, st.ErrorCount);
    SetReportPieces(request, rec.Report);
    TDialogLaunch launch;
    TDialogResult r;
    {
        StallExemption exempt(uint64_t(launch.totalTimeoutMs) + 60000);
        r = RunExceptionDialogs(request, options.StoreInLogFile(), duplicateLogged, launch);
    }
    // The dialog client already names the GUI as the source of its warning.
    if (!r.warning.empty()) Warning(TCrashLogErrorCode::ceShowError, r.warning);
    if (!r.shown || r.consoleFallback) {
        WriteToConsole(rec.Report);
        return 0;
    }
    // The user's send choice in the dialog decides whether the report goes out.
    sendChosen = r.send;
    if (!r.reproduceText.empty() && (options.LogFlags() & log_flags::ReproduceRequest)) {
        in.ReproduceText = r.reproduceText;
        if (BuildBugReport) rec.Report = BuildBugReport(in);
    }
    if (!r.userEmail.empty()) ReplaceEmailAddress(rec.Report, r.userEmail);
    st.ReportText = rec.Report;
    if (!r.terminateRequested) return 0;
    return options.TerminateButtonAction() == 2 ? 2 : 1;
}

// ---- terminate and restart -------------------------------------------------------------

[[noreturn]] void CarryOut(int action) {
    // A report still on its way in the background goes out first.
    WaitForBackgroundSends();
    fflush(stdout);
    fflush(stderr);
    if (action == 2 && !S().Arguments.empty()) {
        std::vector<char*> argv;
        for (auto& a : S().Arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            if (chdir(S().StartFolder.c_str()) != 0) _exit(127);
            execv("/proc/self/exe", argv.data());
            _exit(127);
        }
    }
    _exit(1);
}

// ---- the pass ------------------------------------------------------------------------------

// Keeps the report in the log file.  A handler may ask for a failed save
// to be tried again; three tries at most, so a log that cannot be written
// never holds the pass.
void StoreInLog(Job& job, const TCrashExceptionRecord& rec, const TCrashModuleOptionsEx& options,
                uint16_t id, const TCrashModuleInfo* mainModule) {
    TLogStoreRequest request;
    request.path = LogFilePath(options);
    request.reportText = rec.Report;
    char idText[8];
    snprintf(idText, sizeof idText, "%04X", id);
    request.reportId = idText;
    request.limit = int(options.ErrorsToKeep());
    request.mergeDuplicates = (options.LogFlags() & log_flags::MergeDuplicates) != 0;
    if ((options.LogFlags() & log_flags::ResetLogOnNewVersion) && mainModule) {
        const std::string logged = LastLoggedVersion(request.path);
        if (!logged.empty() && logged != mainModule->Version) unlink(request.path.c_str());
    }
    bool execute = true;
    FireAction(job, rec, raBeforeSaveLog, execute);
    if (!execute) return;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ClearLastWarning();
        TLogStoreResult result;
        {
            StallExemption exempt(15000);  // the store waits 10 s at most for its lock
            result = StoreReportInLog(request);
        }
        if (result.saved) break;
        Warning(TCrashLogErrorCode::ceLogError, result.error);
        bool retry = false;
        FireError(job, rec, raAfterSaveLog, retry);
        if (!retry) break;
    }
    FireAction(job, rec, raAfterSaveLog, execute);
}

// Address space kept back so that a pass still finds some after an
// out-of-memory failure; given back while a dispatch runs.
void* gReserve = nullptr;
constexpr size_t kReserveSize = 5 * 1024 * 1024;

void ReleaseReserve() {
    if (gReserve) munmap(gReserve, kReserveSize);
    gReserve = nullptr;
}

void TakeReserve() {
    if (gReserve) return;
    void* p =
        mmap(nullptr, kReserveSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    gReserve = p == MAP_FAILED ? nullptr : p;
}

TCrashModuleOptionsEx* ChooseOptions(ModuleHandle byAddress, ModuleHandle byCaller) {
    auto& st = S();
    auto carries = [](TCrashModuleInfo* m) { return m && m->DebugData && m->Options; };
    TCrashModuleInfo* chosen = nullptr;
    SetSection(101);
    if (auto* m = st.Modules->FindByHandle(byAddress); carries(m)) chosen = m;
    SetSection(102);
    if (!chosen)
        if (auto* m = st.Modules->FindByHandle(byCaller); carries(m)) chosen = m;
    SetSection(103);
    auto* main = st.Modules->FindByHandle(st.OptionsModule);
    if (!chosen) chosen = main;
    if (chosen && chosen->Options &&
        (chosen->Options->BehaviourFlags() & behaviour_flags::UseMainModuleOptions) &&
        carries(main))
        chosen = main;
    SetSection(104);
    TCrashModuleOptionsEx* options = st.MainOptions.get();
    if (chosen && chosen->Handle != st.OptionsModule && chosen->Options)
        options = chosen->Options.get();
    options->Refresh();
    options->SetReproduceText({});
    return options;
}

void PutBackLogFlags(Job& job) {
    if (job.FlagsChanged) job.FlagsChanged->SetLogFlags(job.SavedLogFlags);
    job.FlagsChanged = nullptr;
}

void ProcessException(Job& job) {
    auto& st = S();
    auto& snap = Snapshot();
    snap.PassRunning = true;
    sigjmp_buf recover;
    tRecover = &recover;
    ExceptionInfo signalInfo;
    ExceptionInfo& e = job.Info ? *job.Info : signalInfo;
    bool paused = false;
    job.Answer = false;
    if (sigsetjmp(recover, 1) != 0) {
        // A fault inside the pass.
        InternalError("EAccessViolation", "Access violation inside the processing pass", 0,
                      e.ClassName);
        if (paused) ReleaseThreads();
        PutBackLogFlags(job);
        st.Options = st.MainOptions.get();
        SetCurrentOptionsObject(st.Options);
        snap.PassRunning = false;
        tRecover = nullptr;
        return;
    }
    try {
        SetSection(1);
        if (!job.Info) {
            TCrashOsRecord os;
            os.Signal = job.Sig.Signal;
            os.Code = job.Sig.Code;
            os.FaultAddress = job.Sig.FaultAddress;
            os.Write = job.Sig.Write;
            signalInfo = DescribeSignal(os, job.Sig.StackOverflow);
            signalInfo.Address = job.Context.Rip;
        }
        const TCrashTimeStamp passTime = CurrentTimeStamp ? CurrentTimeStamp() : TCrashTimeStamp{};
        const auto registry = RegistrySnapshot();
        st.LastProcessedAddress = e.Address;
        st.LastProcessedObject = e.Object;
        st.LastWasLanguage = e.Language;

        st.Modules->DropChanged();
        TCrashModuleInfo* exceptModule = st.Modules->FindByAddress(e.Address);
        auto* options =
            ChooseOptions(exceptModule ? exceptModule->Handle : 0, job.Module ? job.Module : 0);
        st.Options = options;
        SetCurrentOptionsObject(options);
        if (job.NoCpuAndAssembler) {
            job.FlagsChanged = options;
            job.SavedLogFlags = options->LogFlags();
            options->SetLogFlags(uint8_t(job.SavedLogFlags & ~log_flags::LogCpuAndAssembler));
        }
        SetSection(2);

        int handling = 2, finalAction = 0;
        int dialogKind = options->DialogKind();
        bool filterMatched = false;
        std::string customMessage;
        const auto& p = *job.Params;
        if (job.Marker != 2 && options->ApplyFilters()) {
            SetSection(201);
            const auto& filters = options->Filters();
            for (int i = 0; i < filters.Count(); ++i) {
                const auto& f = filters.Item(i);
                if (!f.Enabled) continue;
                if (f.Scope == 1 && !p.IsHandled) continue;
                if (f.Scope == 2 && p.IsHandled) continue;
                if (!ClassMatches(e, f.ClassName)) continue;
                finalAction = f.FinalAction;
                handling = f.Handling;
                static const int kinds[] = {0, -1, 1, 2, 3};
                dialogKind = f.DialogChoice < 5 ? kinds[f.DialogChoice] : dialogKind;
                if (dialogKind < 0) dialogKind = options->DialogKind();
                filterMatched = true;
                customMessage = ExpandVariables(f.ReplacementMessage);
                break;
            }
        }
        SetSection(3);
        if (handling == 0) {
            job.Answer = false;
        } else if (handling == 1) {
            job.Answer = true;
        } else {
            // ---- capture ----
            SetSection(4);
            const uint64_t exceptThread = job.ExceptThread;
            uintptr_t stackTop = p.StackTop, stackStart = p.StackStart;
            for (const auto& t : registry)
                if (t.ThreadId == exceptThread && !stackTop) stackTop = t.StackTop;
            TCrashStackList stack;
            StackCopy copy;
            if (p.PresetStack) {
                stack = *p.PresetStack;
            } else if (p.IsHandled && e.Language && RaiseStackCopy(exceptThread, e.Object, copy)) {
                // The catch block runs after the unwinder left the raiser's
                // frames: their words survive in the copy taken at the raise.
                stack.Items.push_back(
                    st.Modules->ResolveAddress(e.Address, exceptThread, true, true));
                WalkCopiedStack(*st.Modules, stack, copy.Bytes, exceptThread, true);
                // Above the catching frame the stack is still the same.
                if (stackTop > copy.End()) {
                    TStackWalkParams w;
                    w.StackStart = copy.End();
                    w.StackTop = stackTop;
                    w.ThreadId = exceptThread;
                    WalkStack(*st.Modules, stack, w);
                }
            } else {
                TStackWalkParams w;
                w.RaiseAddress = e.Address;
                w.StackStart = stackStart;
                w.StackTop = stackTop;
                w.ThreadId = exceptThread;
                w.FollowCalls = true;
                WalkStack(*st.Modules, stack, w);
            }
            TCrashModuleInfo* mainModule = st.Modules->FindByHandle(st.MainModule);
            const uint16_t id = ExceptionId(e, stack, mainModule, exceptModule);
            for (const auto& t : registry)
                if (t.ThreadId == exceptThread && !t.CreatorStack.empty())
                    WalkCopiedStack(*st.Modules, stack, t.CreatorStack, t.CreatorId, false);
            if (options->CallStackFlags() & call_stack_flags::ListOsThreads) {
                std::vector<uint64_t> others;
                for (const auto& t : registry)
                    if (t.ThreadId != exceptThread && !t.IsMain && t.ThreadId != CurrentThreadId())
                        others.push_back(t.ThreadId);
                for (auto& c : CaptureThreads(others)) {
                    WalkCopiedStack(*st.Modules, stack, c.Stack, c.ThreadId, true);
                    for (const auto& t : registry)
                        if (t.ThreadId == c.ThreadId && !t.CreatorStack.empty())
                            WalkCopiedStack(*st.Modules, stack, t.CreatorStack, t.CreatorId, false);
                }
            }
            SetSection(5);
            if (job.Marker != 2) {
                // ---- report ----
                const uint16_t flags = options->BehaviourFlags();
                std::vector<uint64_t> toPause;
                for (const auto& t : registry) {
                    if (t.ThreadId == exceptThread || t.ThreadId == CurrentThreadId()) continue;
                    const bool pauseMain = !(flags & behaviour_flags::KeepMainThreadRunning) &&
                                           (flags & behaviour_flags::PauseRtlThreads);
                    if (t.IsMain ? pauseMain : (flags & behaviour_flags::PauseOsThreads))
                        toPause.push_back(t.ThreadId);
                }
                if (!toPause.empty()) {
                    PauseThreads(toPause);
                    paused = true;
                }
                SetSection(6);
                bool handle = true;
                if (options->LogFlags() & log_flags::LogModuleLists) {
                    st.Modules->Refresh();
                    st.Processes->Refresh();
                }
                SetSection(7);
                TCrashReportInput in;
                in.Options = options;
                in.ProgramKind = ProgramKind();
                in.StartTime = st.StartTime;
                in.ExceptionTime = passTime;
                if (mainModule) {
                    in.MainModulePath = mainModule->Name;
                    in.MainModuleDescription = mainModule->Description;
                    in.MainModuleVersion = mainModule->Version;
                    in.BuildTime = mainModule->BuildTime;
                }
                in.CommandLine = CommandLine();
                in.ValidObject = e.Valid;
                in.IsExceptionClass = e.IsStdException || !e.Language;
                in.ClassName = e.ClassName;
                in.Message = e.Message;
                if (e.HasOs && !e.StackOverflow &&
                    (e.Os.Signal == SIGSEGV || e.Os.Signal == SIGBUS)) {
                    in.AccessViolation.Present = true;
                    in.AccessViolation.Write = e.Os.Write;
                    in.AccessViolation.AccessedAddress = e.Os.FaultAddress;
                    in.AccessViolation.FaultAddress = e.Address;
                    in.AccessViolation.ModulePath = exceptModule ? exceptModule->Name : "";
                }
                in.Address = e.Address;
                if (exceptModule) {
                    in.ModulePath = exceptModule->Name;
                    in.ModuleDescription = exceptModule->Description;
                    in.ModuleVersion = exceptModule->Version;
                }
                in.ThreadId = exceptThread;
                in.IsHandled = p.IsHandled;
                in.Id = id;
                in.FocusClass = p.FocusClass;
                in.FocusText = p.FocusText;
                if (GatherSystemValues) in.System = GatherSystemValues(TCrashSystemSources{});
                in.Stack = &stack;
                for (const auto& t : registry) {
                    TCrashReportThread rt;
                    rt.ThreadId = t.ThreadId;
                    rt.Priority = t.Priority;
                    rt.ClassName = t.Name;
                    rt.IsMain = t.IsMain;
                    in.Threads.push_back(rt);
                }
                if ((options->LogFlags() & log_flags::LogModuleLists) && ReportModules) {
                    in.Modules = ReportModules(*st.Modules);
                    in.Processes = st.Processes->Items;
                }
                if (job.Context.Valid) in.Context = job.Context;
                in.StackStart = stackStart;
                in.ReadLiveMemory = true;
                in.ResolveAddress = [&](uintptr_t a) {
                    return st.Modules->ResolveAddress(a, exceptThread, false, true);
                };
                SetSection(702);
                TCrashExceptionRecord& rec = st.Current;
                rec = {};
                rec.RaisedObject = e.Object;
                rec.RaisedType = e.Type;
                rec.ClassName = e.ClassName;
                rec.Message = e.Message;
                rec.RaiseAddress = e.Address;
                rec.RaiseThreadId = exceptThread;
                rec.Stack = &stack;
                rec.Options = options;
                rec.OsRecord = e.HasOs ? &e.Os : nullptr;
                rec.OsContext = job.Context.Valid ? &job.Context : nullptr;
                rec.Modules = st.Modules.get();
                rec.IsHandled = p.IsHandled;
                SetSection(703);
                rec.Report =
                    BuildBugReport ? BuildBugReport(in) : OwnReportText(e, stack, id, exceptThread);
                st.ReportText = rec.Report;
                SetSection(705);
                ClearLastWarning();
                SetSection(706);

                // The variables option strings may name (kPassVariables; a
                // send in the background takes their values with it).
                setenv("_MainModuleName", mainModule ? FileNameOf(mainModule->Name).c_str() : "",
                       1);
                setenv("_MainModuleDesc", mainModule ? mainModule->Description.c_str() : "", 1);
                setenv("_MainModuleVer", mainModule ? mainModule->Version.c_str() : "", 1);
                setenv("_ExceptModuleName",
                       exceptModule ? FileNameOf(exceptModule->Name).c_str() : "", 1);
                setenv("_ExceptModuleDesc", exceptModule ? exceptModule->Description.c_str() : "",
                       1);
                setenv("_ExceptModuleVer", exceptModule ? exceptModule->Version.c_str() : "", 1);
                setenv("_ExceptMsg", e.Message.c_str(), 1);
                setenv("_BugReport", rec.Report.c_str(), 1);
                setenv("_LineBreak", "\r\n", 1);

                FireException(job, rec, p.IsHandled, handle);
                SetSection(8);
                if (!handle) {
                    job.Answer = true;
                } else {
                    // The screen as the user saw it, before any dialog covers it;
                    // the delivery writes it as "Screenshot.png" when it is sent.
                    TScreenshotRequest shot;
                    shot.activeWindow =
                        (options->SendFlags() & send_flags::ActiveWindowScreenshot) != 0;
                    CaptureScreen(shot);
                    if (options->RepeatAction() != 0) {
                        st.CrashTimes.push_back(passTime.UnixSeconds ? passTime.UnixSeconds
                                                                     : int64_t(time(nullptr)));
                        while (st.CrashTimes.size() > options->RepeatCount())
                            st.CrashTimes.erase(st.CrashTimes.begin());
                    }
                    st.CustomData.clear();
                    FireCustomData(job, rec, st.CustomData);
                    if (!st.CustomData.empty() && options->ShownField(47)) {
                        in.CustomData = st.CustomData;
                        if (BuildBugReport) rec.Report = BuildBugReport(in);
                        st.ReportText = rec.Report;
                    }
                    SetSection(9);
                    ++st.ErrorCount;
                    SetSection(10);
                    SetSection(11);
                    if (!filterMatched) dialogKind = options->DialogKind();
                    // A report the log already holds (merged duplicates) is
                    // counted there, not offered or sent again.
                    char idText[8];
                    snprintf(idText, sizeof idText, "%04X", unsigned(id));
                    const bool duplicateLogged =
                        options->StoreInLogFile() &&
                        (options->LogFlags() & log_flags::MergeDuplicates) &&
                        LogHoldsReport(LogFilePath(*options), idText);
                    // Without a dialog the report goes out whenever delivery is
                    // configured; a dialog lets the user decide.
                    bool sendChosen = true;
                    if (dialogKind != 0) {
                        SetSection(12);
                        bool execute = true;
                        ClearLastWarning();
                        FireAction(job, rec, raBeforeDialog, execute);
                        if (execute) {
                            SetSection(13);
                            const int asked = Display(job, e, rec, in, *options, dialogKind,
                                                      customMessage, duplicateLogged, sendChosen);
                            if (asked) finalAction = asked;
                        }
                        SetSection(14);
                        FireAction(job, rec, raAfterDialog, execute);
                    }
                    SetSection(15);
                    if (options->StoreInLogFile()) StoreInLog(job, rec, *options, id, mainModule);
                    if (sendChosen && !duplicateLogged) {
                        // Delivery bounds each network wait itself.
                        StallExemption exempt(600000);
                        // A send in the background warns after this pass,
                        // when the current record may be another's.
                        SendFromPass(
                            rec, *options, id, [&](int a, bool& x) { FireAction(job, rec, a, x); },
                            [&](int a, bool& r) { FireError(job, rec, a, r); },
                            [address = rec.RaiseAddress](TCrashLogErrorCode code,
                                                         const std::string& text) {
                                WarningAt(address, code, text);
                            });
                    }
                    ReleaseScreenshot();
                    SetSection(16);
                    // Repeat rule: too many exceptions too fast restart (or end)
                    // the program.
                    if (options->RepeatAction() != 0 &&
                        st.CrashTimes.size() == options->RepeatCount() && !st.CrashTimes.empty() &&
                        st.CrashTimes.back() - st.CrashTimes.front() <=
                            int64_t(options->RepeatMinutes()) * 60 &&
                        finalAction == 0)
                        finalAction = options->RepeatAction();
                }
                if (paused) {
                    ReleaseThreads();
                    paused = false;
                }
                SetSection(17);
                if (handling == 2 && finalAction != 0) {
                    options->SetTerminateButtonAction(uint8_t(finalAction));
                    bool execute = true;
                    FireAction(job, rec, raBeforeTerminate, execute);
                    SetSection(18);
                    if (execute) CarryOut(finalAction);
                }
                if (flags & behaviour_flags::AlsoCallDefaultHandler) job.Answer = true;
            }
        }
    } catch (const std::exception& ex) {
        InternalError(DemangledName(&typeid(ex)), ex.what(), 0, e.ClassName);
    } catch (...) {
        InternalError("Unknown exception type", "", 0, e.ClassName);
    }
    if (paused) ReleaseThreads();
    PutBackLogFlags(job);
    // Between passes the main program's options are in force again.
    st.Options = st.MainOptions.get();
    SetCurrentOptionsObject(st.Options);
    snap.PassRunning = false;
    tRecover = nullptr;
}

// ---- DispatchException ---------------------------------------------------------------------

enum class WaitResult { Done, Stalled };

// Runs the event call the worker posted; a fault inside it comes back here.
__attribute__((noinline)) void ServePendingCall(std::function<void()>* call) {
    auto& snap = Snapshot();
    sigjmp_buf recover;
    sigjmp_buf* previous = tRecover;
    tRecover = &recover;
    snap.ServingCall = true;
    if (sigsetjmp(recover, 1) == 0) {
        try {
            (*call)();
        } catch (...) {
            // An exception inside an event handler is swallowed.
        }
    } else {
        InternalError("EAccessViolation", "Access violation inside an event handler", 0,
                      S().Current.ClassName);
    }
    snap.ServingCall = false;
    tRecover = previous;
}

WaitResult WaitForWorker() {
    int lastProgress = gProgress.load();
    uint64_t lastChange = MonotonicMs();
    while (gJobState.load() != 2) {
        if (auto* call = gPendingCall.load()) {
            ServePendingCall(call);
            gPendingCall.store(nullptr);
            lastChange = MonotonicMs();
        }
        const int progress = gProgress.load();
        if (progress != lastProgress) {
            lastProgress = progress;
            lastChange = MonotonicMs();
        } else if (MonotonicMs() - lastChange > uint64_t(S().StallTimeoutMs) &&
                   MonotonicMs() > gStallExemptUntil.load()) {
            return WaitResult::Stalled;
        }
        FutexWait(gJobState, 1, 10);
    }
    return WaitResult::Done;
}

// Posts the job to the worker and waits; false when the pass stalled.
bool RunOnWorker() {
    if (gWorkerPid != getpid()) return false;
    gJobState.store(1);
    FutexWakeAll(gJobState);
    if (WaitForWorker() == WaitResult::Stalled) return false;
    gJobState.store(0);
    return true;
}

bool IsSafecallMessage(const std::string& m) {
    return m.rfind("[SafeCall Exception]: ", 0) == 0;
}

// The dispatch of a described exception (outside any signal handler).
bool Dispatch(ExceptionInfo& e, TExceptNotifyParams& params, int marker, int origin,
              ModuleHandle module, const TCrashCpuContext* context,
              const PresetReport* preset = nullptr) {
    auto& st = S();
    auto& snap = Snapshot();
    if (!st.Active.load()) return true;
    if (snap.DispatchRunning) return false;  // a nested exception is dropped
    if (!LockProcessing(120000)) return true;
    snap.DispatchRunning = true;
    ReleaseReserve();
    struct Release {
        RaiseSnapshot& s;
        ~Release() {
            TakeReserve();
            s.DispatchRunning = false;
            UnlockProcessing();
        }
    } release{snap};
    if (IsSafecallMessage(e.Message) &&
        !(st.Options->BehaviourFlags() & behaviour_flags::HandleSafecall))
        return false;
    if (!st.Options->Enabled()) return true;
    if (!params.SourceThreadId) params.SourceThreadId = CurrentThreadId();
    if (!params.IsHandled) {
        snprintf(snap.ClassName, sizeof snap.ClassName, "%s", e.ClassName.c_str());
        snap.Address = e.Address;
    }
    gJob = Job{};
    gJob.Info = &e;
    gJob.Params = &params;
    if (context) gJob.Context = *context;
    gJob.Marker = marker;
    gJob.Origin = origin;
    gJob.Module = module;
    gJob.RaiseThread = CurrentThreadId();
    gJob.ExceptThread = params.SourceThreadId;
    if (preset) {
        gJob.Events = !preset->AtExit;
        gJob.NoCpuAndAssembler = preset->AtExit;
    }
    if (preset && preset->AtExit) {
        // The leak report runs in the finalising thread itself.
        RunPass(gJob);
    } else if (!RunOnWorker()) {
        if (gWorkerPid != getpid()) {
            // No worker in this process (a forked child): run here.
            RunPass(gJob);
        } else {
            WriteMinimalReport("the processing pass stopped moving", e.ClassName.c_str(), e.Address,
                               context, params.StackStart, params.StackTop);
            EndProcessAfterCrash(1);
        }
    }
    snap.RaiseStackPointer = 0;
    snap.Context = {};
    snap.HasOsRecord = false;
    if (st.Options)
        st.ReportHandled =
            (st.Options->BehaviourFlags() & behaviour_flags::ReportHandledExceptions) != 0;
    return gJob.Answer;
}

}  // namespace

void NotePassProgress() {
    gProgress.fetch_add(1);
}

bool DispatchPresetReport(const PresetReport& report) {
    auto& snap = Snapshot();
    if (!Active() || snap.LibraryThread || snap.DispatchRunning || snap.PassRunning) return false;
    ExceptionInfo e;
    e.ClassName = report.ClassName;
    e.Ancestors = report.Ancestors;
    if (e.Ancestors.empty()) e.Ancestors.push_back(e.ClassName);
    e.Message = report.Message;
    e.Language = false;  // raised by no throw: the address is the report's own
    e.Address = report.Address;
    TExceptNotifyParams params;
    params.IsHandled = report.IsHandled;
    params.PresetStack = report.Stack;
    params.SourceThreadId = CurrentThreadId();
    Dispatch(e, params, 0, coRuntime, 0, nullptr, &report);
    return true;
}

void RecordInternalError(const std::string& section, const std::string& className,
                         const std::string& message, const std::string& lastExcept) {
    InternalErrorIn(section, className, message, 0, lastExcept);
}

// ---- the hooks' side ------------------------------------------------------------------------

bool Active() {
    return S().Active.load(std::memory_order_relaxed);
}

bool Handling() {
    return S().Handling.load(std::memory_order_relaxed);
}

bool ReportHandled() {
    // Read on every end of a catch block: one load while the bit is clear.
    const auto* options = S().Options;
    return options && (options->BehaviourFlags() & behaviour_flags::ReportHandledExceptions);
}

bool DispatchUncaughtThrow(void* object, const std::type_info* type, uintptr_t address,
                           uintptr_t stackPointer, Decision) {
    ExceptionInfo e = DescribeThrown(object, type);
    e.Address = address;
    TExceptNotifyParams params;
    params.IsHandled = false;
    params.StackStart = stackPointer;
    uintptr_t low, high;
    StackBounds(low, high);
    params.StackTop = high;
    return Dispatch(e, params, 0, coRuntime, 0, &Snapshot().Context);
}

void DispatchHandledAtEndCatch(void* object, const std::type_info* type) {
    auto& snap = Snapshot();
    if (snap.DispatchRunning || snap.PassRunning || snap.LibraryThread) return;
    // The raise notification saw this one and did not report it; a raise
    // it reported already is not reported again.
    if (snap.Object != object) return;
    ExceptionInfo e = DescribeThrown(object, type);
    e.Address = LastRaiseAddress();
    if (snap.ClassName[0] && e.ClassName == snap.ClassName && snap.Address == e.Address &&
        S().LastProcessedObject == object)
        return;
    TExceptNotifyParams params;
    params.IsHandled = true;
    uintptr_t low, high;
    StackBounds(low, high);
    params.StackTop = high;
    params.StackStart = uintptr_t(__builtin_frame_address(0));
    Dispatch(e, params, 0, coRuntime, 0, nullptr);
}

[[noreturn]] void TerminateHandler() {
    auto& snap = Snapshot();
    bool defaultToo = true;
    if (Active() && Handling() && !snap.LibraryThread && !snap.PassRunning) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        void* object = nullptr;
        if (type) {
            std::exception_ptr current = std::current_exception();
            object = *reinterpret_cast<void**>(&current);
        }
        if (type && object && object == S().LastProcessedObject && snap.Object == object) {
            // Reported when it was raised.
            defaultToo = false;
        } else {
            ExceptionInfo e;
            if (type) {
                e = DescribeThrown(object, type);
                e.Address = snap.Object == object ? LastRaiseAddress() : 0;
            } else {
                e.ClassName = "std::terminate";
                e.Ancestors = {e.ClassName};
                e.Message = "std::terminate was called without an active exception";
                e.IsStdException = false;
            }
            if (!e.Address) e.Address = uintptr_t(__builtin_return_address(0));
            TExceptNotifyParams params;
            uintptr_t low, high;
            StackBounds(low, high);
            params.StackTop = high;
            params.StackStart = uintptr_t(__builtin_frame_address(0));
            defaultToo = Dispatch(e, params, 0, coRuntime, 0, nullptr);
        }
    }
    if (!defaultToo) EndProcessAfterCrash(1);
    WaitForBackgroundSends();
    if (auto previous = PreviousTerminateHandler()) previous();
    abort();
}

void DispatchSignal(int signal, siginfo_t* info, ucontext_t* uc, bool stackOverflow) {
    auto& snap = Snapshot();
    if (!Active() || !Handling()) return;
    // A fault inside an event handler this thread runs for a pass, or inside
    // the pass itself: back to the point that reports it as an internal error.
    if (tRecover && (snap.ServingCall || snap.PassRunning)) siglongjmp(*tRecover, 1);
    ++tSignalDepth;
    if (tSignalDepth > 1 || snap.InSignal) {
        // A fault while this thread already handles one.
        if (tSignalDepth > 2) _exit(1);  // even the minimal report failed
        TCrashCpuContext ctx;
        ContextFromUcontext(uc, ctx);
        WriteMinimalReport("a second fault while handling a fault",
                           SignalClassName(signal, info->si_code, stackOverflow), ctx.Rip, &ctx,
                           ctx.Rsp, snap.StackHigh);
        _exit(1);
    }
    if (snap.LibraryThread) {
        // The worker or the watcher outside a pass: nothing of the program's.
        TCrashCpuContext ctx;
        ContextFromUcontext(uc, ctx);
        WriteMinimalReport("a fault in the crash library's own thread",
                           SignalClassName(signal, info->si_code, stackOverflow), ctx.Rip, &ctx,
                           ctx.Rsp, snap.StackHigh);
        _exit(1);
    }
    TCrashCpuContext ctx;
    ContextFromUcontext(uc, ctx);
    snap.Context = ctx;
    snap.InSignal = true;
    const char* cls = SignalClassName(signal, info->si_code, stackOverflow);
    if (snap.DispatchRunning || snap.RaiseRunning.test()) {
        // The fault hit this thread inside the library (a dispatch or a raise
        // notification): the state the pass needs may be half-made.
        WriteMinimalReport("a fault inside the crash library", cls, ctx.Rip, &ctx, ctx.Rsp,
                           snap.StackHigh);
        _exit(1);
    }
    auto& st = S();
    // Waits for another thread's pass; a pass that never ends is not waited
    // for past the time-out.
    if (!LockProcessing(60000)) {
        WriteMinimalReport("another pass did not end", cls, ctx.Rip, &ctx, ctx.Rsp, snap.StackHigh);
        _exit(1);
    }
    snap.DispatchRunning = true;
    ReleaseReserve();
    bool answer = true;
    if (st.Options && st.Options->Enabled() && gWorkerPid == getpid()) {
        gJob = Job{};
        gJob.Info = nullptr;
        gJob.Sig.Signal = signal;
        gJob.Sig.Code = info->si_code;
        gJob.Sig.FaultAddress = uintptr_t(info->si_addr);
        gJob.Sig.Write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
        gJob.Sig.StackOverflow = stackOverflow;
        gJob.Context = ctx;
        auto& params = gSignalParams;  // plain fields only are touched here
        params.IsHandled = false;
        params.OsContext = nullptr;
        params.OsRecord = nullptr;
        params.PresetStack = nullptr;
        params.StackStart = ctx.Rsp;
        params.StackTop = snap.StackHigh;
        params.SourceThreadId = CurrentThreadId();
        gJob.Params = &params;
        gJob.RaiseThread = CurrentThreadId();
        gJob.ExceptThread = gJob.RaiseThread;
        snap.RaiseStackPointer = ctx.Rsp;
        snap.Context = ctx;
        snap.HasOsRecord = true;
        snap.OsRecord.Signal = signal;
        snap.OsRecord.Code = info->si_code;
        snap.OsRecord.FaultAddress = uintptr_t(info->si_addr);
        if (!RunOnWorker()) {
            WriteMinimalReport("the processing pass stopped moving", cls, ctx.Rip, &ctx, ctx.Rsp,
                               snap.StackHigh);
            _exit(1);
        }
        answer = gJob.Answer;
    } else if (st.Options && st.Options->Enabled()) {
        WriteMinimalReport("no worker thread in this process", cls, ctx.Rip, &ctx, ctx.Rsp,
                           snap.StackHigh);
        _exit(1);
    }
    snap.DispatchRunning = false;
    UnlockProcessing();
    // Still "in the fault" while the process ends: a later pass shows this
    // thread where the fault stopped it.
    if (!answer || stackOverflow) EndProcessAfterCrash(1);
    // The default action of the signal ends the process next.
    WaitForBackgroundSends();
    snap.InSignal = false;
    --tSignalDepth;
}

void EndProcessAfterCrash(int exitCode) {
    // Crashes of other threads already waiting for the processing lock are
    // reported before the process ends.
    if (gLockOwner.load() == CurrentThreadId()) UnlockProcessing();
    const uint64_t until = MonotonicMs() + 30000;
    while ((gWaiters.load() > 0 || gLock.load() != 0) && MonotonicMs() < until)
        usleep(10000);
    WaitForBackgroundSends();
    if (ftrylockfile(stdout) == 0) {
        fflush_unlocked(stdout);
        funlockfile(stdout);
    }
    _exit(exitCode);
}

}  // namespace crashlog::capture

// ---- start-up and shut-down -----------------------------------------------------------------

namespace crashlog::capture {
namespace {

std::vector<std::string> ReadArguments() {
    std::ifstream f("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == 0) {
            out.push_back(all.substr(start, i - start));
            start = i + 1;
        }
    return out;
}

// ---- frozen-application watcher ------------------------------------------------------------

void (*gPoster)(void*) = nullptr;
void* gPosterContext = nullptr;
std::atomic<uint64_t> gProbe{0}, gAnswer{0};
std::atomic<bool> gWatcherStop{false};
std::atomic<bool> gWatcherRunning{false};
pthread_t gWatcher{};

void* WatcherMain(void*) {
    Snapshot().LibraryThread = true;
    uint32_t silentMs = 0;
    while (!gWatcherStop.load()) {
        auto* options = S().Options;
        auto poster = gPoster;
        if (!options || !options->DetectFrozen() || !poster) {
            usleep(50000);
            continue;
        }
        const uint64_t probe = gProbe.fetch_add(1) + 1;
        poster(gPosterContext);
        usleep(50000);
        if (gAnswer.load() >= probe) {
            silentMs = 0;
            for (int i = 0; i < 6 && !gWatcherStop.load(); ++i)
                usleep(50000);
            continue;
        }
        // While a pass runs the main thread waits for it (the user may be
        // reading its dialog): that is no silence of its event loop.
        if (gLock.load() != 0) {
            silentMs = 0;
            continue;
        }
        silentMs += 50;
        const uint32_t limit = std::max<uint32_t>(1, options->FrozenSeconds()) * 1000;
        if (silentMs < limit) continue;
        silentMs = 0;
        // The modules list is the pass's: used here only while none runs.
        if (!LockProcessing(0)) continue;
        struct Unlock {
            bool held = true;
            void operator()() {
                if (held) UnlockProcessing();
                held = false;
            }
            ~Unlock() { (*this)(); }
        } unlock;
        const uint64_t main = MainThreadId();
        auto captured = CaptureThreads({main});
        if (captured.empty() || !captured[0].Context.Rip) continue;
        auto& c = captured[0];
        TCrashStackList stack;
        stack.Items.push_back(S().Modules->ResolveAddress(c.Context.Rip, main, true, true));
        WalkCopiedStack(*S().Modules, stack, c.Stack, main, true);
        unlock();  // the dispatch takes it again
        ExceptionInfo e;
        e.ClassName = "crashlog::EFrozenApplication";
        e.Ancestors = {e.ClassName, "EFrozenApplication", "std::runtime_error", "std::exception"};
        e.Message = options->Text(156);
        if (e.Message.empty()) e.Message = "The application seems to be frozen.";
        e.Address = c.Context.Rip;
        TExceptNotifyParams params;
        params.PresetStack = &stack;
        params.StackStart = c.StackStart;
        params.SourceThreadId = main;
        Snapshot().LibraryThread = false;
        Dispatch(e, params, 0, coFramework, 0, &c.Context);
        Snapshot().LibraryThread = true;
    }
    return nullptr;
}

ModuleHandle FirstModuleWithData(TCrashModulesList& modules) {
    modules.Refresh();
    const ModuleHandle own = CrashLibraryModuleHandle();
    std::vector<ModuleHandle> handles;
    for (const auto& m : modules.Items())
        handles.push_back(m->Handle);
    for (ModuleHandle h : handles) {
        if (h == own) continue;
        auto* m = modules.FindByHandle(h);
        if (m && m->DebugData) return h;
    }
    return 0;
}

}  // namespace

void StartUp() {
    auto& st = S();
    if (st.Active.load()) return;
    // The library's own state lives to the end: no leak of the program's.
    TLeakTrackingPause untracked;
    st.Modules = std::make_unique<TCrashModulesList>();
    st.Processes = std::make_unique<TCrashProcessesList>();
    // The main program's options count when it carries library data;
    // otherwise the first module that does.  None: stay passive.
    st.MainModule = ModuleHandleByName(MainProgramPathForStartUp());
    auto* main = st.Modules->FindByHandle(st.MainModule);
    st.OptionsModule = main && main->DebugData ? st.MainModule : FirstModuleWithData(*st.Modules);
    if (!st.OptionsModule) {
        st.Modules.reset();
        st.Processes.reset();
        return;
    }
    auto* owner = st.Modules->FindByHandle(st.OptionsModule);
    st.MainOptions = std::make_unique<TCrashModuleOptionsEx>(owner->Name);
    st.MainOptions->Assign(owner->Options.get());
    st.MainOptions->SetOwnerModuleHandle(st.OptionsModule);
    st.Options = st.MainOptions.get();
    CreateSharedOptionsBlock(st.OptionsModule);
    SetCurrentOptionsObject(st.Options);
    st.ReportHandled =
        (st.Options->BehaviourFlags() & behaviour_flags::ReportHandledExceptions) != 0;
    st.StartTime = CurrentTimeStamp ? CurrentTimeStamp() : TCrashTimeStamp{};
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) st.StartFolder = cwd;
    st.Arguments = ReadArguments();

    RegisterCurrentThread(true, "Main");
    // The library's own threads start before the hooks see thread creation.
    pthread_t worker;
    if (pthread_create(&worker, nullptr, &WorkerMain, nullptr) == 0) {
        pthread_detach(worker);
        gWorkerPid = getpid();
    }
    gWatcherStop = false;
    if (pthread_create(&gWatcher, nullptr, &WatcherMain, nullptr) == 0) gWatcherRunning = true;
    InstallHooks();
    TakeReserve();
    st.Active.store(true);
}

void ShutDown() {
    auto& st = S();
    if (!st.Active.load()) return;
    // Waits for a running pass.
    if (LockProcessing(30000)) UnlockProcessing();
    // A send still running uses this library's code.
    WaitForBackgroundSends();
    st.Active.store(false);
    RemoveHooks();
    gWatcherStop = true;
    if (gWatcherRunning.exchange(false)) pthread_join(gWatcher, nullptr);
    if (st.OptionsModule) DeleteSharedOptionsBlock(st.OptionsModule);
}

std::string MainProgramPathForStartUp() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

}  // namespace crashlog::capture

namespace {
__attribute__((constructor)) void CrashLogLoaded() {
    crashlog::capture::StartUp();
}
__attribute__((destructor)) void CrashLogUnloaded() {
    // The program's own finalisers have all run by now: its static objects
    // and exit handlers, then the libraries loaded after this one.  The leak
    // checker reports here, before the shut-down below and before this
    // library's own static objects go, so the pass still has its options,
    // lists, hooks and helpers.
    crashlog::leaks::ReportAtExit();
    crashlog::capture::ShutDown();
}
}  // namespace

// ---- public API -----------------------------------------------------------------------------

using namespace crashlog::capture;

namespace crashlog {

using namespace capture;

bool CrashLogActive() {
    return Active();
}

void SetHandlingEnabled(bool enabled) {
    S().Handling.store(enabled);
}

bool HandlingEnabled() {
    return Handling();
}

TCrashModuleOptionsEx* CurrentCrashLogOptions() {
    return Active() ? S().Options : nullptr;
}

std::string LastBugReport() {
    return S().ReportText;
}

int ErrorCount() {
    return S().ErrorCount;
}

TCrashLogErrorCode LastWarningCode() {
    std::lock_guard lock(S().WarningLock);
    return S().LastWarning;
}

std::string LastWarningMessage() {
    std::lock_guard lock(S().WarningLock);
    return S().LastWarningMessage;
}

void RegisterReceiver(TCrashLogReceiver* receiver) {
    std::lock_guard lock(S().ReceiversLock);
    S().Receivers.push_back(receiver);
}

void UnregisterReceiver(TCrashLogReceiver* receiver) {
    std::lock_guard lock(S().ReceiversLock);
    std::erase(S().Receivers, receiver);
}

bool HandleCurrentException(int origin) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) return true;
    std::exception_ptr current = std::current_exception();
    void* object = *reinterpret_cast<void**>(&current);
    return ExceptionManager(object, nullptr, origin, 0);
}

void SetShowInternalErrors(bool show) {
    S().ShowInternalErrors = show;
}

void SetPassStallTimeout(int milliseconds) {
    S().StallTimeoutMs = milliseconds;
}

}  // namespace crashlog

extern "C" {

bool ExceptionManager(void* exceptionObject, const void* codeAddress, int origin,
                      std::uintptr_t module) {
    auto& st = S();
    if (!Active()) return true;
    if (!Handling()) return true;
    auto& snap = Snapshot();
    // A thrown object is known by what the raise notification recorded.
    void* object = exceptionObject;
    const std::type_info* type = nullptr;
    if (object && object == snap.Object) type = snap.Type;
    if (!type) {
        const std::type_info* current = abi::__cxa_current_exception_type();
        if (current && object) type = current;
    }
    if (!type && snap.Object) {
        object = snap.Object;
        type = snap.Type;
    }
    if (!type) return true;
    ExceptionInfo e = DescribeThrown(object, type);
    if (ClassMatches(e, "EAbort")) return true;
    e.Address =
        codeAddress ? uintptr_t(codeAddress) : (object == snap.Object ? LastRaiseAddress() : 0);
    st.LastWasLanguage = true;
    crashlog::TExceptNotifyParams params;
    // A caught exception handed over by a framework handler: the program's
    // own catch block took it.
    params.IsHandled =
        origin == crashlog::coFramework && abi::__cxa_current_exception_type() != nullptr;
    uintptr_t low, high;
    StackBounds(low, high);
    params.StackTop = high;
    params.StackStart =
        snap.RaiseStackPointer ? snap.RaiseStackPointer : uintptr_t(__builtin_frame_address(0));
    return Dispatch(e, params, 0, origin, module, nullptr);
}

bool CrashLog_LastDelphiException() {
    return S().LastWasLanguage;
}

void CrashLog_ExceptionNotifyEvent(const crashlog::TCrashExceptionRecord* record, bool* handle) {
    if (!record || !handle) return;
    auto receivers = ReceiversCopy();
    for (auto it = receivers.rbegin(); it != receivers.rend(); ++it)
        (*it)->ExceptionNotify(*record, *handle);
    if (crashlog::ExceptionNotifyHandler) crashlog::ExceptionNotifyHandler(*record, *handle);
}

void CrashLog_HandledExceptionNotifyEvent(const crashlog::TCrashExceptionRecord* record,
                                          bool* handle) {
    if (!record || !handle) return;
    auto receivers = ReceiversCopy();
    for (auto it = receivers.rbegin(); it != receivers.rend(); ++it)
        (*it)->HandledExceptionNotify(*record, *handle);
    if (crashlog::HandledExceptionNotifyHandler)
        crashlog::HandledExceptionNotifyHandler(*record, *handle);
}

void CrashLog_ExceptionActionNotifyEvent(const crashlog::TCrashExceptionRecord* record, int action,
                                         bool* execute) {
    if (!record || !execute) return;
    auto receivers = ReceiversCopy();
    for (auto it = receivers.rbegin(); it != receivers.rend(); ++it)
        (*it)->ActionNotify(*record, action, *execute);
    if (crashlog::ActionNotifyHandler) crashlog::ActionNotifyHandler(*record, action, *execute);
}

void CrashLog_ExceptionErrorNotifyEvent(const crashlog::TCrashExceptionRecord* record, int action,
                                        bool* retry) {
    if (!record || !retry) return;
    auto receivers = ReceiversCopy();
    for (auto it = receivers.rbegin(); it != receivers.rend(); ++it)
        (*it)->ErrorNotify(*record, action, *retry);
    if (crashlog::ErrorNotifyHandler) crashlog::ErrorNotifyHandler(*record, action, *retry);
}

void CrashLog_SetHeartbeatPoster(void (*post)(void* context), void* context) {
    gPosterContext = context;
    gPoster = post;
}

void CrashLog_Heartbeat() {
    gAnswer.store(gProbe.load());
}

}  // extern "C"
