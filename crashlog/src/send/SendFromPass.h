// The processing pass's way into the delivery: one call after the report is
// in the log file.
#pragma once

#include "crashlog/CrashSend.h"

namespace crashlog {

class TCrashModuleOptions;

// Sends the record's report as the options configure it (nothing when
// neither e-mail nor web delivery is set), with the pass's action, error
// and warning hooks; the attached-files and custom-fields requests and the
// progress window are filled in here.
TSendResult SendFromPass(const TCrashExceptionRecord& record, const TCrashModuleOptions& options,
                         std::uint16_t reportId,
                         std::function<void(int action, bool& execute)> action,
                         std::function<void(int action, bool& retry)> error,
                         std::function<void(TCrashLogErrorCode, const std::string&)> warning);

}  // namespace crashlog
