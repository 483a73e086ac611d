// Drive letters and "\\server\share" names of the suite's Windows paths,
// mapped onto Linux folders by one INI file shared by every program:
//
//   [C]                      (the colon may be written: [C:])
//   Path=/srv/kestavo/c      the folder the drive stands for
//   Type=fixed               fixed|remote|removable|cdrom|ramdisk (default fixed)
//   Label=SYSTEM             volume label
//   Remote=\\server\share    the share a remote drive stands for
//   Subst=C:\Sites\One       present on substitute drives: the folder given
//   [UNC]
//   \\server\share=/mnt/share
//
// The file is read afresh by every call, since other programs of the suite
// change it (substitute drives) while this one runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvo::platform {

// Numbered as the Windows drive-type query answers, which callers may store.
enum class DriveType {
    Unknown = 0,
    NoRootDir = 1,  // not in the map, or a fixed/remote/RAM drive whose folder is missing
    Removable = 2,
    Fixed = 3,
    Remote = 4,
    CdRom = 5,
    RamDisk = 6,
};

struct DriveEntry {
    char letter = 0;  // upper case
    std::string folder;
    DriveType type = DriveType::Fixed;
    // The folder exists.  A removable or CD drive without it has no medium;
    // its type stays what the map says.
    bool rootExists = false;
    std::string label;
    std::string remote;
    std::string substitute;  // Windows path of a substitute drive's folder
};

class DriveMap {
  public:
    // The map file: $KESTAVO_DRIVES, else $XDG_CONFIG_HOME/kestavo/drives.ini.
    static std::string DefaultFile();
    // Folder of C: when the map has none: $XDG_DATA_HOME/kestavo/C.
    static std::string DefaultSystemDrive();

    // Without a file, DefaultFile() is looked up at every call, so a change
    // of the environment is followed.
    explicit DriveMap(std::string file = {}) : file_(std::move(file)) {}
    std::string file() const { return file_.empty() ? DefaultFile() : file_; }

    // nullopt when the letter is not a letter or not in the map (C: always is).
    std::optional<DriveEntry> Drive(char letter) const;
    // Every mapped letter, A to Z.
    std::vector<DriveEntry> Drives() const;
    DriveType TypeOf(char letter) const;
    std::string VolumeLabel(char letter) const;  // empty when none
    std::string RemoteName(char letter) const;   // empty when none

    // Adds or replaces a drive's entry; false when the map cannot be written.
    bool SetDrive(const DriveEntry& entry);
    bool RemoveDrive(char letter);

    // A substitute drive stands for a folder given as a Windows path of a
    // drive that is mapped.  A drive that is not a substitute (C: among them)
    // is never replaced by one.
    bool MapSubstitute(char letter, const std::string& windowsFolder);
    // False when the letter is not a substitute drive.
    bool UnmapSubstitute(char letter);
    std::string SubstituteTarget(char letter) const;  // empty when not a substitute

    // Share ("\\server\share", any case, "/" or "\") to folder.
    bool SetShare(const std::string& share, const std::string& folder);
    std::string ShareFolder(const std::string& share) const;

    // The Linux path of a Windows path: "X:\..." through the drive, "\\server
    // \share\..." through [UNC]; "/" or "\" separate, existing components are
    // matched without case.  A Linux absolute path is returned unchanged, a
    // relative one as written with "\" turned into "/".  Empty when the drive
    // or share is not mapped.
    std::string ToLocal(std::string_view windowsPath) const;

  private:
    std::string file_;
};

// base joined with the components of rest ("\" or "/" separated): each
// component that names an existing entry under a different case takes that
// entry's spelling; the others are taken as written.  "." and empty
// components are dropped; ".." is kept as written.
std::string ResolveCase(const std::string& base, std::string_view rest);

}  // namespace kvo::platform
