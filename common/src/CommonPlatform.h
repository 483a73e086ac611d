// The few platform services the shared library uses, in the shape it needs
// them.  One file (CommonPlatform.cpp) speaks to the platform layer; the rest
// of the library stays free of its details and includes no platform header
// (the public headers name the platform's presenter only in comments).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Common.h"

namespace kvo::common::detail {

// A suite path ("C:\Kestavo\EVENTS.XML", "\\server\share\x") as a local path
// through the drive map; a local absolute path is returned unchanged.  Empty
// when the drive is not mapped.
std::string LocalPath(const std::string& path);

// ASCII letters compared without case, as the suite compares INI and field
// names.
bool SameText(std::string_view a, std::string_view b);

// Installation and inventory INI files (suite paths).  Reads give the default
// on any failure; writes report it.
std::string IniReadString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& def);
bool IniWriteString(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& value);

std::string LoginName();
std::string HostName();
std::string ExecutablePath();
std::string ErrorText(int code);

// The version note of a local file; nullopt when it carries none.
std::optional<FileVersion> ReadVersionNote(const std::string& localPath);

int PresentMessage(const std::string& text, const std::string& caption, int flags);

// The system's view of the network: true when some connection is up.
bool IsConnected();

// A whole INI file held in memory, for the reports that read or write
// several values of one file (local paths).  Load: a missing file loads as
// empty and succeeds, one that cannot be read fails.  Save writes the whole
// file at once and keeps every line it did not change.
class IniDocument {
  public:
    IniDocument();
    ~IniDocument();
    IniDocument(const IniDocument&) = delete;
    IniDocument& operator=(const IniDocument&) = delete;

    bool Load(const std::string& localPath);
    bool Save(const std::string& localPath) const;
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    std::vector<std::string> Sections() const;  // file order

  private:
    struct File;
    std::unique_ptr<File> file_;
};

}  // namespace kvo::common::detail

namespace kvo::common::detail {

enum class DriveType { Unknown, Removable, Fixed, Remote, CdRom, RamDisk };

// One letter of the drive map.
struct DriveFacts {
    char letter = 0;  // upper case
    DriveType type = DriveType::Unknown;
    bool rootExists = false;  // the mapped folder is there (a medium is in)
    std::string label;
    std::string remote;  // the share a remote drive stands for
};

// Facts of one drive; nullopt when the letter is not in the map.
std::optional<DriveFacts> Drive(char letter);
// Every letter of the map, a to z.
std::vector<DriveFacts> Drives();

}  // namespace kvo::common::detail

namespace kvo::common::detail {

// Substitute drives are drive-map entries pointing at a folder (a suite path).
bool DefineSubstitute(char letter, const std::string& folder);
bool RemoveSubstitute(char letter);
std::string SubstituteTarget(char letter);  // suite path; empty when none

std::string SystemConfigFolder();  // local path, with a final "/"
std::string ConfigHome();          // local path, no final "/"
std::string DataHome();

// Refuses an empty path, "/" and the home folder.
bool DeleteTree(const std::string& localPath);

// Starts a program; on failure returns 0 and sets error to an errno value.
long Spawn(const std::string& localFile, const std::string& parameters, int& error);
// Waits for the process, calling serve() every 100 ms; stops waiting when
// serve() returns false.  True when the process has ended or cannot be
// waited for.
bool WaitServing(long pid, const std::function<bool()>& serve);

// The one data-area lock handle of the process.
bool HoldLockFile(const std::string& localPath, bool exclusive);
void DropLockFile();
// Deletes the lock file only when this process can take it exclusively.
void DeleteLockFileIfFree(const std::string& localPath);

}  // namespace kvo::common::detail

namespace kvo::common::detail {

// An exclusive hold on a lock file, waited for up to waitMs; released on
// destruction.  held() is false when the wait ran out or the file cannot be
// opened.
class ScopedFileLock {
  public:
    ScopedFileLock(const std::string& localPath, int waitMs);
    ~ScopedFileLock();
    ScopedFileLock(const ScopedFileLock&) = delete;
    ScopedFileLock& operator=(const ScopedFileLock&) = delete;
    bool held() const { return held_; }

  private:
    struct Hold;
    std::unique_ptr<Hold> hold_;
    bool held_ = false;
};

}  // namespace kvo::common::detail
