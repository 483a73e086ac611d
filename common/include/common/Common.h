// The suite's shared services: event recording (the events file), the
// start-up log, the suite's message boxes, and the identity of an event
// (user, computer, program, versions).
//
// Error contract: every routine here reports failure by its result and
// swallows exceptions, except ShowErrorAndAbort, which always ends in
// ESilentAbort.  Everything runs on the GUI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kvo::common {

// Where the suite lives and how its files are named.  The start-up decides the
// product line and fills this once, before any window exists; until then it
// holds the first product line's names.  Paths are the suite's own (Windows)
// form and go through the drive map whenever a file is touched.
struct LibrarySettings {
    std::string productFolder = "Kestavo";        // also the INI product section
    std::string installFolder = "C:\\Kestavo\\";  // with a final backslash
    std::string installIni = "C:\\Kestavo\\KVO.INI";
    std::string taskFile = "C:\\Kestavo\\KVO.TSK";
    std::string privateRoot = "C:\\Kestavo\\Private\\";
    std::string practiceIniName = "KVODEN.INI";
    std::string inventoryFileName = "KVODEN.DAT";
    std::string driveKey = "WD";
    std::string lockFileName = "KVO.LCK";
    bool secondLine = false;
    // Set on the supplier's own machines: every recorded event is also shown.
    bool developerWorkstation = false;
    // The running program's file; empty means "ask the system".  Tests set it.
    std::string programPath;

    // The product folder between two backslashes ("\Kestavo\").
    std::string ProductSegment() const { return "\\" + productFolder + "\\"; }
    // The names of the second product line.
    static LibrarySettings SecondLine();
};

// The process-wide settings.  Not thread-safe; written only at start-up.
LibrarySettings& Settings();

// The data folder named by the drive key of the installation INI file: the
// value without a trailing backslash, then the product segment.  Empty when
// the key is empty or the file cannot be read.
std::string DataFolder();

// ---- clock -----------------------------------------------------------------

struct LocalDateTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// What the recording routines ask for the time.  Replace it in tests to make
// the timing lines predictable.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual LocalDateTime Now() const = 0;
    // Milliseconds of a monotonic counter; it wraps like a 32-bit tick count.
    virtual std::uint32_t TickCount() const = 0;
};

// The clock in use.  SetClock(nullptr) restores the system clock; a clock
// given here must stay alive until it is replaced.
const Clock& CurrentClock();
void SetClock(const Clock* clock);

// "DD/MM/YYYY", "HH:NN:SS" and "DD/MM/YYYY HH:NN:SS.zzz".
std::string DateTextDMY(const LocalDateTime& t);
std::string DateTextYMD(const LocalDateTime& t);
std::string LongTimeText(const LocalDateTime& t);
std::string LogTimeStampText(const LocalDateTime& t);
// "YYYYMMDDHHmmSSzzz": the name of a per-run start-up log without ".TXT".
std::string RunFileStampText(const LocalDateTime& t);

// ---- versions and identity ---------------------------------------------------

struct FileVersion {
    std::int32_t Major = 0, Minor = 0, Release = 0, Build = 0;
    friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

// The version note of a file: -1 in all four when the file does not exist,
// 0 in all four when it carries no version.  Writes its progress to the
// start-up log.
FileVersion FileVersionNumber(const std::string& path);
std::string VersionText(const FileVersion& v);  // "1.2.3.4"

void SetProcessVersion(int major, int minor, int release, int build);
std::string ProcessVersionText();

std::string UserNameText();      // "User" when unknown
std::string ComputerNameText();  // "Unknown" when unknown
// The file name without folder and extension; both "/" and "\" separate folders.
std::string ExeBaseName(std::string_view path);
// ExeBaseName of the running program.
std::string ProgramBaseName();

// The system's sentence for an error code with "%1" replaced by the
// argument, stripped of trailing control characters, blanks and full stops;
// empty when the system has no text for the code.
std::string FormatSystemError(int code, std::string_view argument);

// ---- message boxes -----------------------------------------------------------

// Message-box flags the suite uses, and the buttons they answer with.
inline constexpr int kMbError = 16;
inline constexpr int kMbWarning = 48;
inline constexpr int kMbWarningYesNo = 52;
inline constexpr int kMbInformation = 64;

// Button codes a message box answers with.
inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// The suite's message box (caption "Kestavo") through the platform's current
// presenter (kvo::platform::SetPresenter replaces it); returns the button code.
int ShowMessageBox(const std::string& text, int flags);

// Unwinds the current operation after ShowErrorAndAbort; the top-level
// handler recognises it and reports nothing.
class ESilentAbort : public std::exception {
  public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

// Shows the text as a warning (a full stop added when missing), lets pending
// GUI events run, then throws ESilentAbort.
[[noreturn]] void ShowErrorAndAbort(std::string text);

// ---- events ------------------------------------------------------------------

// Offers one event to the support server; true when the server accepted it.
// ReportEvent (common/Support.h) unless replaced; with an empty hook no
// event counts as delivered.
using EventReportHook =
    std::function<bool(const std::string& cls, const std::string& text, const std::string& stack)>;
void SetEventReportHook(EventReportHook hook);

// Records one event: a message box on a developer workstation, the immediate
// report, and a block in EVENTS.XML in the installation folder (not once the
// file has reached 16384 bytes).  Never fails to its caller.
void RecordEvent(const std::string& cls, const std::string& text, const std::string& stack);
void RecordEvent(const std::string& cls, const std::string& text);

// ---- start-up log ------------------------------------------------------------

// 0 starts the log (a fresh Startup.LOG and a per-run file in the Startup
// subfolder), 9999 ends it and stores the start-up time in the computer
// inventory file, anything else logs the value as a checkpoint.  Only the
// programs named "KVO" and "RUL" keep a start-up log.
void StartupCheckpoint(double value);
void WriteStartupLog(const std::string& message);

// One line of the start-up log: "<stamp>, <elapsed in 8>, <message>".
std::string StartupLogLine(const LocalDateTime& t, std::uint32_t elapsedMs,
                           std::string_view message);
// A checkpoint value in its shortest decimal form (up to 15 significant digits).
std::string CheckpointText(double value);

// Forgets the start-up log's timing state and the process version; for tests.
void ResetRecordingStateForTesting();

}  // namespace kvo::common
