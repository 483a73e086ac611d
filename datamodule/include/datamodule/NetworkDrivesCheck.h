// The network drive step of the start-up.  Practices often keep the data
// folder on a server share behind a drive letter.  While the data drive is a
// connected network drive, the connection is recorded in section [Network]
// of the installation INI file; when the letter is later found unmapped, the
// record is used to reconnect it before start-up goes on; on a local disk the
// record is dropped.
//
// Error contract: a drive that cannot be reached is told to the user here
// and the step answers EndProcess; the caller then ends the process at once.
// An installation INI file that cannot be read or written back raises
// EIniFileError.
#pragma once

#include <string>

#include "platform/DriveMap.h"

namespace kvo::datamodule {

// The data drive as the start-up works on it: the drive key's value without
// a trailing backslash ("S:", "\\SRV\DATA"), its upper-case copy, and the
// drive type found for that copy.
struct TDataDrive {
    std::string drive;
    std::string upper;
    platform::DriveType type = platform::DriveType::Unknown;

    // Strips one trailing backslash, upper-cases, and asks the drive map for
    // the type (a "\\server\share" path is remote while its folder exists).
    static TDataDrive FromSetting(const std::string& value);
};

enum class [[nodiscard]] TStartupVerdict{GoOn, EndProcess};

// Records, drops or reconnects according to the drive type, through the
// process's network connections (platform::CurrentNetworkDrives()), on the
// installation INI file named by common::Settings().installIni.
TStartupVerdict CheckNetworkDrive(const TDataDrive& dataDrive);

// How a share is named to the user: "\\SRV\DATA" reads "DATA on 'SRV'"; a
// path without a backslash after its first two characters is kept as it is.
std::string ShareDisplayName(const std::string& remotePath);

}  // namespace kvo::datamodule
