// The pieces of the report that live in units of their own.
#pragma once

#include <string>

#include "crashlog/CrashReport.h"

namespace crashlog::report {

// Reads the input's memory: its snapshots first, then (when allowed) this
// process through the fault-free reader.
class TReportMemory {
  public:
    explicit TReportMemory(const TCrashReportInput& input) : input_(input) {}
    bool Read(std::uintptr_t address, void* out, std::size_t size) const;
    bool Readable(std::uintptr_t address, std::size_t size) const;

  private:
    const TCrashReportInput& input_;
};

// Options text `index` (empty options: a fresh options object's).
std::string Text(const TCrashModuleOptions& options, int index);

// Title + ":" + CR LF + a rule of (title length + 1) hyphens + CR LF + CR LF.
std::string EmptySection(const std::string& title);

// Assembler title and listing; both empty when the exception address is not
// readable.
void BuildAssembler(const TCrashReportInput& input, const TCrashModuleOptions& options,
                    std::string& title, std::string& listing);
std::string BuildCpuPart(const TCrashReportInput& input, const TCrashModuleOptions& options);

}  // namespace crashlog::report
