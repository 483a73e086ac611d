// Small facts about the system and the user that the shared library reports
// or builds paths from.  Texts are empty when the fact cannot be had.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvo::platform {

std::string UserName();  // login name of the effective user
std::string HostName();
std::string ExecutablePath();  // of this process
std::string HomeFolder();      // $HOME, else the password entry's
// Whether standard error is a terminal, i.e. somebody watches progress there.
bool StandardErrorIsTerminal();
// strerror of an errno value; empty for a code the system has no text for.
std::string ErrorText(int error);

// Bytes free for this user on the file system holding the path.
std::optional<std::uint64_t> FreeDiskSpace(const std::string& localPath);

// The system-wide configuration folder that stands for the Windows folder:
// $KESTAVO_SYSCONF, else /etc/kestavo/; always ends in "/".
std::string WindowsFolder();
// Shell folders: application data $XDG_CONFIG_HOME (default ~/.config), local
// data $XDG_DATA_HOME (default ~/.local/share); no final "/".
std::string ConfigHome();
std::string DataHome();

// Hidden and system attributes.  Linux has no place for them on a file, so
// they are kept in a ".attributes" file of the parent folder, one line per
// name; only the suite reads them.
enum FileAttribute : unsigned { kAttrHidden = 2, kAttrSystem = 4 };
// False when the file does not exist, its name cannot be recorded or the
// record cannot be written.
bool SetFileAttributes(const std::string& localPath, unsigned attributes);
unsigned FileAttributes(const std::string& localPath);

// Deletes a folder and everything in it.  Refuses (false) an empty path,
// "/", the home folder and any folder holding it, whatever spelling reaches
// them (".." and symbolic links are resolved first).
bool DeleteTree(const std::string& localPath);

// Connected: a default route exists on an interface that is up.
bool IsConnected();
// The same decision over a route table text (the /proc/net/route layout) and
// the folder holding the interfaces' "flags" files (/sys/class/net).
bool IsConnected(std::string_view routeTable, const std::string& interfacesFolder);

}  // namespace kvo::platform
