// Small system and path helpers of the suite, over the platform layer.
//
// Paths are the suite's own (Windows) form ("C:\Kestavo\KVO.INI", "S:") and go
// through the drive map.  Failure is reported by the result (false, empty,
// -1); only ExecApp raises, with EExecAppError.  Everything runs on the GUI
// thread; the waits keep its event loop served.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/Common.h"

namespace kvo::common {

// The short (8.3) form of a path; names have no short form here, so it is the
// path itself when it exists.  Empty on failure, which is also recorded as an
// event.  Either way the pair is noted in the installation INI file.
std::string ShortPathName(const std::string& path);

std::string WindowsFolder();  // the system configuration folder, with "/"
// Shell folders by their Windows identifier (CSIDL_APPDATA 0x1A,
// CSIDL_LOCAL_APPDATA 0x1C); empty for an identifier without counterpart.
std::string SpecialFolder(int id, bool create);
inline constexpr int kCsidlAppData = 0x1A;
inline constexpr int kCsidlLocalAppData = 0x1C;

// The path ending in exactly one backslash; "" gives "\".
std::string WithTrailingBackslash(std::string_view path);

// Drive facts come from the drive map.  Names come back lower-case for a
// lower-case letter and upper-case otherwise.
std::string VolumeLabel(char letter);
std::string DriveRemoteName(char letter);

bool MapSubstituteDrive(char letter, const std::string& folder);
bool UnmapSubstituteDrive(char letter);
std::string SubstituteDriveTarget(char letter);

// Size in bytes, -1 when the file cannot be found.
std::int64_t FileSizeOf(const std::string& name);
// Deletes a folder tree; refuses an empty path, the root and the home folder.
bool DeleteFolder(const std::string& path);

// The Windows version code the suite tests (4 for the NT family at major
// version 4 or lower, 5 for 2000, 6 for XP, -1 for anything else).  This
// system reports the code of no Windows version, so it is -1.
int WindowsVersionCode();

// Raised by ExecApp when a program cannot be started; the message is the
// system's sentence for the failure.
class EExecAppError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A started process.  Id 0 means none.
struct ProcessHandle {
    long id = 0;
};

// Starts a program with its parameters (split at blanks, double quotes
// grouping).  Throws EExecAppError when it cannot be started.
ProcessHandle ExecApp(const std::string& file, const std::string& parameters);
// Returns when the process has ended, the wait fails, or the application is
// quitting; GUI events are processed every 100 ms meanwhile.
void WaitForProcess(ProcessHandle process);
// Serves GUI events for the given time (or until the application quits).
void PauseWithMessages(std::uint32_t ms);

// The data-area lock file in the data folder, held for the process's life.
// LockDataArea holds it shared (true when the data folder does not exist);
// LockDataAreaExclusive succeeds only when no other program holds it.
bool LockDataArea();
bool LockDataAreaExclusive();
// Lets go of the lock and deletes the file when nobody else holds it.
void UnlockDataArea();
// Lets go of the lock, keeping the file.
void ReleaseDataAreaLock();

// Constant tables for the suite's programs.
inline constexpr std::array<std::string_view, 10> kImageFileExtensions = {
    "", ".BMP", ".GIF", ".JPG", ".PCX", ".PNG", ".TGA", ".TIF", ".ICO", ".JPEG"};
inline constexpr std::array<std::string_view, 10> kTreatmentCategories = {
    "(none)", "Examination", "Scale & Polish", "Fillings", "Periodontal Treatment",
    "Crowns", "Bridges",     "Dentures",       "Inlays",   "RCT"};

}  // namespace kvo::common
