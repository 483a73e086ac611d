// The report written when the full pass cannot run: only write(2), the
// kernel's memory reader and fixed buffers, so it works with the allocator's
// lock held, inside a signal handler, or with a corrupted heap.  Addresses
// are left unresolved: names need the debug data, which needs the heap.
#include <unistd.h>

#include "capture/CaptureInternal.h"

namespace crashlog::capture {

namespace {

constexpr int kOut = 1;
constexpr int kDigits = int(sizeof(void*) * 2);

void Register(const char* name, uint64_t value) {
    SafeWrite(kOut, name);
    SafeWrite(kOut, ": ");
    SafeWriteHex(kOut, value, 16);
}

}  // namespace

void WriteMinimalReport(const char* reason, const char* className, uintptr_t address,
                        const TCrashCpuContext* ctx, uintptr_t stackStart, uintptr_t stackTop) {
    SafeWrite(kOut, "\r\nCrashLog 6.0.20 - minimal report (");
    SafeWrite(kOut, reason);
    SafeWrite(kOut, ")\r\n\r\nException : ");
    SafeWrite(kOut, className ? className : "Unknown exception type");
    SafeWrite(kOut, "\r\nAddress   : ");
    SafeWriteHex(kOut, address, kDigits);
    SafeWrite(kOut, "\r\nProcess   : ");
    SafeWriteDec(kOut, uint64_t(getpid()));
    SafeWrite(kOut, "\r\nThread    : ");
    SafeWriteDec(kOut, CurrentThreadId());
    SafeWrite(kOut, "\r\n");
    if (ctx && ctx->Valid) {
        SafeWrite(kOut, "\r\nRegisters:\r\n");
        Register("RAX", ctx->Rax);
        SafeWrite(kOut, "   ");
        Register("RDI", ctx->Rdi);
        SafeWrite(kOut, "\r\n");
        Register("RBX", ctx->Rbx);
        SafeWrite(kOut, "   ");
        Register("RSI", ctx->Rsi);
        SafeWrite(kOut, "\r\n");
        Register("RCX", ctx->Rcx);
        SafeWrite(kOut, "   ");
        Register("RSP", ctx->Rsp);
        SafeWrite(kOut, "\r\n");
        Register("RDX", ctx->Rdx);
        SafeWrite(kOut, "   ");
        Register("RIP", ctx->Rip);
        SafeWrite(kOut, "\r\n");
    }
    SafeWrite(kOut, "\r\nCall Stack (return addresses):\r\n");
    if (stackStart && stackTop > stackStart) {
        uintptr_t end = stackTop;
        if (end - stackStart > kRaiseStackCopySize) end = stackStart + kRaiseStackCopySize;
        int shown = 0;
        for (uintptr_t at = (stackStart + 7) & ~uintptr_t(7); at + 8 <= end && shown < 64;
             at += 8) {
            uintptr_t word;
            if (!ReadMemory(at, &word, sizeof word)) continue;
            if (word < 0x10000) continue;
            uintptr_t target = 0;
            const uintptr_t call = FindCallBefore(word, &target);
            if (!call) continue;
            SafeWrite(kOut, "  ");
            SafeWriteHex(kOut, call, kDigits);
            SafeWrite(kOut, "\r\n");
            ++shown;
        }
    }
    SafeWrite(kOut, "\r\n");
}

}  // namespace crashlog::capture
