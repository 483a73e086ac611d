// The bug report: one plain text (CR LF line breaks) built once per
// processing pass from the exception, its call stacks, the modules and
// processes and a snapshot of the machine, plus the renderings the dialogs
// and web applications show.
//
// Start here: fill a `TCrashReportInput` (plain data; the pass fills it from
// the live process, tests fill it by hand) and call `BuildBugReport`, or
// `TCrashBugReport::Build` when the pieces are needed one by one (the
// dialogs' pages, the log store, the added sections, the e-mail address).
// `GatherSystemValues` reads the machine's values from Linux's own sources.
//
// Nothing here keeps global state: a pass may build a report on its worker
// thread after a crash (allocation is fine there).  Memory of the crashed
// process is read only through the input's memory snapshots or the library's
// fault-free reader, never by dereferencing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "crashlog/CrashDebug.h"
#include "crashlog/CrashOptions.h"

namespace crashlog {

// The first line of every report; the log store reads the library version
// from it.
inline constexpr std::string_view kReportFirstLine = "CrashLog 6.0.20";

// Addresses are written with as many hex digits as a pointer has.
inline constexpr int kAddressDigits = int(sizeof(void*) * 2);

// ---- time ---------------------------------------------------------------------

// One instant: seconds since 1970 (UTC) and the local offset in force then.
struct TCrashTimeStamp {
    std::int64_t UnixSeconds = 0;
    std::int32_t UtcOffsetSeconds = 0;
};

// Now, with the C library's local offset.
TCrashTimeStamp CurrentTimeStamp();

// "Thu, 10 Dec 2026 14:05:09 +0100".
std::string FormatReportDate(const TCrashTimeStamp& stamp);
// Whole hours of the offset, rounded: "+0100", "-0500", "+0000".
std::string FormatUtcZone(std::int32_t utcOffsetSeconds);
// "1 hour, 2 minutes, 0 second"; negative spans count as 0.
std::string FormatDuration(std::int64_t seconds);
// Bytes / 1,048,576, rounded, + " Mb".
std::string FormatMemoryMb(std::uint64_t bytes);
// Bytes / 2^30 with at most two decimals and no trailing zeros, + " Gb".
std::string FormatDiskGb(std::uint64_t bytes);
// Each of the four parts padded to three digits: "010.000.000.001".  The
// address is in host order (10.0.0.1 is 0x0A000001); 0 is "000.000.000.000".
std::string FormatIpAddress(std::uint32_t address);

// ---- system values --------------------------------------------------------------

// The general part's machine items, each already in the report's format.
// An item whose information does not exist on this system stays empty.
struct TCrashSystemValues {
    // section 3
    std::string UserId;      // login name (at most 255 characters)
    std::string UserName;    // the user's full name
    std::string Company;     // no source on Linux: empty
    std::string Privileges;  // one line per capability: name padded to 31, " - ON"/" - OFF"
    // section 4 (only printed in a plain GUI program)
    std::string ForegroundClass;  // window class of the active window
    std::string ForegroundText;   // its title
    // section 5
    std::string ComputerName;             // at most 15 characters
    std::string TotalMemory, FreeMemory;  // "1234 Mb"
    std::string TotalDisk, FreeDisk;      // "12.5 Gb"
    std::string SystemUpTime;             // duration format
    std::string Processor;
    std::string DisplayMode;  // "1920 x 1080, 24 bit"
    std::string DisplayDpi;
    std::string VideoCard;
    std::string Printer;
    // section 6
    std::string OsType, OsBuild, OsUpdate, Language, Charset;
    // section 7: one value per adapter, joined by " - "
    std::string IpAddress, SubnetMask, Gateway, Dns1, Dns2, Dhcp;
};

// Where GatherSystemValues looks.  Tests point `Root` at a prepared tree
// (files are read as Root + "/proc/...", Root + "/etc/...", Root + "/sys/...").
struct TCrashSystemSources {
    std::string Root = "/";
    // The file whose file system gives the disk values; empty: the crash
    // library's own file.
    std::string DiskPath;
    // The X display to ask; empty: $DISPLAY.  Without a display the display,
    // foreground-window items stay empty.
    std::string Display;
    bool QueryDisplay = true;
    // Clock for the system up time; empty: the real clock.
    std::function<double()> UptimeSeconds;
    // The process whose capabilities and user are reported; 0: this one.
    int ProcessId = 0;
};

TCrashSystemValues GatherSystemValues(const TCrashSystemSources& sources = {});

// Capability name padded to 31 characters + " - ON"/" - OFF" + line break,
// for every capability in `permitted`, in number order; `effective` says
// which are on.
std::string FormatPrivileges(std::uint64_t permitted, std::uint64_t effective);

// ---- report input ---------------------------------------------------------------

enum class TCrashProgramKind : std::uint8_t {
    Gui,      // a plain GUI program: section 4 is shown
    Console,  // section 4 is left out
    Cgi,      // a web application (CGI): section 4 is left out
};

// The fault behind an access violation (SIGSEGV/SIGBUS); the message is then
// built from it instead of taken from the exception.
struct TCrashAccessViolation {
    bool Present = false;
    bool Write = false;
    std::uintptr_t AccessedAddress = 0;
    std::uintptr_t FaultAddress = 0;
    // The file of the module holding FaultAddress; empty when none.
    std::string ModulePath;
};

// The CPU state of the exception's thread (x86-64).
struct TCrashCpuContext {
    bool Valid = false;
    std::uint64_t Rax = 0, Rbx = 0, Rcx = 0, Rdx = 0, Rsi = 0, Rdi = 0, Rbp = 0, Rsp = 0;
    std::uint64_t R8 = 0, R9 = 0, R10 = 0, R11 = 0, R12 = 0, R13 = 0, R14 = 0, R15 = 0;
    std::uint64_t Rip = 0, Eflags = 0;
    std::uint16_t Cs = 0, Ss = 0, Ds = 0, Es = 0, Fs = 0, Gs = 0;
};

// A copy of process memory taken while it was readable.
struct TCrashMemoryRegion {
    std::uintptr_t Address = 0;
    std::vector<std::uint8_t> Bytes;
};

// The registry's priority before anybody read it.
inline constexpr std::int32_t kUnreadThreadPriority = INT32_MIN;  // 0x80000000

// One registered thread, as the call-stack headers print it.  A thread that
// is not in the input's list is printed with priority "??" and no class.
struct TCrashReportThread {
    std::uint64_t ThreadId = 0;
    std::int32_t Priority = kUnreadThreadPriority;
    std::string ClassName;  // the thread object's class or the thread's name
    bool IsMain = false;
};

// One row of the modules table.
struct TCrashReportModule {
    ModuleHandle Handle = 0;
    std::string FileName;  // full path
    std::string Description;
    std::string Version;
    std::uint64_t FileSize = 0;
    double Modified = 0;  // local time, days since 30/12/1899; 0: unknown
};

// The rows of a live modules list.
std::vector<TCrashReportModule> ReportModules(const TCrashModulesList& modules);

struct TCrashReportInput {
    // The options in force; null stands for a fresh options object.
    const TCrashModuleOptions* Options = nullptr;
    TCrashProgramKind ProgramKind = TCrashProgramKind::Gui;

    // section 1: the application
    TCrashTimeStamp StartTime;      // library start-up
    TCrashTimeStamp ExceptionTime;  // the pass began
    std::string MainModulePath;
    std::string MainModuleDescription;
    std::string MainModuleVersion;
    std::string CommandLine;  // the whole command line, the program's path first
    double BuildTime = 0;     // UTC, days since 30/12/1899; 0: unknown

    // section 2: the exception
    bool ValidObject = true;       // false: "Unknown exception type"
    bool IsExceptionClass = true;  // false (not a std::exception): "Unknown error message."
    std::string ClassName;
    std::string Message;
    TCrashAccessViolation AccessViolation;
    std::uintptr_t Address = 0;  // 0: none
    std::string ModulePath;      // the module holding Address
    std::string ModuleDescription;
    std::string ModuleVersion;
    std::uint64_t ThreadId = 0;
    bool IsHandled = false;
    std::uint16_t Id = 0;  // the duplicate ID

    // sections 3 to 7
    std::string EmailAddress;  // empty until the user gives one
    std::string FocusClass;    // the focused control
    std::string FocusText;
    TCrashSystemValues System;

    // call stacks of every thread; must outlive the build
    const TCrashStackList* Stack = nullptr;
    std::vector<TCrashReportThread> Threads;
    // Asked for a registered thread whose priority is still unread; true
    // when it gave one (the caller stores it back in its registry).
    std::function<bool(std::uint64_t threadId, std::int32_t& priority)> ReadThreadPriority;

    // modules and processes tables (LogFlags bit 4)
    std::vector<TCrashReportModule> Modules;
    std::vector<TCrashProcessInfo> Processes;

    // assembler listing and CPU part (LogFlags bit 5)
    TCrashCpuContext Context;
    std::uintptr_t StackStart = 0;
    // Memory copies around the exception address and the stack start.  An
    // address outside them counts as unreadable unless ReadLiveMemory is set,
    // in which case this process is read through the fault-free reader.
    std::vector<TCrashMemoryRegion> Memory;
    bool ReadLiveMemory = false;
    // Resolves an address met in the listing; empty: no symbols or headers.
    std::function<StackEntry(std::uintptr_t address)> ResolveAddress;

    // added sections (applied by BuildBugReport; TCrashBugReport::Build
    // leaves them to the caller's AddCustomInformation/AddStepsToReproduce)
    std::vector<std::string> CustomData;  // "name=value" lines
    std::string ReproduceText;
};

// ---- the report ------------------------------------------------------------------

class TCrashBugReport {
  public:
    // Rebuilds every piece from scratch.
    void Build(const TCrashReportInput& input);

    // The pieces.  CallStackPart() is the three tables together.
    const std::string& GeneralPart() const { return general_; }
    const std::string& CallStackTable() const { return callStack_; }
    const std::string& ModulesTable() const { return modules_; }
    const std::string& ProcessesTable() const { return processes_; }
    std::string CallStackPart() const { return callStack_ + modules_ + processes_; }
    const std::string& AssemblerTitle() const { return asmTitle_; }
    const std::string& AssemblerListing() const { return asmListing_; }
    const std::string& CpuPart() const { return cpu_; }
    // Text 4 and two line breaks: heads the HTML error page.
    const std::string& ErrorHeader() const { return errorHeader_; }

    // General part, CR LF, call-stack part, assembler title, CR LF, listing,
    // CR LF, CPU part.
    const std::string& Text() const { return text_; }
    // Copies for the log store and for sending; the pass may replace one
    // whole (the send copy by the whole log).  Later changes reach them too.
    std::string& LogCopy() { return logCopy_; }
    std::string& SendCopy() { return sendCopy_; }

    // Item 2.6 with every character below 32 other than CR and LF as a blank.
    const std::string& LastExceptionMessage() const { return lastMessage_; }

    // The added sections, numbered 8, inserted after the general part.
    // Custom information needs lines and ShownFields bit 47; the steps to
    // reproduce need LogFlags bit 1 and a text.  Nothing happens otherwise.
    void AddCustomInformation(const std::vector<std::string>& lines);
    void AddStepsToReproduce(const std::string& text);
    // Replaces the value of item 3.3 in the report and every copy.
    void SetEmailAddress(const std::string& address);

  private:
    void InsertSection(const std::string& section);
    void Join();

    std::string general_, callStack_, modules_, processes_, asmTitle_, asmListing_, cpu_;
    std::string errorHeader_, text_, logCopy_, sendCopy_, lastMessage_;
    std::string customTitle_, requestTitle_;
    bool customShown_ = false, reproduceOn_ = false;
};

// The whole report text, with the added sections of the input applied.
std::string BuildBugReport(const TCrashReportInput& input);

// Item 2.6 as the report prints it.
std::string ReportExceptionMessage(const TCrashReportInput& input);

// In `text`, the value of the line "  3.3 ...: " becomes `address`; nothing
// happens when the line is missing.
void ReplaceEmailAddress(std::string& text, std::string_view address);

// ---- building blocks (shared with the log store) --------------------------------

// The numbered sections: titles, items with hidden-item gaps, value
// normalisation, empty sections dropped, values aligned, rules lengthened.
class TCrashAlignedList {
  public:
    // `sectionBefore`: the number of the section before the first one.
    explicit TCrashAlignedList(int sectionBefore = 0) : section_(sectionBefore) {}
    void AddSection(std::string_view title);
    // Every item counts; only shown ones are written.
    void AddItem(std::string_view label, std::string_view value, bool shown = true);
    // The aligned text; `prefix` (the first line and its empty line) stays
    // above the sections.
    std::string Finish(std::string_view prefix = {}) const;

  private:
    std::string text_;
    int section_;
    int item_ = 0;
};

// A value's line breaks made CR LF; a multi-line value gets ": " → ":_",
// empty lines "." and one blank before each later line.
std::string NormalizeListValue(std::string_view value);

// ---- renderings ---------------------------------------------------------------------

// Rich text of the General, Assembler and CPU pages.  `charset` is the
// system's character-set number; `hyphensWidthPixels` the width of the dump's
// first column of hyphens in the dialog's font.
std::string RtfGeneral(std::string_view general, std::string_view fontName, int pointSize,
                       int charset);
std::string RtfAssembler(std::string_view listing, std::string_view fontName, int pointSize,
                         int charset);
std::string RtfCpu(std::string_view cpu, std::string_view fontName, int pointSize, int charset,
                   int hyphensWidthPixels);

// The same colouring as HTML for the Qt dialog's text widgets: a <pre> block
// with coloured <span>s; every character of the text escaped.
std::string HtmlGeneral(std::string_view general);
std::string HtmlAssembler(std::string_view listing);
std::string HtmlCpu(std::string_view cpu);

// ---- HTML error page of web applications ------------------------------------------

// The escaped text with the OK button appended.
std::string EscapeErrorPageText(std::string_view text);
// The page for `text` (error header + report, or + message) from the options'
// template; `marker` is the random number of the library's own-page marker,
// which is returned in `markerText` for recognising the page later.
std::string BuildErrorPage(std::string_view text, const TCrashModuleOptions& options,
                           std::uint32_t marker, std::string* markerText = nullptr);

struct TCrashErrorPageResult {
    bool Delivered = false;
    std::string Warning;  // the warning text when not delivered
};
// Writes the CGI header and the page to `fd` (standard output by default).
// Only CGI programs deliver a page; other kinds answer a warning.
TCrashErrorPageResult SendErrorPage(TCrashProgramKind kind, std::string_view page, int fd = 1);

}  // namespace crashlog
