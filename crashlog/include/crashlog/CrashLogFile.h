// The log of bug reports (".clf"): where it lives, how its entries are cut
// apart, limited, recognised and edited by field number, its XML form, and
// the section builder that reports are written with.
//
// File layout: CR LF text; each entry is one report followed by empty lines,
// so that four line breaks in a row separate two entries.  Reading accepts
// bare CR or LF line ends and drops pieces that hold no table (no "-\r\n|").
//
// Start here: `StoreReportInLog` is what the processing pass calls; it takes
// the log's lock, reads the file, adds the report (or counts a duplicate),
// and writes the file back through a temporary file and a rename, so that a
// crash while saving leaves the previous file whole and two processes that
// save at once both keep their entries.
//
// Thread-safety: a `TLogFile` object is not locked; one thread uses it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace crashlog {

class TCrashModuleOptions;

// Read, write and lock failures of the log file; the message names the path.
class ELogFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Builds numbered report sections: "Title:", a rule line of "-" and aligned
// "  S.I Label: value" lines.  An item that is not shown still uses up its
// number, so the numbers of a report never depend on the field selection.
class TLogItem {
  public:
    // `precedingSection` is the number of the section before the first new one.
    explicit TLogItem(int precedingSection = 0) : section_(precedingSection) {}

    void AddSection(std::string_view title);
    void AddItem(std::string_view label, std::string_view value, bool shown = true);
    // The finished sections: empty sections dropped, values aligned, rules sized.
    std::string Text() const;

    int Section() const { return section_; }
    int Item() const { return item_; }

  private:
    std::string text_;
    int section_;
    int item_ = 0;
};

// The log file's own escaping of a value that spans lines (": " -> ":_",
// blank lines -> ".", continuation lines start with one blank), and back.
std::string EscapeLogValue(std::string_view value);
std::string UnescapeLogValue(std::string_view value);

// Turns every lone CR and every lone LF into CR LF.
std::string NormalizeLineBreaks(std::string_view text);

// One open log.  The file is read whole when the object is made; `Save`
// writes it whole again.  Entries are kept as text, each ending in three
// line breaks.
class TLogFile {
  public:
    // Ensures the folder exists; reads the file when it exists.  Throws
    // `ELogFileError` when an existing file cannot be read.
    explicit TLogFile(std::string path, bool readOnly = false);

    // Cuts a log text into its entries (used by the constructor; public for
    // the fuzzer and the tests).
    static std::vector<std::string> SplitEntries(std::string_view text);

    const std::string& Path() const { return path_; }
    int Count() const { return static_cast<int>(entries_.size()); }
    const std::string& Entry(int index) const {
        return entries_.at(static_cast<std::size_t>(index));
    }

    // Keeps at most `limit` entries after the add (-1: no limit), dropping
    // the oldest ones first.
    void AddEntry(std::string_view text, int limit);
    // Writes the file (creating it when missing) through a temporary file in
    // the same folder and a rename.  Throws `ELogFileError`; a failed save
    // leaves the old file as it was.
    void Save();
    // All entries joined, each followed by a line break.
    std::string WholeText() const;

    // The last entry in which one of the fields has the given value, or -1.
    int FindEntry(const std::vector<std::string>& fields,
                  const std::vector<std::string>& values) const;
    // The value of field `number` ("2.7") of an entry; empty when missing.
    std::string GetField(std::string_view number, int index) const;
    // Replaces the value, or inserts a new item line at the end of the
    // field's section when the field is missing.  Missing entries: nothing.
    void SetField(std::string_view number, std::string_view value, int index,
                  std::string_view label);

    // Report sections of an entry, as located for the XML form; empty when
    // the entry has no such section.
    std::string GeneralPart(int index) const;
    std::string CallStackPart(int index) const;
    std::string ModulesPart(int index) const;
    std::string ProcessesPart(int index) const;
    std::string AssemblerPart(int index) const;
    std::string CpuPart(int index) const;
    std::string ReproducePart(int index) const;

    // The whole log as one XML document; `SaveAsXml` writes it to a file.
    std::string XmlText() const;
    void SaveAsXml(const std::string& fileName) const;
    void SetPassword(std::string password) { password_ = std::move(password); }

    // Used by the locked store to merge with what another process saved.
    std::vector<std::string>& MutableEntries() { return entries_; }

  private:
    std::string path_;
    bool readOnly_;
    std::vector<std::string> entries_;
    std::string password_;
};

// The log file path for a module's options: `OutputFolder` (a full ".clf"
// path or a folder) or the module's own folder, "_<computer>" when
// `LogFlags` asks for it, variables expanded.  When that folder cannot be
// made or written, the log goes to $XDG_STATE_HOME/kestavo/crashlog/
// (default ~/.local/state/kestavo/crashlog/) under the same file name.
// `moduleFileName` empty means the options' `OwnerModuleName`, and failing
// that the running executable.
std::string LogFilePath(const TCrashModuleOptions& options, std::string moduleFileName = {});

struct TLogStoreRequest {
    std::string path;
    std::string reportText;
    std::string reportId;  // field "2.7" of the report, for duplicates
    int limit = 32;        // `ErrorsToKeep`; -1 keeps every entry
    bool mergeDuplicates = false;
    bool wantWholeLog = false;  // `SendWholeLog`
};

struct TLogStoreResult {
    bool saved = false;      // the file was written
    bool duplicate = false;  // an entry with the same ID existed and was counted
    int count = 1;           // that entry's count after the store
    int entries = 0;         // entries in the log after the store
    std::string wholeLog;    // when asked for
    std::string error;       // "[Log] <message>" when saving failed
};

// Adds the report to the log, or counts it on the existing entry with the
// same ID when duplicates are merged.  The whole read-change-write runs
// under an exclusive lock on "<path>.lock" (waited for at most
// `lockTimeoutMs`), so concurrent stores from other processes are kept.
// Never throws: a failure is reported in `error` with `saved` false.
TLogStoreResult StoreReportInLog(const TLogStoreRequest& request, int lockTimeoutMs = 10000);

// Whether the log holds an entry whose field "2.7" is `reportId`.
bool LogHoldsReport(const std::string& path, std::string_view reportId);

// Field "1.3" (module version) of the log's last entry; empty without one.
std::string LastLoggedVersion(const std::string& path);

}  // namespace crashlog
