// Crash-reporting options of one module: the option set with its defaults,
// the exception filters, the customized texts, the options stream (the
// stored form inside a module's library data and the form exchanged between
// the library copies of one process) and the shared options block.
//
// Start here: `TCrashModuleOptionsEx` is the class the rest of the library
// uses; `SaveToStream`/`LoadFromStream` give the binary form and
// `LoadOptionsText` reads the text file a program keeps beside its sources.
//
// Thread-safety: options objects are not locked. They are changed by the
// thread that holds the processing lock, or at start-up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace crashlog {

using ByteBuffer = std::vector<std::uint8_t>;

// The data version this copy writes; also the version of the shared options
// block, which carries no version of its own.
inline constexpr std::uint16_t kCrashLogVersion = 6020;

// Every option string byte (and, in library data older than 500, every name
// byte of the debug data) is XORed with this constant.
inline constexpr std::uint8_t kStringScrambleKey = 0xB5;

inline constexpr int kCustomTextCount = 158;
inline constexpr int kShownFieldCount = 48;
inline constexpr std::uint64_t kAllShownFields = (std::uint64_t{1} << kShownFieldCount) - 1;

// Raised by `Assign` when the source is missing.
class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Raised by `LoadOptionsText` for a line it cannot use; the message names the line.
class EOptionsTextError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Bits of the option sets.
namespace log_flags {
inline constexpr std::uint8_t MergeDuplicates = 1 << 0;
inline constexpr std::uint8_t ReproduceRequest = 1 << 1;
inline constexpr std::uint8_t ResetLogOnNewVersion = 1 << 2;
inline constexpr std::uint8_t ComputerNameInLogName = 1 << 3;
inline constexpr std::uint8_t LogModuleLists = 1 << 4;
inline constexpr std::uint8_t LogCpuAndAssembler = 1 << 5;
}  // namespace log_flags

namespace send_flags {
inline constexpr std::uint16_t ShowSendProgress = 1 << 0;
inline constexpr std::uint16_t SendResultMessage = 1 << 1;
inline constexpr std::uint16_t SendWholeLog = 1 << 2;
inline constexpr std::uint16_t AttachXmlCopy = 1 << 3;
inline constexpr std::uint16_t AttachScreenshot = 1 << 4;
inline constexpr std::uint16_t ActiveWindowScreenshot = 1 << 5;
inline constexpr std::uint16_t AttachLastHtmlPage = 1 << 6;
inline constexpr std::uint16_t SendInBackground = 1 << 7;
inline constexpr std::uint16_t DateInFileName = 1 << 8;
inline constexpr std::uint16_t ComputerNameInFileName = 1 << 9;
}  // namespace send_flags

namespace dialog_flags {
inline constexpr std::uint16_t SendReportTicked = 1 << 0;
inline constexpr std::uint16_t ScreenshotTicked = 1 << 1;
inline constexpr std::uint16_t CopyOption = 1 << 2;
inline constexpr std::uint16_t DetailsOption = 1 << 3;
inline constexpr std::uint16_t OpenDetailed = 1 << 4;
inline constexpr std::uint16_t StayOnTop = 1 << 5;
inline constexpr std::uint16_t OwnLookAndFeel = 1 << 6;
inline constexpr std::uint16_t SendOption = 1 << 7;
inline constexpr std::uint16_t ScreenshotOption = 1 << 8;
inline constexpr std::uint16_t CustomButton = 1 << 9;
}  // namespace dialog_flags

namespace call_stack_flags {
inline constexpr std::uint8_t ListExportOnlyEntries = 1 << 0;
inline constexpr std::uint8_t ListUnitOnlyEntries = 1 << 1;
inline constexpr std::uint8_t ListRtlThreads = 1 << 2;
inline constexpr std::uint8_t ListOsThreads = 1 << 3;
// Marks options read from data older than 6000; nothing consults it.
inline constexpr std::uint8_t ReadFromOldData = 1 << 4;
}  // namespace call_stack_flags

namespace behaviour_flags {
inline constexpr std::uint16_t PauseRtlThreads = 1 << 0;
inline constexpr std::uint16_t KeepMainThreadRunning = 1 << 1;
inline constexpr std::uint16_t PauseOsThreads = 1 << 2;
inline constexpr std::uint16_t UseMainModuleOptions = 1 << 3;
inline constexpr std::uint16_t ClipboardOnSendFailure = 1 << 4;
inline constexpr std::uint16_t KeepUnsentReport = 1 << 5;
inline constexpr std::uint16_t HandleSafecall = 1 << 6;
inline constexpr std::uint16_t AlsoCallDefaultHandler = 1 << 7;
inline constexpr std::uint16_t ReportHandledExceptions = 1 << 8;
}  // namespace behaviour_flags

// Configuration names of the `ShownFields` bits, bit 0 first.
extern const std::array<const char*, kShownFieldCount> kShownFieldNames;

struct TCustomTextInfo {
    const char* Group;
    const char* Name;
    const char* Default;
};
// Group, name and default of every customized text, by index.
extern const std::array<TCustomTextInfo, kCustomTextCount> kCustomTexts;

// The template of the HTML error page that a fresh options object holds.
extern const char* const kDefaultWebPageTemplate;
// The sender address a fresh options object holds.
extern const char* const kDefaultSmtpSender;

// Every option that the options stream carries before the filter list, in
// stream order (the list and the stream's versions: CrashOptionsList.inc).
// Plain data: the options class wraps it with setters that announce each
// change.
struct TCrashOptionValues {
#define CRASHLOG_OPTION(Type, Name, Default, Access) Type Name = Default;
#include "crashlog/CrashOptionsList.inc"
#undef CRASHLOG_OPTION

    bool operator==(const TCrashOptionValues&) const = default;
};

struct TCrashExceptionFilter {
    bool Enabled = true;
    std::string ClassName;
    std::string ReplacementMessage;  // %NAME% variables are expanded where it is shown
    std::uint8_t Scope = 0;          // 0 every exception, 1 handled only, 2 unhandled only
    std::uint8_t DialogChoice = 1;   // 0 none, 1 as the options say, 2 box, 3 classic, 4 detailed
    std::uint8_t Handling = 2;       // 0 ignore, 1 run-time default, 2 the library's
    std::uint8_t FinalAction = 0;    // 0 none, 1 terminate, 2 restart

    bool operator==(const TCrashExceptionFilter&) const = default;
};

class TCrashModuleOptions;

// The ordered exception filters of one options object.  Every change runs
// the owner's change step.
class TCrashExceptionsFilters {
  public:
    explicit TCrashExceptionsFilters(TCrashModuleOptions* owner) : owner_(owner) {}
    TCrashExceptionsFilters(const TCrashExceptionsFilters&) = delete;
    TCrashExceptionsFilters& operator=(const TCrashExceptionsFilters&) = delete;

    int Count() const { return static_cast<int>(items_.size()); }
    // REQUIRES: 0 <= index < Count(); otherwise std::out_of_range.
    TCrashExceptionFilter& Item(int index);
    const TCrashExceptionFilter& Item(int index) const;
    // Takes ownership; a null record is ignored.  Returns the new index or -1.
    int Add(std::unique_ptr<TCrashExceptionFilter> filter);
    int Add(const TCrashExceptionFilter& filter);
    // REQUIRES: 0 <= index < Count(); otherwise std::out_of_range.
    void Delete(int index);
    void Clear();
    // Copies the records one by one.
    void Assign(const TCrashExceptionsFilters& source);

    bool operator==(const TCrashExceptionsFilters& other) const;

  private:
    void Changed();

    TCrashModuleOptions* owner_;
    std::vector<std::unique_ptr<TCrashExceptionFilter>> items_;
};

// A module handle is the address at which the module's image starts in
// memory; 0 stands for none.
using ModuleHandle = std::uintptr_t;

// The handle of the loaded module whose file name (full path or bare name)
// is `name`; 0 for an empty name or a module that is not loaded.  The main
// program answers to its own file name.
ModuleHandle ModuleHandleByName(std::string_view name);
// The handle of the module that holds this copy of the crash library.
ModuleHandle CrashLibraryModuleHandle();

// Expands %NAME% references: an environment variable NAME, else "date",
// "time" or "cd" (any case) for today's date ("DD/MM/YYYY"), the time
// ("HH:MM") and the current folder, else nothing.  Inserted values are not
// expanded again.
std::string ExpandVariables(std::string_view text);

// Names and values that ExpandVariables takes, on the calling thread only,
// in place of the environment variables of those names (an empty value is
// an empty variable).  A thread that works for one report after the pass has
// gone on to the next (a send in the background) expands that report's
// texts with the values the pass set for it: by then the environment may
// hold another report's.  The values must stay valid until they are
// replaced; nullptr goes back to the environment.  Returns the values in
// place before, for the caller to put back.
using TVariableValues = std::vector<std::pair<std::string, std::string>>;
const TVariableValues* SetThreadVariables(const TVariableValues* values);

class TCrashModuleOptions {
  public:
    // `moduleName` may be empty (no owner module).
    explicit TCrashModuleOptions(std::string moduleName = {});
    virtual ~TCrashModuleOptions();
    TCrashModuleOptions(const TCrashModuleOptions&) = delete;
    TCrashModuleOptions& operator=(const TCrashModuleOptions&) = delete;

    // ---- the virtual operations, in their historical slot order ----
    virtual void SetEnabled(bool value);
    virtual void SetDetectFrozen(bool value);
    // Copies the options, filters, texts, ReproduceText and build commands;
    // not Enabled and not the owner fields.  A null source raises
    // EConvertError; assigning an object to itself does nothing.
    virtual void Assign(const TCrashModuleOptions* source);
    virtual void SetDefaults();
    // Appends the options stream to `out`.
    virtual void SaveToStream(ByteBuffer& out) const;
    // Creates or overwrites the file; file errors raise std::system_error.
    virtual void SaveToFile(const std::string& fileName) const;
    // Reads an options stream written by library data of `version`.  Reading
    // stops at the end of `data`: options past it keep their values.  Returns
    // the number of bytes read.  Never raises for bad data.
    virtual std::size_t LoadFromStream(std::span<const std::uint8_t> data,
                                       std::uint16_t version = kCrashLogVersion);
    // Reads the whole file as an options stream of this copy's version, while
    // holding a lock that keeps writers of this library out.  File errors
    // raise std::system_error.
    virtual void LoadFromFile(const std::string& fileName);
    virtual void Publish();
    virtual void Refresh();

    // ---- convenience over the stream ----
    ByteBuffer SaveToBytes() const;

    // ---- fields outside the stream ----
    bool Enabled() const { return enabled_; }
    const std::string& OwnerModuleName() const { return ownerModuleName_; }
    void SetOwnerModuleName(std::string name) { ownerModuleName_ = std::move(name); }
    ModuleHandle OwnerModuleHandle() const { return ownerModuleHandle_; }
    void SetOwnerModuleHandle(ModuleHandle handle) { ownerModuleHandle_ = handle; }
    const std::string& ReproduceText() const { return reproduceText_; }
    void SetReproduceText(std::string text) { reproduceText_ = std::move(text); }
    const std::string& BuildStartCommand() const { return buildStart_; }
    void SetBuildStartCommand(std::string s) { buildStart_ = std::move(s); }
    const std::string& BuildSuccessCommand() const { return buildSuccess_; }
    void SetBuildSuccessCommand(std::string s) { buildSuccess_ = std::move(s); }
    const std::string& BuildFailureCommand() const { return buildFailure_; }
    void SetBuildFailureCommand(std::string s) { buildFailure_ = std::move(s); }

    // ---- the options ----
    const TCrashOptionValues& Values() const { return values_; }
    // Replaces every option of the table at once (one change step).
    void SetValues(const TCrashOptionValues& values);

    // Name()/SetName() for every option of the list; numbers and flags are
    // returned by value, texts by reference.
#define CRASHLOG_OPTION_GETTER(Type, Name)                                       \
    std::conditional_t<std::is_scalar_v<Type>, Type, const Type&> Name() const { \
        return values_.Name;                                                     \
    }
#define CRASHLOG_OPTION_Getter(Type, Name) CRASHLOG_OPTION_GETTER(Type, Name)
#define CRASHLOG_OPTION_Plain(Type, Name) \
    CRASHLOG_OPTION_GETTER(Type, Name)    \
    void Set##Name(Type value) {          \
        values_.Name = std::move(value);  \
        Changed();                        \
    }
#define CRASHLOG_OPTION(Type, Name, Default, Access) CRASHLOG_OPTION_##Access(Type, Name)
#include "crashlog/CrashOptionsList.inc"
#undef CRASHLOG_OPTION
#undef CRASHLOG_OPTION_Plain
#undef CRASHLOG_OPTION_Getter
#undef CRASHLOG_OPTION_GETTER

    // The setters that do more than store (SetDetectFrozen is virtual, above).
    // Bits above the 48th are dropped.
    void SetShownFields(std::uint64_t value) {
        values_.ShownFields = value & kAllShownFields;
        Changed();
    }

    const std::string& MailBody() const {
        return mailBody_;
    }
    void SetMailBody(std::string value);
    const std::string& TextLanguage() const {
        return textLanguage_;
    }
    void SetTextLanguage(std::string value);

    // Whether bit `bit` (0..47) of ShownFields is set.
    bool ShownField(int bit) const;

    // ---- customized texts ----
    // Text `index` with %NAME% expanded; an index outside 0..157 gives "".
    std::string Text(int index) const;
    // Text `index` as stored; an index outside 0..157 gives "".
    const std::string& RawText(int index) const;
    // Stores the text as given; an index outside 0..157 is ignored.
    void SetText(int index, std::string text);

    // ---- filters ----
    TCrashExceptionsFilters& Filters() {
        return *filters_;
    }
    const TCrashExceptionsFilters& Filters() const {
        return *filters_;
    }

    // ---- change step ----
    // Publishes when no batch is open and the owner is this library's module.
    void Changed();
    // Batches nest; the outermost EndUpdate runs the change step.
    void BeginUpdate() {
        ++batch_;
    }
    void EndUpdate();
    int BatchCount() const {
        return batch_;
    }

    // Equal options: the stream content (options, filters, texts).
    bool SameOptions(const TCrashModuleOptions& other) const;

  protected:
    TCrashOptionValues values_;

  private:
    bool enabled_ = true;
    std::string ownerModuleName_;
    ModuleHandle ownerModuleHandle_ = 0;
    std::string reproduceText_;
    std::string buildStart_, buildSuccess_, buildFailure_;
    std::string mailBody_;
    std::array<std::string, kCustomTextCount> texts_;
    std::string textLanguage_ = "English";
    std::unique_ptr<TCrashExceptionsFilters> filters_;
    int batch_ = 0;

    friend struct OptionsStreamAccess;
};

// The options object the library actually uses: it reaches the frozen-
// application watcher and the shared options block.
class TCrashModuleOptionsEx : public TCrashModuleOptions {
  public:
    using TCrashModuleOptions::TCrashModuleOptions;

    void SetEnabled(bool value) override;
    void SetDetectFrozen(bool value) override;
    // Writes a byte 1 and the options stream into the owner module's shared
    // options block, replacing it whole.  Does nothing without a module handle.
    void Publish() override;
    // Reads the owner module's shared options block when it exists and its
    // first byte is not 0.  Does nothing without a module handle.
    void Refresh() override;
};

// ---- links to the rest of the library ----

// The options object that is current for this copy (set by the processing
// pass); `SetEnabled`/`SetDetectFrozen` steer the frozen watcher only for it.
void SetCurrentOptionsObject(TCrashModuleOptionsEx* options);
TCrashModuleOptionsEx* CurrentOptionsObject();
// Installed by the owner of the frozen-application watcher: called with true
// to start it and false to stop it.
void SetFrozenWatcherSwitch(std::function<void(bool run)> onSwitch);

// ---- the shared options block ----
// The block of a module is a POSIX shared-memory object named "/" + process
// id (8 upper-case hex digits) + module handle (upper-case hex, as many
// digits as a pointer has).  It holds a 32-bit size followed by that many
// bytes: a byte 1 and an options stream, or a single byte 0 (nothing
// published yet).
std::string SharedOptionsBlockName(std::uint32_t processId, ModuleHandle handle);
// Creates (or empties) the block of `handle` in this process with a single
// zero byte.  Returns false when the OS refuses.
bool CreateSharedOptionsBlock(ModuleHandle handle);
// Replaces the block's content whole; returns false when the OS refuses.
bool WriteSharedOptionsBlock(ModuleHandle handle, std::span<const std::uint8_t> content);
// The block's content (after the size), or false when it does not exist.
bool ReadSharedOptionsBlock(ModuleHandle handle, ByteBuffer& content);
// Removes the block of `handle` in this process.
void DeleteSharedOptionsBlock(ModuleHandle handle);

// ---- the options text file ----
// A program keeps its options in a text file beside its sources; the build's
// data generator turns it into the stored options.  Format, one setting per
// line, "Name=Value":
//   - blank lines and lines starting with '#' or ';' are ignored;
//   - Name is an option name as in TCrashOptionValues (case-insensitive), or
//     MailBody, TextLanguage, TextN (N = 0..157, a customized text), or
//     Filter (adds one filter);
//   - bools are true/false (or 1/0); numbers and sets are decimal or 0x hex;
//   - strings are written in double quotes with C escapes \r \n \t \" \\;
//   - a Filter value is: Enabled, "ClassName", "ReplacementMessage", Scope,
//     DialogChoice, Handling, FinalAction (comma separated).
// Settings not named keep their defaults.  A bad line raises EOptionsTextError.
void LoadOptionsText(std::string_view text, TCrashModuleOptions& options);
// Reads the file at `path` (std::system_error when it cannot be read).
void LoadOptionsTextFile(const std::string& path, TCrashModuleOptions& options);
// Writes every setting in the format LoadOptionsText reads.
std::string SaveOptionsText(const TCrashModuleOptions& options);

}  // namespace crashlog
