#include "datamodule/NetworkDrivesCheck.h"

#include <cstdint>
#include <filesystem>
#include <optional>

#include "common/Common.h"
#include "common/CommonHelpers.h"
#include "datamodule/PracticeSettings.h"
#include "platform/Ini.h"
#include "platform/NetworkDrives.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace kvo::datamodule {
namespace {

constexpr const char* kSection = "Network";

bool IsLetterDrive(const std::string& upper) {
    return upper.size() == 2 && upper[1] == ':' && upper[0] >= 'A' && upper[0] <= 'Z';
}

bool IsNetworkPath(const std::string& upper) {
    return upper.rfind("\\\\", 0) == 0;
}

// "\\server\share" with nothing after the share.
bool IsShareRoot(const std::string& upper) {
    if (!IsNetworkPath(upper)) return false;
    auto sep = upper.find('\\', 2);
    return sep != std::string::npos && sep > 2 && sep + 1 < upper.size() &&
           upper.find('\\', sep + 1) == std::string::npos;
}

bool FolderExists(const std::string& windowsPath) {
    std::string local = platform::DriveMap().ToLocal(windowsPath);
    std::error_code ec;
    return !local.empty() && std::filesystem::is_directory(local, ec);
}

// Where the connection details of a drive letter are kept in the user's
// registry.  Only the Windows NT family kept them elsewhere ("Network").
std::string ConnectionKey(char letter) {
    return std::string("Network\\Persistent\\") + letter;
}

// The installation INI file, read through and written back at once, as
// every start-up step treats it.
class InstallIni {
  public:
    InstallIni()
        : path_(common::Settings().installIni), local_(platform::DriveMap().ToLocal(path_)) {
        if (local_.empty() || !ini_.Load(local_)) throw EIniFileError("Unable to read " + path_);
    }
    platform::IniFile& ini() { return ini_; }
    void Save() {
        if (!ini_.Save(local_)) throw EIniFileError("Unable to write to " + path_);
    }

  private:
    std::string path_, local_;
    platform::IniFile ini_;
};

struct ConnectionRecord {
    std::string drive, providerName, remotePath, userName;
    std::int32_t connectionType = 0, providerType = 0;
};

ConnectionRecord RecordOf(const TDataDrive& d) {
    ConnectionRecord r;
    if (IsNetworkPath(d.upper)) {
        r.remotePath = d.upper;
        return r;
    }
    const char letter = d.upper.empty() ? '\0' : d.upper[0];
    r.drive = std::string(1, letter);
    auto remote = platform::CurrentNetworkDrives().RemoteName(letter);
    r.remotePath = platform::UpperAscii(remote ? *remote : common::DriveRemoteName(letter));
    try {
        platform::RegistryStore registry;
        const auto hive = platform::Hive::CurrentUser;
        const std::string key = ConnectionKey(letter);
        if (registry.KeyExists(hive, key)) {
            if (auto v = registry.ReadString(hive, key, "ProviderName")) r.providerName = *v;
            if (auto v = registry.ReadString(hive, key, "UserName")) r.userName = *v;
            if (auto v = registry.ReadInteger(hive, key, "ConnectionType")) r.connectionType = *v;
            if (auto v = registry.ReadInteger(hive, key, "ProviderType")) r.providerType = *v;
        }
    } catch (...) {
        // The registry only adds detail to the record; the share is known.
    }
    return r;
}

TStartupVerdict RecordConnection(const TDataDrive& d) {
    common::StartupCheckpoint(9.112);
    ConnectionRecord r = RecordOf(d);
    InstallIni file;
    auto& ini = file.ini();
    ini.EraseSection(kSection);
    ini.WriteString(kSection, "Drive", r.drive);
    ini.WriteString(kSection, "ProviderName", r.providerName);
    ini.WriteString(kSection, "RemotePath", r.remotePath);
    ini.WriteString(kSection, "UserName", r.userName);
    ini.WriteInteger(kSection, "ConnectionType", r.connectionType);
    ini.WriteInteger(kSection, "ProviderType", r.providerType);
    file.Save();
    return TStartupVerdict::GoOn;
}

TStartupVerdict DropConnection() {
    common::StartupCheckpoint(9.111);
    InstallIni file;
    if (file.ini().EraseSection(kSection)) file.Save();
    return TStartupVerdict::GoOn;
}

TStartupVerdict Reconnect(const TDataDrive& d) {
    common::StartupCheckpoint(9.113);
    InstallIni file;
    const auto& ini = file.ini();
    const bool recorded = ini.SectionExists(kSection);
    const std::string drive = ini.ReadString(kSection, "Drive", "");
    const std::string remotePath = ini.ReadString(kSection, "RemotePath", "");

    if (recorded && !drive.empty()) {
        auto& connections = platform::CurrentNetworkDrives();
        // A stale connection to the share would make the new one fail.
        (void)connections.Cancel(remotePath);
        if (connections.Connect(drive[0], remotePath) != 0) {
            common::ShowMessageBox("The network drive " + ShareDisplayName(remotePath) + " (" +
                                       d.upper +
                                       ") can not be accessed.\r\rPlease restart computer to "
                                       "re-establish connection.",
                                   common::kMbError);
            return TStartupVerdict::EndProcess;
        }
        // Give the new connection a moment before the data folder is looked at.
        common::PauseWithMessages(1000);
        return TStartupVerdict::GoOn;
    }
    if (!recorded && !FolderExists(d.upper)) {
        common::ShowMessageBox("The drive \"" + d.upper + "\" can not be accessed.",
                               common::kMbError);
        return TStartupVerdict::EndProcess;
    }
    return TStartupVerdict::GoOn;
}

}  // namespace

TDataDrive TDataDrive::FromSetting(const std::string& value) {
    TDataDrive d;
    d.drive = value;
    if (!d.drive.empty() && d.drive.back() == '\\') d.drive.pop_back();
    d.upper = platform::UpperAscii(d.drive);
    if (IsLetterDrive(d.upper))
        d.type = platform::DriveMap().TypeOf(d.upper[0]);
    else if (IsShareRoot(d.upper))
        d.type =
            FolderExists(d.upper) ? platform::DriveType::Remote : platform::DriveType::NoRootDir;
    else
        // Only a drive's root has a type; any other path is not a root folder.
        d.type = platform::DriveType::NoRootDir;
    return d;
}

std::string ShareDisplayName(const std::string& remotePath) {
    if (remotePath.size() <= 2) return remotePath;
    auto sep = remotePath.find('\\', 2);
    if (sep == std::string::npos) return remotePath;
    return remotePath.substr(sep + 1) + " on '" + remotePath.substr(2, sep - 2) + "'";
}

TStartupVerdict CheckNetworkDrive(const TDataDrive& dataDrive) {
    switch (dataDrive.type) {
        case platform::DriveType::Remote:
            return RecordConnection(dataDrive);
        case platform::DriveType::Fixed:
            return DropConnection();
        case platform::DriveType::NoRootDir:
            return Reconnect(dataDrive);
        default:
            return TStartupVerdict::GoOn;
    }
}

}  // namespace kvo::datamodule
