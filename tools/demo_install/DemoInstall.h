// A complete demonstration installation in one folder: a drive map with
// drive C: and a data drive, the installation INI file naming the data
// drive, and the data folder holding a generated practice.  Pointing the
// platform's environment at the folder (Environment()) makes a program of
// the suite start as on a workstation that has been set up, without
// touching the user's own configuration.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvo::demo {

struct TDemoInstallOptions {
    std::string root;
    // No installation INI file: the practice is on the data drive, but a
    // program starts as on a new workstation and asks for its data drive.
    bool empty = false;
    int dentists = 5;
    int years = 3;  // of books before today; one year follows it
    std::uint64_t seed = 1;
    std::string today;  // DD/MM/YYYY; empty: the computer's date
};

// Where everything lies below the root.
struct TDemoLayout {
    std::string drivesFile;      // the drive map
    std::string driveC;          // folder of C:
    std::string dataDriveRoot;   // folder of the data drive
    std::string installIni;      // C:\Kestavo\KVO.INI
    std::string dataFolder;      // <data drive>:\Kestavo\ as a Linux folder
    std::string registryFolder;  // the registry store
    std::string sysconfFolder;   // the Windows folder's counterpart
    std::string configHome;      // XDG_CONFIG_HOME (autostart entries)
    std::string dataHome;        // XDG_DATA_HOME
    std::string completeMarker;  // written once the installation is complete
};

inline constexpr char kDemoDataDrive = 'P';

TDemoLayout DemoLayout(const std::string& root);

// The environment variables that point the platform at the installation.
std::vector<std::pair<std::string, std::string>> DemoEnvironment(const std::string& root);

// Creates the installation; a root that holds a complete one is left as it
// is (false), anything else is (re)made (true).  Raises std::runtime_error
// with a message for the user.
bool CreateDemoInstallation(const TDemoInstallOptions& options);

}  // namespace kvo::demo
