// The records that describe one exception to the processing pass, to the
// notification events and to the report and delivery steps, plus the thread
// registry's entry and the warning codes.
//
// An "exception" here is either a C++ object in flight (RaisedObject and
// RaisedType set) or a fault signal (OsRecord set, no object); both carry a
// class name and a message so that filters, reports and events need not
// care which.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "crashlog/CrashReport.h"

namespace crashlog {

// A failure that a pass survives, recorded as the last warning.
enum class TCrashLogErrorCode : std::uint8_t {
    ceNone,
    ceShowError,
    ceLogError,
    ceEmailMAPIError,
    ceEmailShellError,
    ceEmailSMTPError,
    ceWebHTTPError,
    ceWebHTTPSError,
    ceWebFTPError,
    ceWebTrakerError,
};
// "ceNone" ... "ceWebTrakerError".
const char* ErrorCodeName(TCrashLogErrorCode code);

// The first argument of the action and error notification events.
enum ReportAction : int {
    raBeforeDialog = 0,
    raAfterDialog = 1,
    raBeforeSaveLog = 2,
    raAfterSaveLog = 3,
    raBeforeSendEmail = 4,
    raAfterSendEmail = 5,
    raBeforeSendWeb = 6,
    raAfterSendWeb = 7,
    raBeforeTerminate = 8,
};

// Where an exception was handed over: 0 run-time or thread, 1 the
// framework's default handler, 2 a web or application-server hook.
enum TCrashOrigin : int { coRuntime = 0, coFramework = 1, coServer = 2 };

// What the OS said about a fault signal.
struct TCrashOsRecord {
    int Signal = 0;
    int Code = 0;  // si_code
    std::uintptr_t FaultAddress = 0;
    bool Write = false;  // the access was a write (page faults only)
};

class TCrashModulesList;
class TCrashModuleOptionsEx;
class TCrashStackList;

// Handed to every event and to the delivery steps; copied by value.  The
// pointers stay valid for the duration of the pass only.
struct TCrashExceptionRecord {
    void* RaisedObject = nullptr;  // the thrown object; null for a signal
    const std::type_info* RaisedType = nullptr;
    std::string ClassName;  // the object's class, or the fault's class
    std::string Message;
    std::uintptr_t RaiseAddress = 0;
    std::uint64_t RaiseThreadId = 0;
    TCrashStackList* Stack = nullptr;
    TCrashModuleOptionsEx* Options = nullptr;
    const TCrashOsRecord* OsRecord = nullptr;
    const TCrashCpuContext* OsContext = nullptr;
    std::string Report;
    TCrashModulesList* Modules = nullptr;
    bool IsHandled = false;
};

// Carried from the entry point to the pass.
struct TExceptNotifyParams {
    bool IsHandled = false;
    const TCrashCpuContext* OsContext = nullptr;
    const TCrashOsRecord* OsRecord = nullptr;
    const TCrashStackList* PresetStack = nullptr;
    std::uintptr_t StackTop = 0;
    std::uintptr_t StackStart = 0;
    std::uint64_t SourceThreadId = 0;
    std::string FocusClass;
    std::string FocusText;
};

// One registered thread.
struct ThreadEntry {
    std::uint64_t ThreadId = 0;  // the kernel's thread id
    pthread_t Handle{};
    std::uint64_t CreatorId = 0;
    std::int32_t Priority = kUnreadThreadPriority;
    std::uintptr_t StackTop = 0;     // recorded when the thread starts running
    std::uintptr_t StackBottom = 0;  // lowest address of its stack
    void* (*StartRoutine)(void*) = nullptr;
    void* StartParameter = nullptr;
    // The creator's stack from its stack pointer up, taken at creation.
    std::vector<std::uint8_t> CreatorStack;
    bool Resumed = false;
    bool IsMain = false;
    std::string Name;
};

// Raised by the frozen-application watcher.
class EFrozenApplication : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Passes through the library's own guards untouched.
class EIgnoreException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace crashlog
