// The interposed run-time functions: every throw (__cxa_throw), the end of
// every catch block (__cxa_end_catch), thread creation and exit
// (pthread_create, pthread_exit), plus std::terminate and the fault signals.
//
// The library exports these names itself, so for a program that links it
// before the C++ run-time and the C library (the linker's order for any
// program that names the library) every call reaches the hook first; the
// hook then calls the real function found with dlsym(RTLD_NEXT).
#include <cxxabi.h>
#include <dlfcn.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "capture/CaptureInternal.h"

// libgcc's FDE lookup, not declared by <unwind.h>.
struct dwarf_eh_bases {
    void* tbase;
    void* dbase;
    void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, dwarf_eh_bases* bases);

namespace crashlog::capture {
namespace {

// ---- the real functions ---------------------------------------------------------

using CxaThrowFn = void (*)(void*, std::type_info*, void (*)(void*));
using CxaEndCatchFn = void (*)();
using PthreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using PthreadExitFn = void (*)(void*);

template <typename Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

CxaThrowFn RealThrow() {
    static CxaThrowFn fn = Next<CxaThrowFn>("__cxa_throw");
    return fn;
}
CxaEndCatchFn RealEndCatch() {
    static CxaEndCatchFn fn = Next<CxaEndCatchFn>("__cxa_end_catch");
    return fn;
}
PthreadCreateFn RealPthreadCreate() {
    static PthreadCreateFn fn = Next<PthreadCreateFn>("pthread_create");
    return fn;
}
PthreadExitFn RealPthreadExit() {
    static PthreadExitFn fn = Next<PthreadExitFn>("pthread_exit");
    return fn;
}

}  // namespace

// ---- per-thread state -------------------------------------------------------------

namespace {
CRASHLOG_TLS RaiseSnapshot tSnapshot;
CRASHLOG_TLS Decision tLastDecision = Decision::Handled;
}  // namespace

RaiseSnapshot& Snapshot() {
    return tSnapshot;
}

uint64_t CurrentThreadId() {
    auto& s = tSnapshot;
    if (!s.Tid) s.Tid = uint64_t(syscall(SYS_gettid));
    return s.Tid;
}

void StackBounds(uintptr_t& low, uintptr_t& high) {
    auto& s = tSnapshot;
    if (!s.StackHigh) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
                s.StackLow = uintptr_t(addr);
                s.StackHigh = uintptr_t(addr) + size;
            }
            pthread_attr_destroy(&attr);
        }
    }
    low = s.StackLow;
    high = s.StackHigh;
}

Decision LastDecision() {
    return tLastDecision;
}

uintptr_t LastRaiseAddress() {
    const auto& s = tSnapshot;
    if (!s.ReturnAddress) return s.Address;
    uintptr_t target = 0;
    const uintptr_t call = FindCallBefore(s.ReturnAddress, &target);
    return call ? call : s.Address;
}

// ---- async-signal-safe helpers -------------------------------------------------------

void SafeWrite(int fd, const char* text) {
    size_t n = strlen(text);
    while (n) {
        ssize_t w = write(fd, text, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        text += w;
        n -= size_t(w);
    }
}

void SafeWriteHex(int fd, uint64_t value, int digits) {
    char buf[17];
    if (digits > 16) digits = 16;
    for (int i = digits - 1; i >= 0; --i) {
        buf[i] = "0123456789ABCDEF"[value & 15];
        value >>= 4;
    }
    buf[digits] = 0;
    SafeWrite(fd, buf);
}

void SafeWriteDec(int fd, uint64_t value) {
    char buf[21];
    int i = 20;
    buf[i] = 0;
    do {
        buf[--i] = char('0' + value % 10);
        value /= 10;
    } while (value);
    SafeWrite(fd, buf + i);
}

void FutexWait(std::atomic<int>& word, int expected, int timeoutMs) {
    timespec ts{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, &ts, nullptr,
            0);
}

void FutexWakeAll(std::atomic<int>& word) {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
            nullptr, 0);
}

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

void ContextFromUcontext(const ucontext_t* uc, TCrashCpuContext& c) {
    const greg_t* g = uc->uc_mcontext.gregs;
    c.Valid = true;
    c.Rax = uint64_t(g[REG_RAX]);
    c.Rbx = uint64_t(g[REG_RBX]);
    c.Rcx = uint64_t(g[REG_RCX]);
    c.Rdx = uint64_t(g[REG_RDX]);
    c.Rsi = uint64_t(g[REG_RSI]);
    c.Rdi = uint64_t(g[REG_RDI]);
    c.Rbp = uint64_t(g[REG_RBP]);
    c.Rsp = uint64_t(g[REG_RSP]);
    c.R8 = uint64_t(g[REG_R8]);
    c.R9 = uint64_t(g[REG_R9]);
    c.R10 = uint64_t(g[REG_R10]);
    c.R11 = uint64_t(g[REG_R11]);
    c.R12 = uint64_t(g[REG_R12]);
    c.R13 = uint64_t(g[REG_R13]);
    c.R14 = uint64_t(g[REG_R14]);
    c.R15 = uint64_t(g[REG_R15]);
    c.Rip = uint64_t(g[REG_RIP]);
    c.Eflags = uint64_t(g[REG_EFL]);
    const uint64_t csgsfs = uint64_t(g[REG_CSGSFS]);
    c.Cs = uint16_t(csgsfs);
    c.Gs = uint16_t(csgsfs >> 16);
    c.Fs = uint16_t(csgsfs >> 32);
}

// ---- the handler analysis --------------------------------------------------------

namespace {

uintptr_t ReadUleb(const uint8_t*& p) {
    uintptr_t result = 0;
    unsigned shift = 0;
    uint8_t byte;
    do {
        byte = *p++;
        if (shift < 64) result |= uintptr_t(byte & 0x7F) << shift;
        shift += 7;
    } while (byte & 0x80);
    return result;
}

intptr_t ReadSleb(const uint8_t*& p) {
    uintptr_t result = 0;
    unsigned shift = 0;
    uint8_t byte;
    do {
        byte = *p++;
        if (shift < 64) result |= uintptr_t(byte & 0x7F) << shift;
        shift += 7;
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) result |= ~uintptr_t(0) << shift;
    return intptr_t(result);
}

constexpr uint8_t kOmit = 0xFF;

size_t EncodedSize(uint8_t enc) {
    switch (enc & 0x0F) {
        case 0x00:
            return sizeof(void*);
        case 0x02:
        case 0x0A:
            return 2;
        case 0x03:
        case 0x0B:
            return 4;
        case 0x04:
        case 0x0C:
            return 8;
        default:
            return 0;
    }
}

// Reads one DWARF exception-handling pointer.  False for an encoding that
// this reader does not know (the frame is then taken as catching nothing).
bool ReadEncoded(const uint8_t*& p, uint8_t enc, uintptr_t& out) {
    if (enc == kOmit) {
        out = 0;
        return true;
    }
    const uint8_t* start = p;
    uintptr_t v = 0;
    switch (enc & 0x0F) {
        case 0x00:
            memcpy(&v, p, 8);
            p += 8;
            break;
        case 0x01:
            v = ReadUleb(p);
            break;
        case 0x02: {
            uint16_t x;
            memcpy(&x, p, 2);
            p += 2;
            v = x;
            break;
        }
        case 0x03: {
            uint32_t x;
            memcpy(&x, p, 4);
            p += 4;
            v = x;
            break;
        }
        case 0x04:
            memcpy(&v, p, 8);
            p += 8;
            break;
        case 0x09:
            v = uintptr_t(ReadSleb(p));
            break;
        case 0x0A: {
            int16_t x;
            memcpy(&x, p, 2);
            p += 2;
            v = uintptr_t(intptr_t(x));
            break;
        }
        case 0x0B: {
            int32_t x;
            memcpy(&x, p, 4);
            p += 4;
            v = uintptr_t(intptr_t(x));
            break;
        }
        case 0x0C:
            memcpy(&v, p, 8);
            p += 8;
            break;
        default:
            return false;
    }
    if (v != 0) {
        switch (enc & 0x70) {
            case 0x00:
                break;
            case 0x10:
                v += uintptr_t(start);
                break;
            default:
                return false;
        }
        if (enc & 0x80) memcpy(&v, reinterpret_cast<const void*>(v), sizeof v);
    }
    out = v;
    return true;
}

// The personality routine named by the frame's CIE, or 0 when none.
uintptr_t FramePersonality(uintptr_t pc) {
    dwarf_eh_bases bases{};
    const uint8_t* fde =
        static_cast<const uint8_t*>(_Unwind_Find_FDE(reinterpret_cast<void*>(pc), &bases));
    if (!fde) return 0;
    uint32_t cieOffset;
    memcpy(&cieOffset, fde + 4, 4);
    const uint8_t* cie = fde + 4 - cieOffset;
    const uint8_t* p = cie + 8;
    const uint8_t version = *p++;
    const char* aug = reinterpret_cast<const char*>(p);
    p += strlen(aug) + 1;
    if (aug[0] != 'z') return 0;
    ReadUleb(p);  // code alignment
    ReadSleb(p);  // data alignment
    if (version == 1)
        ++p;
    else
        ReadUleb(p);
    ReadUleb(p);  // augmentation length
    for (const char* a = aug + 1; *a; ++a) {
        if (*a == 'P') {
            uint8_t enc = *p++;
            uintptr_t personality = 0;
            if (!ReadEncoded(p, enc, personality)) return 0;
            return personality;
        }
        if (*a == 'L' || *a == 'R')
            ++p;
        else
            return 0;
    }
    return 0;
}

uintptr_t CxxPersonality() {
    static uintptr_t address = uintptr_t(dlsym(RTLD_DEFAULT, "__gxx_personality_v0"));
    return address;
}

bool TypeCatches(const std::type_info* catchType, const std::type_info* thrown, void* object) {
    if (!catchType) return true;  // catch (...)
    void* adjusted = object;
    if (thrown->__is_pointer_p() && object) adjusted = *static_cast<void**>(object);
    return catchType->__do_catch(thrown, &adjusted, 1);
}

enum class FrameAnswer { None, Catches, Terminates };

// What the exception table of one frame does with the exception.
FrameAnswer AskFrame(const uint8_t* lsda, uintptr_t regionStart, uintptr_t ip,
                     const std::type_info* thrown, void* object, bool cxxFrame) {
    const uint8_t* p = lsda;
    uint8_t lpStartEnc = *p++;
    uintptr_t lpStart = regionStart;
    if (lpStartEnc != kOmit && !ReadEncoded(p, lpStartEnc, lpStart)) return FrameAnswer::None;
    uint8_t ttypeEnc = *p++;
    const uint8_t* ttypeBase = nullptr;
    if (ttypeEnc != kOmit) {
        uintptr_t off = ReadUleb(p);
        ttypeBase = p + off;
    }
    uint8_t csEnc = *p++;
    uintptr_t csLen = ReadUleb(p);
    const uint8_t* csEnd = p + csLen;
    const uint8_t* actions = csEnd;
    while (p < csEnd) {
        uintptr_t start, len, lp;
        if (!ReadEncoded(p, csEnc, start) || !ReadEncoded(p, csEnc, len) ||
            !ReadEncoded(p, csEnc, lp))
            return FrameAnswer::None;
        uintptr_t action = ReadUleb(p);
        if (ip < regionStart + start) break;  // the table is sorted
        if (ip >= regionStart + start + len) continue;
        if (lp == 0 || action == 0) return FrameAnswer::None;  // nothing, or clean-ups only
        const uint8_t* a = actions + action - 1;
        for (;;) {
            intptr_t filter = ReadSleb(a);
            const uint8_t* dispPos = a;
            intptr_t disp = ReadSleb(a);
            if (filter > 0 && !ttypeBase) {
                // Only a catch-all clause can do without a type table.
                return FrameAnswer::Catches;
            } else if (filter > 0) {
                const size_t size = EncodedSize(ttypeEnc);
                if (!size) return FrameAnswer::None;
                const uint8_t* entry = ttypeBase - size_t(filter) * size;
                uintptr_t t = 0;
                if (!ReadEncoded(entry, ttypeEnc, t)) return FrameAnswer::None;
                if (TypeCatches(reinterpret_cast<const std::type_info*>(t), thrown, object))
                    return FrameAnswer::Catches;
            } else if (filter < 0 && ttypeBase) {
                // A dynamic exception specification: a type outside the list
                // ends in std::unexpected, which terminates.
                const uint8_t* list = ttypeBase + (-filter - 1);
                bool listed = false;
                for (uintptr_t index; (index = ReadUleb(list)) != 0;) {
                    const size_t size = EncodedSize(ttypeEnc);
                    const uint8_t* entry = ttypeBase - index * size;
                    uintptr_t t = 0;
                    if (size && ReadEncoded(entry, ttypeEnc, t) &&
                        TypeCatches(reinterpret_cast<const std::type_info*>(t), thrown, object))
                        listed = true;
                }
                if (!listed) return FrameAnswer::Terminates;
            }
            if (disp == 0) break;
            a = dispPos + disp;
        }
        return FrameAnswer::None;
    }
    // A C++ frame whose table does not list the call site may not throw
    // (noexcept, destructors): the run-time terminates there.
    return cxxFrame ? FrameAnswer::Terminates : FrameAnswer::None;
}

struct WalkState {
    const std::type_info* Type;
    void* Object;
    uintptr_t Start;  // the raiser's return address: frames below it are ours
    bool Started = false;
    Decision Result = Decision::NotHandled;
    uintptr_t HandlerCfa = 0;
};

_Unwind_Reason_Code AnalyzeFrame(_Unwind_Context* ctx, void* arg) {
    auto& w = *static_cast<WalkState*>(arg);
    int before = 0;
    uintptr_t ip = _Unwind_GetIPInfo(ctx, &before);
    if (!w.Started) {
        if (ip != w.Start) return _URC_NO_REASON;
        w.Started = true;
    }
    if (ip == 0) return _URC_END_OF_STACK;
    const uint8_t* lsda = static_cast<const uint8_t*>(_Unwind_GetLanguageSpecificData(ctx));
    if (!lsda) return _URC_NO_REASON;
    if (!before) --ip;
    const bool cxx = FramePersonality(ip) == CxxPersonality();
    switch (AskFrame(lsda, _Unwind_GetRegionStart(ctx), ip, w.Type, w.Object, cxx)) {
        case FrameAnswer::Catches:
            w.Result = Decision::Handled;
            w.HandlerCfa = _Unwind_GetCFA(ctx);
            return _URC_END_OF_STACK;
        case FrameAnswer::Terminates:
            w.Result = Decision::Terminate;
            return _URC_END_OF_STACK;
        case FrameAnswer::None:
            break;
    }
    return _URC_NO_REASON;
}

struct CacheEntry {
    const std::type_info* Type;
    uintptr_t Address;
    uintptr_t StackPointer;
    Decision Answer;
    uintptr_t HandlerCfa;
};
std::mutex gCacheLock;
CacheEntry gCache[kDecisionCacheSize];
int gCacheCount = 0;
std::atomic<uint64_t> gCacheHits{0};

}  // namespace

Decision AnalyzeHandlers(const std::type_info* type, void* object, uintptr_t returnAddress,
                         uintptr_t stackPointer, uintptr_t* handlerFrame) {
    uintptr_t ignored;
    if (!handlerFrame) handlerFrame = &ignored;
    *handlerFrame = 0;
    // The same raise site at the same stack depth meets the same handlers:
    // the stack pointer stands in for the chain of frames above it.
    {
        std::lock_guard lock(gCacheLock);
        for (int i = 0; i < gCacheCount; ++i) {
            const auto& e = gCache[i];
            if (e.Type == type && e.Address == returnAddress && e.StackPointer == stackPointer) {
                gCacheHits.fetch_add(1, std::memory_order_relaxed);
                *handlerFrame = e.HandlerCfa;
                return e.Answer;
            }
        }
    }
    WalkState w{type, object, returnAddress};
    _Unwind_Backtrace(&AnalyzeFrame, &w);
    // A walk that never met the raiser's frame learned nothing; assume the
    // program catches rather than report a caught exception as a crash
    // (std::terminate still reports what nothing caught).
    if (!w.Started) return Decision::Handled;
    std::lock_guard lock(gCacheLock);
    if (gCacheCount == kDecisionCacheSize) {
        std::move(gCache + 1, gCache + kDecisionCacheSize, gCache);
        --gCacheCount;
    }
    gCache[gCacheCount++] = {type, returnAddress, stackPointer, w.Result, w.HandlerCfa};
    *handlerFrame = w.HandlerCfa;
    return w.Result;
}

uint64_t DecisionCacheHits() {
    return gCacheHits.load();
}

void ClearDecisionCache() {
    std::lock_guard lock(gCacheLock);
    gCacheCount = 0;
}

// ---- the raise-time stack copy -------------------------------------------------------

namespace {
std::mutex gCopyLock;
uint8_t* gCopyBuffer = nullptr;  // allocated once at start-up
size_t gCopySize = 0;
uintptr_t gCopyStart = 0;
uint64_t gCopyThread = 0;
const void* gCopyObject = nullptr;

void CopyRaiseStack(const void* object, uintptr_t sp, uintptr_t end) {
    uintptr_t low, high;
    StackBounds(low, high);
    if (end && end < high && end > sp) high = end;
    if (!high || sp < low || sp >= high) {
        uintptr_t here = uintptr_t(__builtin_frame_address(0));
        if (high && here >= low && here < high)
            sp = here;
        else
            return;
    }
    size_t n = std::min<size_t>(high - sp, kRaiseStackCopySize);
    std::lock_guard lock(gCopyLock);
    if (!gCopyBuffer) return;
    memcpy(gCopyBuffer, reinterpret_cast<const void*>(sp), n);
    gCopySize = n;
    gCopyStart = sp;
    gCopyThread = CurrentThreadId();
    gCopyObject = object;
}
}  // namespace

bool RaiseStackCopy(uint64_t threadId, const void* object, StackCopy& out) {
    std::lock_guard lock(gCopyLock);
    if (!gCopyBuffer || gCopyThread != threadId || gCopyObject != object || !gCopySize)
        return false;
    out.ThreadId = threadId;
    out.Start = gCopyStart;
    out.Bytes.assign(gCopyBuffer, gCopyBuffer + gCopySize);
    return true;
}

void WalkCopiedStack(TCrashModulesList& modules, TCrashStackList& list,
                     const std::vector<uint8_t>& bytes, uint64_t threadId, bool ownStack) {
    const size_t first = list.Items.size();
    for (size_t i = 0; i + 8 <= bytes.size() && list.Items.size() <= kMaxStackEntries; i += 8) {
        uintptr_t r;
        memcpy(&r, bytes.data() + i, 8);
        if (r < 0x10000) continue;
        uintptr_t target = 0;
        uintptr_t call = FindCallBefore(r, &target);
        if (!call) continue;
        list.Items.push_back(modules.ResolveAddress(call, threadId, false, ownStack));
    }
    CleanUpStack(list, first);
}

// ---- the raise notification --------------------------------------------------------

namespace {

// Classes named EAbort (or deriving from one) end an operation silently and
// are never reported.
bool IsAbortName(const char* mangled) {
    const char* hit = strstr(mangled, "6EAbort");
    return hit && (hit[7] == 0 || hit[7] == 'E');
}

bool IsAbortClassUncached(const std::type_info* type);

// Most programs throw a handful of classes again and again.
CRASHLOG_TLS const std::type_info* tLastChecked = nullptr;
CRASHLOG_TLS bool tLastWasAbort = false;

bool IsAbortClass(const std::type_info* type) {
    if (type != tLastChecked) {
        tLastWasAbort = IsAbortClassUncached(type);
        tLastChecked = type;
    }
    return tLastWasAbort;
}

bool IsAbortClassUncached(const std::type_info* type) {
    for (int depth = 0; type && depth < 32; ++depth) {
        if (IsAbortName(type->name())) return true;
        if (auto* si = dynamic_cast<const abi::__si_class_type_info*>(type)) {
            type = si->__base_type;
        } else if (auto* vmi = dynamic_cast<const abi::__vmi_class_type_info*>(type)) {
            for (unsigned i = 0; i < vmi->__base_count; ++i)
                if (IsAbortClassUncached(vmi->__base_info[i].__base_type)) return true;
            return false;
        } else {
            return false;
        }
    }
    return false;
}

struct ErrnoKeeper {
    int saved = errno;
    ~ErrnoKeeper() { errno = saved; }
};

void NotifyRaise(void* object, std::type_info* type, uintptr_t returnAddress, uintptr_t sp,
                 uintptr_t framePointer) {
    auto& s = tSnapshot;
    if (s.LibraryThread || s.PassRunning || s.DispatchRunning || s.InSignal) return;
    if (s.RaiseRunning.test_and_set()) return;  // a throw inside the notification
    ErrnoKeeper keep;
    s.Object = object;
    s.Type = type;
    // A call through the procedure linkage table is 5 bytes long; the exact
    // instruction is looked up only when a report needs it.
    s.Address = returnAddress - 5;
    s.ReturnAddress = returnAddress;
    tLastDecision = Decision::Handled;
    if (!IsAbortClass(type)) {
        uintptr_t handlerFrame = 0;
        Decision d = AnalyzeHandlers(type, object, returnAddress, sp, &handlerFrame);
        tLastDecision = d;
        CopyRaiseStack(object, sp, handlerFrame);
        if (d != Decision::Handled) {
            s.Address = LastRaiseAddress();
            s.RaiseStackPointer = sp;
            s.Context = {};
            s.Context.Valid = true;
            s.Context.Rax = uint64_t(uintptr_t(object));
            s.Context.Rdx = s.Address;
            s.Context.Rip = s.Address;
            s.Context.Rsp = sp;
            s.Context.Rbp = uint64_t(framePointer);
            s.HasOsRecord = false;
            s.RaiseRunning.clear();
            const bool defaultToo = DispatchUncaughtThrow(object, type, s.Address, sp, d);
            // The library dealt with it: the process ends here, before the
            // unwinder runs destructors over a state nobody will use.
            if (!defaultToo) EndProcessAfterCrash(1);
            return;
        }
    }
    s.RaiseRunning.clear();
}

}  // namespace

}  // namespace crashlog::capture

using namespace crashlog::capture;

// Defined inside the ABI namespace so that the definitions match the
// run-time header's declarations exactly.
namespace __cxxabiv1 {
extern "C" {

// Replaces the run-time's throw: see every raise before the unwinder runs.
__attribute__((visibility("default"), noreturn)) void __cxa_throw(
    void* object, std::type_info* type, void(_GLIBCXX_CDTOR_CALLABI* destroy)(void*)) {
    if (Active() && Handling())
        NotifyRaise(object, type, uintptr_t(__builtin_return_address(0)),
                    uintptr_t(__builtin_frame_address(0)) + 16,
                    *static_cast<uintptr_t*>(__builtin_frame_address(0)));
    RealThrow()(object, type, destroy);
    __builtin_unreachable();
}

// Replaces the run-time's end of a catch block: handled exceptions are
// reported here when the options ask for it.
__attribute__((visibility("default"))) void __cxa_end_catch() {
    if (ReportHandled() && Active() && Handling() && std::uncaught_exceptions() == 0) {
        const std::type_info* type = __cxa_current_exception_type();
        if (type) {
            std::exception_ptr current = std::current_exception();
            void* object = *reinterpret_cast<void**>(&current);
            DispatchHandledAtEndCatch(object, type);
        }
    }
    RealEndCatch()();
}

}  // extern "C"
}  // namespace __cxxabiv1

// ---- threads -----------------------------------------------------------------------------

namespace crashlog::capture {
namespace {

std::shared_mutex gRegistryLock;
std::vector<ThreadEntry>* gRegistry = nullptr;  // created at start-up, never freed
uint64_t gMainThreadId = 0;

constexpr size_t kAltStackSize = 256 * 1024;
CRASHLOG_TLS void* tAltStack = nullptr;

struct ThreadBoot {
    void* (*Start)(void*);
    void* Arg;
    uint64_t Creator;
    std::vector<uint8_t> CreatorStack;
};

void DropAltStack() {
    if (!tAltStack) return;
    stack_t none{};
    none.ss_flags = SS_DISABLE;
    sigaltstack(&none, nullptr);
    munmap(tAltStack, kAltStackSize);
    tAltStack = nullptr;
}

struct ThreadGuard {
    ~ThreadGuard() {
        UnregisterCurrentThread();
        DropAltStack();
    }
};

void* ThreadTrampoline(void* p) {
    ThreadBoot boot = std::move(*static_cast<ThreadBoot*>(p));
    delete static_cast<ThreadBoot*>(p);
    {
        uintptr_t low, high;
        StackBounds(low, high);
        ThreadEntry e;
        e.ThreadId = CurrentThreadId();
        e.Handle = pthread_self();
        e.CreatorId = boot.Creator;
        e.StackTop = high;
        e.StackBottom = low;
        e.StartRoutine = boot.Start;
        e.StartParameter = boot.Arg;
        e.CreatorStack = std::move(boot.CreatorStack);
        e.Resumed = true;
        std::unique_lock lock(gRegistryLock);
        if (gRegistry) gRegistry->push_back(std::move(e));
    }
    InstallAltStack();
    ThreadGuard guard;
    return boot.Start(boot.Arg);
}

std::vector<uint8_t> CopyOwnStack() {
    uintptr_t low, high;
    StackBounds(low, high);
    uintptr_t sp = uintptr_t(__builtin_frame_address(0));
    if (!high || sp < low || sp >= high) return {};
    size_t n = std::min<size_t>(high - sp, kRaiseStackCopySize);
    const auto* from = reinterpret_cast<const uint8_t*>(sp);
    return std::vector<uint8_t>(from, from + n);
}

}  // namespace

void InstallAltStack() {
    if (tAltStack) return;
    void* mem =
        mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return;
    stack_t ss{};
    ss.ss_sp = mem;
    ss.ss_size = kAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(mem, kAltStackSize);
        return;
    }
    tAltStack = mem;
}

void RegisterCurrentThread(bool isMain, std::string name) {
    uintptr_t low, high;
    StackBounds(low, high);
    ThreadEntry e;
    e.ThreadId = CurrentThreadId();
    e.Handle = pthread_self();
    e.StackTop = high;
    e.StackBottom = low;
    e.IsMain = isMain;
    e.Resumed = true;
    e.Name = std::move(name);
    std::unique_lock lock(gRegistryLock);
    if (!gRegistry) gRegistry = new std::vector<ThreadEntry>();
    if (isMain) gMainThreadId = e.ThreadId;
    auto it = std::find_if(gRegistry->begin(), gRegistry->end(),
                           [&](const ThreadEntry& x) { return x.ThreadId == e.ThreadId; });
    if (it != gRegistry->end())
        *it = std::move(e);
    else
        gRegistry->push_back(std::move(e));
}

void UnregisterCurrentThread() {
    const uint64_t tid = CurrentThreadId();
    std::unique_lock lock(gRegistryLock);
    if (!gRegistry) return;
    std::erase_if(*gRegistry, [&](const ThreadEntry& x) { return x.ThreadId == tid; });
}

std::vector<ThreadEntry> RegistrySnapshot() {
    std::shared_lock lock(gRegistryLock);
    return gRegistry ? *gRegistry : std::vector<ThreadEntry>{};
}

uint64_t MainThreadId() {
    return gMainThreadId;
}

void InitRaiseBuffer() {
    std::lock_guard lock(gCopyLock);
    if (!gCopyBuffer) gCopyBuffer = new uint8_t[kRaiseStackCopySize];
}

}  // namespace crashlog::capture

extern "C" {

__attribute__((visibility("default"))) int pthread_create(pthread_t* thread,
                                                          const pthread_attr_t* attr,
                                                          void* (*start)(void*), void* arg) {
    auto real = RealPthreadCreate();
    if (!Active()) return real(thread, attr, start, arg);
    auto* boot = new ThreadBoot{start, arg, CurrentThreadId(), CopyOwnStack()};
    int rc = real(thread, attr, &ThreadTrampoline, boot);
    if (rc != 0) delete boot;
    return rc;
}

__attribute__((visibility("default"), noreturn)) void pthread_exit(void* value) {
    if (Active()) UnregisterCurrentThread();
    RealPthreadExit()(value);
    __builtin_unreachable();
}

void CrashLog_CallCreateThread(const crashlog::ThreadEntry* entry) {
    if (!Active()) return;
    if (entry) {
        std::unique_lock lock(gRegistryLock);
        if (gRegistry) gRegistry->push_back(*entry);
    } else {
        RegisterCurrentThread(false);
    }
}

void CrashLog_CallExitThread() {
    if (Active()) UnregisterCurrentThread();
}

}  // extern "C"

// ---- signals ----------------------------------------------------------------------------

namespace crashlog::capture {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};
struct sigaction gPrevious[std::size(kFaultSignals)];
bool gSignalsInstalled = false;
std::terminate_handler gPreviousTerminate = nullptr;

int CaptureSignal() {
    return SIGRTMAX - 3;
}

bool LooksLikeStackOverflow(const siginfo_t* info, const ucontext_t* uc) {
    if (info->si_signo != SIGSEGV) return false;
    const uintptr_t addr = uintptr_t(info->si_addr);
    const uintptr_t sp = uintptr_t(uc->uc_mcontext.gregs[REG_RSP]);
    const auto& s = tSnapshot;
    if (s.StackHigh) {
        // The guard area lies just below the stack's lowest address.
        if (addr < s.StackLow + 4096 && addr + 1024 * 1024 > s.StackLow) return true;
    }
    // Unknown bounds: a fault just below the stack pointer.
    return addr < sp + 256 && sp - addr < 64 * 1024;
}

void FaultHandler(int sig, siginfo_t* info, void* ucv) {
    ErrnoKeeper keep;
    auto* uc = static_cast<ucontext_t*>(ucv);
    DispatchSignal(sig, info, uc, LooksLikeStackOverflow(info, uc));
    // Default handling: put the system's action back and let the fault (or
    // the signal) happen again.
    for (size_t i = 0; i < std::size(kFaultSignals); ++i)
        if (kFaultSignals[i] == sig) sigaction(sig, &gPrevious[i], nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    if (info->si_code <= 0) raise(sig);  // sent, not a fault: send it again
}

// ---- the capture signal: other threads' registers and stacks --------------

struct CaptureSlot {
    std::atomic<int> State{0};  // 0 free, 1 asked, 2 captured, 3 released
    std::atomic<uint64_t> Tid{0};
    bool Hold = false;
    TCrashCpuContext Context;
    uint8_t* Buffer = nullptr;
    size_t Capacity = 0;
    size_t Size = 0;
    uintptr_t Start = 0;
};
constexpr int kSlots = 64;
CaptureSlot gSlots[kSlots];
std::mutex gCaptureLock;

void CaptureHandler(int, siginfo_t*, void* ucv) {
    ErrnoKeeper keep;
    const uint64_t tid = uint64_t(syscall(SYS_gettid));
    for (auto& slot : gSlots) {
        if (slot.Tid.load() != tid || slot.State.load() != 1) continue;
        auto* uc = static_cast<ucontext_t*>(ucv);
        // A thread that waits in its own fault handler is shown where the
        // fault stopped it, not inside the handler.
        if (tSnapshot.InSignal && tSnapshot.Context.Valid)
            slot.Context = tSnapshot.Context;
        else
            ContextFromUcontext(uc, slot.Context);
        const uintptr_t sp = uintptr_t(slot.Context.Rsp);
        const uintptr_t low = tSnapshot.StackLow, high = tSnapshot.StackHigh;
        slot.Size = 0;
        slot.Start = sp;
        if (slot.Buffer && high > sp && sp >= low) {
            size_t n = std::min<size_t>(high - sp, slot.Capacity);
            if (ReadMemory(sp, slot.Buffer, n)) slot.Size = n;
        }
        const bool hold = slot.Hold;
        slot.State.store(2);
        FutexWakeAll(slot.State);
        if (hold) {
            // Paused for the rest of the pass; a pass that never releases us
            // (it hung) must not keep this thread forever.
            const uint64_t until = MonotonicMs() + 60000;
            while (slot.State.load() == 2 && MonotonicMs() < until)
                FutexWait(slot.State, 2, 100);
            slot.Tid.store(0);
            slot.State.store(0);
        }
        return;
    }
}

CaptureSlot* Ask(uint64_t tid, bool hold, uint8_t* buffer, size_t capacity) {
    for (auto& slot : gSlots) {
        int expected = 0;
        if (!slot.State.compare_exchange_strong(expected, 1)) continue;
        slot.Tid.store(tid);
        slot.Hold = hold;
        slot.Buffer = buffer;
        slot.Capacity = capacity;
        slot.Size = 0;
        slot.Context = {};
        if (syscall(SYS_tgkill, getpid(), pid_t(tid), CaptureSignal()) != 0) {
            slot.Tid.store(0);
            slot.State.store(0);
            return nullptr;
        }
        const uint64_t until = MonotonicMs() + 500;
        while (slot.State.load() == 1 && MonotonicMs() < until)
            FutexWait(slot.State, 1, 20);
        int asked = 1;
        if (slot.State.compare_exchange_strong(asked, 0)) {
            // No answer: the thread is blocked with the signal masked, or gone.
            slot.Tid.store(0);
            return nullptr;
        }
        return &slot;
    }
    return nullptr;
}

}  // namespace

std::vector<ThreadCapture> CaptureThreads(const std::vector<uint64_t>& threadIds) {
    std::lock_guard lock(gCaptureLock);
    std::vector<ThreadCapture> out;
    std::vector<uint8_t> buffer(kRaiseStackCopySize);
    for (uint64_t tid : threadIds) {
        if (tid == CurrentThreadId()) continue;
        NotePassProgress();
        CaptureSlot* slot = Ask(tid, false, buffer.data(), buffer.size());
        if (!slot) continue;
        ThreadCapture c;
        c.ThreadId = tid;
        c.Context = slot->Context;
        c.StackStart = slot->Start;
        c.Stack.assign(buffer.begin(), buffer.begin() + ptrdiff_t(slot->Size));
        slot->Tid.store(0);
        slot->State.store(0);
        out.push_back(std::move(c));
    }
    return out;
}

void PauseThreads(const std::vector<uint64_t>& threadIds) {
    std::lock_guard lock(gCaptureLock);
    for (uint64_t tid : threadIds)
        if (tid != CurrentThreadId()) Ask(tid, true, nullptr, 0);
}

void ReleaseThreads() {
    for (auto& slot : gSlots) {
        if (slot.Hold && slot.State.load() == 2) {
            slot.Hold = false;
            slot.State.store(3);
            FutexWakeAll(slot.State);
        }
    }
}

void InstallHooks() {
    InitRaiseBuffer();
    // Resolve the real functions while nothing is broken yet.
    RealThrow();
    RealEndCatch();
    RealPthreadCreate();
    RealPthreadExit();
    CxxPersonality();
    InstallAltStack();

    struct sigaction sa {};
    sa.sa_sigaction = &FaultHandler;
    // SA_NODEFER: a fault inside an event handler that runs within the fault
    // handler must reach the handler again (a blocked fault signal kills).
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < std::size(kFaultSignals); ++i)
        sigaction(kFaultSignals[i], &sa, &gPrevious[i]);
    struct sigaction cap {};
    cap.sa_sigaction = &CaptureHandler;
    cap.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&cap.sa_mask);
    sigaction(CaptureSignal(), &cap, nullptr);
    gSignalsInstalled = true;
    gPreviousTerminate = std::set_terminate(&TerminateHandler);
    // A program that reaches the library only through another library may
    // find the run-time's throw first; std::terminate still reports what
    // nothing catches, but without the raise-time analysis.
    if (dlsym(RTLD_DEFAULT, "__cxa_throw") != reinterpret_cast<void*>(&__cxxabiv1::__cxa_throw))
        SafeWrite(2,
                  "CrashLog: throws are not seen at raise time; link the crash library "
                  "before the C++ run-time\n");
}

void RemoveHooks() {
    if (!gSignalsInstalled) return;
    for (size_t i = 0; i < std::size(kFaultSignals); ++i)
        sigaction(kFaultSignals[i], &gPrevious[i], nullptr);
    std::set_terminate(gPreviousTerminate);
    gSignalsInstalled = false;
}

std::terminate_handler PreviousTerminateHandler() {
    return gPreviousTerminate;
}

}  // namespace crashlog::capture
