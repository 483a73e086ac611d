#include "DemoInstall.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "DemoPractice.h"
#include "platform/DriveMap.h"
#include "platform/Ini.h"

namespace fs = std::filesystem;

namespace kvo::demo {
namespace {

void MakeFolder(const std::string& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw std::runtime_error("cannot create \"" + folder + "\": " + ec.message());
}

}  // namespace

TDemoLayout DemoLayout(const std::string& root) {
    const fs::path r = fs::absolute(root).lexically_normal();
    TDemoLayout l;
    l.drivesFile = (r / "drives.ini").string();
    l.driveC = (r / "C").string();
    l.dataDriveRoot = (r / std::string(1, kDemoDataDrive)).string();
    l.installIni = (r / "C" / "Kestavo" / "KVO.INI").string();
    l.dataFolder = (r / std::string(1, kDemoDataDrive) / "Kestavo").string();
    l.registryFolder = (r / "registry").string();
    l.sysconfFolder = (r / "etc").string();
    l.configHome = (r / "config").string();
    l.dataHome = (r / "data").string();
    l.completeMarker = (r / ".complete").string();
    return l;
}

std::vector<std::pair<std::string, std::string>> DemoEnvironment(const std::string& root) {
    const TDemoLayout l = DemoLayout(root);
    return {{"KESTAVO_DRIVES", l.drivesFile},
            {"KESTAVO_REGISTRY", l.registryFolder},
            {"KESTAVO_SYSCONF", l.sysconfFolder},
            {"XDG_CONFIG_HOME", l.configHome},
            {"XDG_DATA_HOME", l.dataHome}};
}

bool CreateDemoInstallation(const TDemoInstallOptions& options) {
    if (options.root.empty()) throw std::runtime_error("no installation folder given");
    const TDemoLayout l = DemoLayout(options.root);
    std::error_code ec;
    if (fs::exists(l.completeMarker, ec)) return false;
    for (const std::string& folder :
         {l.driveC, l.dataDriveRoot, l.registryFolder, l.sysconfFolder, l.configHome, l.dataHome})
        MakeFolder(folder);
    MakeFolder((fs::path(l.driveC) / "Kestavo").string());

    platform::DriveMap drives(l.drivesFile);
    platform::DriveEntry c;
    c.letter = 'C';
    c.folder = l.driveC;
    c.label = "SYSTEM";
    platform::DriveEntry data;
    data.letter = kDemoDataDrive;
    data.folder = l.dataDriveRoot;
    data.label = "DATA";
    if (!drives.SetDrive(c) || !drives.SetDrive(data))
        throw std::runtime_error("cannot write the drive map \"" + l.drivesFile + "\"");

    if (!options.empty) {
        platform::IniFile ini;
        if (!ini.Load(l.installIni))
            throw std::runtime_error("cannot read \"" + l.installIni + "\"");
        ini.WriteString("Kestavo", "WD", std::string(1, kDemoDataDrive) + ":");
        if (!ini.Save(l.installIni))
            throw std::runtime_error("cannot write \"" + l.installIni + "\"");
    }

    MakeFolder(l.dataFolder);
    const fs::path tables = fs::path(l.dataFolder) / "Data" / engine::kDatabaseFileName;
    if (!fs::exists(tables, ec)) {
        TDemoOptions practice;
        practice.out = l.dataFolder;
        practice.dentists = options.dentists;
        practice.years = options.years;
        practice.seed = options.seed;
        practice.today = options.today;
        CreateDemoPractice(practice);
    }
    std::ofstream marker(l.completeMarker);
    if (!marker) throw std::runtime_error("cannot write \"" + l.completeMarker + "\"");
    return true;
}

}  // namespace kvo::demo
