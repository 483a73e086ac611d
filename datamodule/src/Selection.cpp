#include "datamodule/Selection.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/CommonHelpers.h"
#include "datamodule/SelectionDialogs.h"
#include "platform/DriveMap.h"

namespace kvo::datamodule {
namespace fs = std::filesystem;
namespace {

TSelectionDialogs* gDialogs = nullptr;

// The practice INI file of drive C:, where a multi-site computer names its sites.
std::string DriveCPracticeIni() {
    const auto& s = common::Settings();
    return "C:" + s.ProductSegment() + s.practiceIniName;
}

// Missing or unreadable files read as empty, as the system's profile
// routines answer defaults for them.
platform::IniFile LoadOrEmpty(const std::string& windowsPath) {
    platform::IniFile ini;
    const std::string local = platform::DriveMap().ToLocal(windowsPath);
    if (!local.empty() && !ini.Load(local)) ini.Parse("");
    return ini;
}

}  // namespace

std::string& DataDrive() {
    static std::string drive;
    return drive;
}

// ---- installation INI file -----------------------------------------------------

TInstallIni::TInstallIni(std::string windowsPath)
    : path_(std::move(windowsPath)), local_(platform::DriveMap().ToLocal(path_)) {
    if (local_.empty() || !ini_.Load(local_)) throw EIniFileError("Unable to read " + path_);
}

void TInstallIni::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
    platform::IniFile changed = ini_;
    changed.WriteString(section, key, value);
    if (!changed.Save(local_)) throw EIniFileError("Unable to write to " + path_);
    ini_ = std::move(changed);
}

// ---- dialogs -------------------------------------------------------------------

TSelectionDialogs& CurrentSelectionDialogs() {
    static QtSelectionDialogs qt;
    return gDialogs ? *gDialogs : qt;
}

TSelectionDialogs* SetSelectionDialogs(TSelectionDialogs* dialogs) {
    TSelectionDialogs* previous = gDialogs ? gDialogs : &CurrentSelectionDialogs();
    gDialogs = dialogs;
    return previous;
}

std::optional<int> ScriptedSelectionDialogs::ChooseFromList(const std::string& title,
                                                            const std::vector<std::string>& items) {
    lists_.push_back({title, items});
    if (listAnswers_.empty()) return std::nullopt;
    int answer = listAnswers_.front();
    listAnswers_.pop_front();
    if (answer < 0) return std::nullopt;
    return answer;
}

bool ScriptedSelectionDialogs::RunDataDriveDialog() {
    ++dataDriveDialogs_;
    while (!drivePresses_.empty()) {
        std::optional<std::string> press = drivePresses_.front();
        drivePresses_.pop_front();
        if (!press) return false;
        try {
            ConfirmDataDrive(*press);
            return true;
        } catch (const common::ESilentAbort&) {
            // The warning has been shown; the dialog stays open for the next press.
        }
    }
    return false;
}

// ---- selections ----------------------------------------------------------------

void SelectDatabase(TInstallIni& ini) {
    const std::vector<std::string> keys = ini.ini().Keys("Databases");
    if (keys.size() < 2) return;
    std::optional<int> chosen = CurrentSelectionDialogs().ChooseFromList("Select Database", keys);
    if (!chosen || *chosen < 0 || static_cast<std::size_t>(*chosen) >= keys.size()) return;
    const std::string value = ini.ini().ReadString("Databases", keys[*chosen], "");
    // The product line's own drive key: the second line reads its data drive
    // from "WB", so a choice written to "WD" would be ignored.
    const auto& s = common::Settings();
    ini.WriteString(s.productFolder, s.driveKey, value);
}

void ConfirmDataDrive(const std::string& selectedEntry) {
    if (selectedEntry.empty()) common::ShowErrorAndAbort("You must select a drive");
    DataDrive() = selectedEntry.substr(0, 2);
    const auto& s = common::Settings();
    TInstallIni ini;
    ini.WriteString(s.productFolder, s.driveKey, DataDrive());
}

bool SelectDataDrive() {
    return CurrentSelectionDialogs().RunDataDriveDialog();
}

int MultiSiteCount() {
    const std::string local = platform::DriveMap().ToLocal(DriveCPracticeIni());
    std::error_code ec;
    if (local.empty() || !fs::exists(local, ec)) return 0;
    return LoadOrEmpty(DriveCPracticeIni()).ReadInteger("MultiSite", "Count", 0);
}

std::vector<std::string> SiteNames(int count) {
    std::vector<std::string> names;
    if (count <= 0) return names;
    const platform::IniFile ini = LoadOrEmpty(DriveCPracticeIni());
    for (int n = 1; n <= count; ++n) {
        const std::string number = std::to_string(n);
        names.push_back(ini.ReadString("MultiSite", "Name" + number, "Site" + number));
    }
    return names;
}

std::string SiteFolder(int site) {
    return "C:" + common::Settings().ProductSegment() + "MultiSite\\" + std::to_string(site);
}

void SelectSite(int count) {
    // A negative count is a damaged file, not a list of sites: nothing to pick.
    if (count <= 0) return;
    count = std::min(count, kMaxSites);
    std::optional<int> chosen =
        CurrentSelectionDialogs().ChooseFromList("Select Site", SiteNames(count));
    const int site = chosen && *chosen >= 0 && *chosen < count ? *chosen + 1 : 0;

    const std::string folder = SiteFolder(site);
    const std::string local =
        platform::DriveMap().ToLocal(folder + "\\" + common::Settings().productFolder);
    std::error_code ec;
    if (!local.empty()) fs::create_directories(local, ec);

    if (!common::SubstituteDriveTarget('S').empty()) common::UnmapSubstituteDrive('S');
    common::MapSubstituteDrive('S', folder);
    DataDrive() = "S:";
}

}  // namespace kvo::datamodule
