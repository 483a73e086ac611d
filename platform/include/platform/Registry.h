// A small registry with the Windows model: hives, keys named by
// backslash-separated paths (compared without case), and string or integer
// values.  Each hive is one INI-style file in the registry folder
// ($KESTAVO_REGISTRY, else $XDG_CONFIG_HOME/kestavo/registry/), one section per
// key; values are written "name=s:text" or "name=i:123", strings with "\\",
// "\r" and "\n" escaped; the key's unnamed value is "@".
//
// Values of the "Run" key of HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER are
// mirrored as XDG autostart entries (<autostart folder>/<name>.desktop), which
// is what starts a program with the session; the value's command (a Windows
// path, quoted or not, and its parameters) is translated through the drive map.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DriveMap.h"

namespace kvo::platform {

enum class Hive { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// "HKEY_LOCAL_MACHINE" and so on.
const char* HiveName(Hive hive);

inline constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

enum class ValueKind { None, String, Integer };

class RegistryStore {
  public:
    static std::string DefaultFolder();
    static std::string DefaultAutostartFolder();  // $XDG_CONFIG_HOME/autostart

    explicit RegistryStore(std::string folder = DefaultFolder(),
                           std::string autostartFolder = DefaultAutostartFolder(),
                           DriveMap drives = DriveMap());

    // Creates the key and its missing parents; true when it exists afterwards.
    // A key name may not be empty or hold "]", "[", control characters or
    // empty path components.
    bool CreateKey(Hive hive, std::string_view key);
    bool KeyExists(Hive hive, std::string_view key) const;
    // Deletes the key with its subkeys and values; false when it did not exist.
    bool DeleteKey(Hive hive, std::string_view key);
    std::vector<std::string> SubKeys(Hive hive, std::string_view key) const;

    // Writing to a missing key fails (the Windows call needs an open key).
    bool WriteString(Hive hive, std::string_view key, std::string_view name,
                     std::string_view value);
    bool WriteInteger(Hive hive, std::string_view key, std::string_view name, std::int32_t value);
    // nullopt when missing or of the other kind.
    std::optional<std::string> ReadString(Hive hive, std::string_view key,
                                          std::string_view name) const;
    std::optional<std::int32_t> ReadInteger(Hive hive, std::string_view key,
                                            std::string_view name) const;
    ValueKind KindOf(Hive hive, std::string_view key, std::string_view name) const;
    bool DeleteValue(Hive hive, std::string_view key, std::string_view name);
    std::vector<std::string> ValueNames(Hive hive, std::string_view key) const;

    // The autostart entry a Run value of that name is mirrored to.
    std::string AutostartFile(std::string_view name) const;

  private:
    std::string HiveFile(Hive hive) const;
    // The stored text of a value whose kind tag ("s:" or "i:") matches,
    // without the tag; nullopt when absent or of the other kind.
    std::optional<std::string> ReadTagged(Hive hive, std::string_view key, std::string_view name,
                                          std::string_view tag) const;
    bool IsRunKey(Hive hive, std::string_view key) const;
    bool WriteValue(Hive hive, std::string_view key, std::string_view name, std::string stored,
                    std::string* spelling);
    bool MirrorRun(std::string_view name, std::string_view command) const;
    void UnmirrorRun(std::string_view name) const;

    std::string folder_;
    std::string autostart_;
    DriveMap drives_;
};

// The Exec= line of a desktop entry for a Windows command line "\"C:\\a b\\x.exe\"
// /p": the program translated through the drive map, each argument quoted as
// the desktop entry rules require.  Empty when the program's drive is not mapped.
std::string DesktopExecLine(std::string_view windowsCommand, const DriveMap& drives);

}  // namespace kvo::platform
