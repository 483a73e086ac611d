// The processing pass's way into the delivery: one call after the report is
// in the log file.
#pragma once

#include "crashlog/CrashSend.h"

namespace crashlog {

class TCrashModuleOptions;

// Sends the record's report as the options configure it (nothing when
// neither e-mail nor web delivery is set), with the pass's action, error
// and warning hooks; the attached-files and custom-fields requests, the
// progress window, the result box and the clipboard copy of a failed send
// are filled in here.
//
// With `SendInBackground` set the send goes on in a `TSendThread` and this
// returns at once (`background` set in the result), unless the pass runs
// directly on the thread that raised (the record's thread is the calling
// one): then nothing waits for the pass to return and the send stays in
// line.  The thread works on its own copies of the record, the options and
// the captured screen, since the pass releases its own when it returns: the
// copy of the record has no exception object (its class and message stay),
// no modules list and no module pointers in its stack entries.  The pass's
// `action` and `error` hooks are not used then: the events go to the
// receivers and handlers with that copy, on the send thread.  `warning` is
// kept and called from the send thread, so it must not refer to the pass's
// own objects, and must be safe against a pass running meanwhile.  The
// texts the send expands take the values this pass set for the variables
// (`capture::kPassVariables`), as they would in line, not those of a later
// pass.
TSendResult SendFromPass(const TCrashExceptionRecord& record, const TCrashModuleOptions& options,
                         std::uint16_t reportId,
                         std::function<void(int action, bool& execute)> action,
                         std::function<void(int action, bool& retry)> error,
                         std::function<void(TCrashLogErrorCode, const std::string&)> warning);

}  // namespace crashlog
