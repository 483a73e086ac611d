// Start here: the crash library's entry points for a program.
//
// A program needs nothing but to link the library and carry library data
// (the build stores it): start-up runs when the library is loaded and
// catches every way a thread can die (an uncaught C++ exception,
// std::terminate, SIGSEGV/SIGBUS/SIGILL/SIGFPE/SIGABRT/SIGTRAP, a stack
// overflow) and hands it to `ExceptionManager`, which runs one processing
// pass: options, filters, call stacks of every registered thread, the bug
// report, the notification events, the display and finally terminate or
// restart.  A process none of whose modules carries library data keeps the
// library passive: every hook then passes straight through.
//
// A framework that catches what its event handlers let out (Qt's notify())
// hands the caught exception over with `HandleCurrentException`.
//
// Thread-safety: every function may be called from any thread.  One pass
// runs at a time; an exception on another thread waits for it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crashlog/CrashTypes.h"

extern "C" {

// The single entry point.  `exceptionObject` is a thrown C++ object (the
// one last raised on this thread when null or unknown), `codeAddress` where
// it was raised, `origin` a TCrashOrigin, `module` the caller's module
// handle (0: take it from the address).  True: the default handling is to
// run as well; false: the library dealt with it.
bool ExceptionManager(void* exceptionObject, const void* codeAddress, int origin,
                      std::uintptr_t module);

// Whether the last exception seen by the library was raised by program code
// (a throw) rather than an OS fault.
bool CrashLog_LastDelphiException();

// Thread bookkeeping for threads the library did not see being created
// (started by other means): register the calling thread, or drop it.
void CrashLog_CallCreateThread(const crashlog::ThreadEntry* entry);
void CrashLog_CallExitThread();

// The notification events with the caller's record installed.
void CrashLog_ExceptionNotifyEvent(const crashlog::TCrashExceptionRecord* record, bool* handle);
void CrashLog_HandledExceptionNotifyEvent(const crashlog::TCrashExceptionRecord* record,
                                          bool* handle);
void CrashLog_ExceptionActionNotifyEvent(const crashlog::TCrashExceptionRecord* record, int action,
                                         bool* execute);
void CrashLog_ExceptionErrorNotifyEvent(const crashlog::TCrashExceptionRecord* record, int action,
                                        bool* retry);

// Frozen-application watcher: the program posts a probe into its event
// loop with `post(context)`; the loop answers with CrashLog_Heartbeat().
// Without a poster the watcher does not run.
void CrashLog_SetHeartbeatPoster(void (*post)(void* context), void* context);
void CrashLog_Heartbeat();
}

namespace crashlog {

// ---- state ---------------------------------------------------------------------

// True once start-up found library data and installed the hooks.
bool CrashLogActive();
// The handling switch; true from start-up on.
void SetHandlingEnabled(bool enabled);
bool HandlingEnabled();
// The options in force for the current or last pass (the main program's
// between passes); null while passive.
TCrashModuleOptionsEx* CurrentCrashLogOptions();
// The text of the last bug report; empty before the first.
std::string LastBugReport();
// Number of passes that reached the reporting stage.
int ErrorCount();
// The last warning of a pass, or of a send it left running in the
// background (ceNone when the last step succeeded).
TCrashLogErrorCode LastWarningCode();
std::string LastWarningMessage();

// Hands the exception being handled in the current catch block to
// ExceptionManager.  Returns ExceptionManager's answer; true also when no
// exception is being handled.
bool HandleCurrentException(int origin = coFramework);

// Internal errors (a fault or an exception inside a pass) are shown in full
// only to a developer: with a debugger attached, or after this call.
void SetShowInternalErrors(bool show);
// How long a pass may go without progress before the waiting thread gives
// it up and writes the minimal report (default 5000 ms).
void SetPassStallTimeout(int milliseconds);

// ---- notification events ---------------------------------------------------------
//
// Events run on the thread that raised the exception, in this order: the
// registered receivers from the last registered to the first, then the
// global handler.  A handler may clear `handle` (the pass becomes the default
// handling), clear `execute` (skip the announced action) or set `retry`.

using TExceptionNotify = std::function<void(const TCrashExceptionRecord&, bool& handle)>;
using TActionNotify = std::function<void(const TCrashExceptionRecord&, int action, bool& execute)>;
using TErrorNotify = std::function<void(const TCrashExceptionRecord&, int action, bool& retry)>;
using TListRequest =
    std::function<void(const TCrashExceptionRecord&, std::vector<std::string>& lines)>;

extern TExceptionNotify ExceptionNotifyHandler;
extern TExceptionNotify HandledExceptionNotifyHandler;
extern TActionNotify ActionNotifyHandler;
extern TErrorNotify ErrorNotifyHandler;
extern TListRequest CustomDataRequestHandler;
extern TListRequest AttachedFilesRequestHandler;
extern TListRequest CustomWebFieldsRequestHandler;

// An object that receives the events; register it for its lifetime.
class TCrashLogReceiver {
  public:
    virtual ~TCrashLogReceiver();
    virtual void ExceptionNotify(const TCrashExceptionRecord&, bool& /*handle*/) {}
    virtual void HandledExceptionNotify(const TCrashExceptionRecord&, bool& /*handle*/) {}
    virtual void ActionNotify(const TCrashExceptionRecord&, int /*action*/, bool& /*execute*/) {}
    virtual void ErrorNotify(const TCrashExceptionRecord&, int /*action*/, bool& /*retry*/) {}
    virtual void CustomDataRequest(const TCrashExceptionRecord&, std::vector<std::string>&) {}
};
void RegisterReceiver(TCrashLogReceiver* receiver);
void UnregisterReceiver(TCrashLogReceiver* receiver);

// ---- the duplicate ID --------------------------------------------------------------

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
std::uint16_t Crc16Xmodem(std::string_view text);

}  // namespace crashlog
