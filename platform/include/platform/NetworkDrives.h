// Drive letters connected to network shares.  A connected letter is a drive
// map entry of type remote whose Remote= names the share; connecting finds
// the share's folder ([UNC] of the drive map, else a desktop mount of
// smb://server/share through "gio mount") and writes that entry.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/DriveMap.h"

namespace kvo::platform {

class NetworkDrives {
  public:
    virtual ~NetworkDrives() = default;
    // The share a letter is connected to; nullopt when the letter is not a
    // network connection.
    virtual std::optional<std::string> RemoteName(char letter) = 0;
    // Drops every letter connected to the share.  0, or an errno value.
    virtual int Cancel(const std::string& share) = 0;
    // Connects the letter to the share ("\\server\share").  0 when the letter
    // now reaches the share's folder, else an errno value; on failure the
    // drive map is left as it was.
    virtual int Connect(char letter, const std::string& share) = 0;
};

class LinuxNetworkDrives : public NetworkDrives {
  public:
    // Mounts a URL for the desktop and returns the folder it is reached at,
    // or an errno value.  The default runs "gio mount" and gives the gvfs
    // folder under $XDG_RUNTIME_DIR.
    struct Mounted {
        std::string folder;
        int error = 0;
    };
    using Mounter = std::function<Mounted(const std::string& url)>;

    explicit LinuxNetworkDrives(DriveMap drives = DriveMap(), Mounter mounter = GioMounter(60000));

    std::optional<std::string> RemoteName(char letter) override;
    int Cancel(const std::string& share) override;
    int Connect(char letter, const std::string& share) override;

    static Mounter GioMounter(int timeoutMs);
    // "\\Server\Share" -> "smb://server/share"; empty when not a share name.
    static std::string ShareUrl(const std::string& share);

  private:
    DriveMap drives_;
    Mounter mounter_;
};

// The process-wide connections (a LinuxNetworkDrives until replaced).
NetworkDrives& CurrentNetworkDrives();
// Installs connections (nullptr: the default) and returns the previous one.
NetworkDrives* SetNetworkDrives(NetworkDrives* drives);

}  // namespace kvo::platform
