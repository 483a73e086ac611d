#include "datamodule/DataFolders.h"

#include <filesystem>
#include <system_error>

#include "common/CommonHelpers.h"
#include "datamodule/PracticeSettings.h"
#include "engine/engine.h"
#include "platform/DriveMap.h"
#include "platform/Ini.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace kvo::datamodule {
namespace {

std::string Local(const std::string& windowsPath) {
    return platform::DriveMap().ToLocal(windowsPath);
}

bool IsFile(const std::string& local) {
    std::error_code ec;
    return !local.empty() && fs::is_regular_file(local, ec);
}

// Copies without ever replacing the target, and without leaving a partial
// target behind: a half-written copy would be taken for a good one by every
// later start, which only copies when the target is missing.  The copy is
// written beside the target and linked into place, which fails when the
// target has appeared meanwhile.
bool CopyWithoutOverwrite(const std::string& from, const std::string& to) {
    std::error_code ec;
    if (from.empty() || to.empty() || fs::exists(fs::symlink_status(to, ec))) return false;
    const fs::path target(to);
    const fs::path temp = target.parent_path() / ("." + target.filename().string() + ".copying");
    if (!fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec)) {
        fs::remove(temp, ec);
        return false;
    }
    bool placed = false;
    std::error_code linkError;
    fs::create_hard_link(temp, target, linkError);
    if (!linkError) {
        placed = true;
    } else if (linkError != std::errc::file_exists && !fs::exists(fs::symlink_status(target, ec))) {
        // File systems without hard links (some network shares): a rename
        // after the check, the best they offer.
        fs::rename(temp, target, ec);
        placed = !ec;
    }
    fs::remove(temp, ec);
    return placed;
}

// The practice's tables are present: the engine keeps them in one file of
// the "Data" subfolder; a table file of the old layout counts as well.
bool PracticeTablesPresent(const std::string& dataFolder) {
    return IsFile(Local(dataFolder + "Data\\" + engine::kDatabaseFileName)) ||
           IsFile(Local(dataFolder + "Data\\CONTROL.DB"));
}

// Leaves the control table closed and keyed by Name, whatever happened.
class ControlTableReset {
  public:
    explicit ControlTableReset(engine::TTable& table) : table_(table) {}
    ~ControlTableReset() {
        try {
            table_.Close();
        } catch (...) {
        }
        try {
            table_.SetIndexFieldNames("Name");
        } catch (...) {
        }
    }
    ControlTableReset(const ControlTableReset&) = delete;
    ControlTableReset& operator=(const ControlTableReset&) = delete;

  private:
    engine::TTable& table_;
};

void NoteClaimInPracticeIni(const std::string& dataFolder) {
    const std::string path = PracticeIniPath(dataFolder);
    const std::string local = Local(path);
    platform::IniFile ini;
    if (local.empty() || !ini.Load(local)) throw EIniFileError("Unable to read " + path);
    // Every workstation passes here at every start; rewriting an unchanged
    // file would only widen the window in which two of them race.
    const std::string& section = common::Settings().productFolder;
    if (ini.Value(section, "Claim") == "1") return;
    ini.WriteBool(section, "Claim", true);
    if (!ini.Save(local)) throw EIniFileError("Unable to write to " + path);
}

// Whether the offer is due: either table missing, or both empty.
bool PracticeLooksEmpty() {
    engine::TTable patient, user;
    patient.SetDatabaseName("KVO");
    patient.SetTableName("PATIENT");
    user.SetDatabaseName("KVO");
    user.SetTableName("USER");
    if (!patient.Exists() || !user.Exists()) return true;
    patient.Open();
    const bool noPatients = patient.IsEmpty();
    patient.Close();
    user.Open();
    const bool noUsers = user.IsEmpty();
    user.Close();
    return noPatients && noUsers;
}

}  // namespace

std::string BootProgramName(const common::LibrarySettings& names) {
    return names.secondLine ? "RUL_BOOT.EXE" : "KVO_BOOT.EXE";
}

TStartupVerdict TakeDataAreaLock() {
    common::StartupCheckpoint(9.14);
    if (common::LockDataArea()) return TStartupVerdict::GoOn;
    common::ShowMessageBox(std::string(kPackingMessage), common::kMbError);
    return TStartupVerdict::EndProcess;
}

void CreateDataFolderTree(const std::string& dataFolder) {
    common::StartupCheckpoint(9.15);
    for (std::string_view folder : kDataFolderTree) {
        try {
            const std::string local = Local(dataFolder + std::string(folder));
            std::error_code ec;
            if (!local.empty()) fs::create_directories(local, ec);
        } catch (...) {
        }
    }
    try {
        const std::string lock = Local(dataFolder + "Lock");
        if (!lock.empty())
            platform::SetFileAttributes(lock, platform::kAttrHidden | platform::kAttrSystem);
    } catch (...) {
    }
}

std::string PrivateFolderText(std::string_view root, std::string_view user,
                              std::string_view program) {
    std::string text(root);
    text += user.empty() ? std::string_view("User") : user;
    text += '\\';
    text += program;
    text += '\\';
    std::erase(text, '\'');
    return text;
}

std::string CreatePrivateFolder() {
    common::StartupCheckpoint(9.16);
    const std::string text = PrivateFolderText(common::Settings().privateRoot,
                                               common::UserNameText(), common::ProgramBaseName());
    try {
        const std::string local = Local(text);
        std::error_code ec;
        if (!local.empty()) fs::create_directories(local, ec);
    } catch (...) {
    }
    std::string shortForm = common::ShortPathName(text);
    if (!shortForm.empty()) {
        try {
            const std::string local = Local(shortForm);
            std::error_code ec;
            if (!local.empty()) fs::current_path(local, ec);
        } catch (...) {
        }
    }
    return shortForm;
}

TControlTableResult ControlTableStep(const std::string& dataFolder, engine::TTable& Control_Table) {
    TControlTableResult result;
    if (!PracticeTablesPresent(dataFolder)) return result;
    ControlTableReset reset(Control_Table);
    try {
        if (Control_Table.Exists()) {
            Control_Table.SetIndexFieldNames("");
            Control_Table.Open();
            Control_Table.UpdateFieldDefs();
            if (Control_Table.FindField("Name") != nullptr) {
                result.claimFound = Control_Table.Locate("Name", std::string("Claim"));
                const bool newClaim = PracticeSettings().newClaim;
                if (result.claimFound && !newClaim) NoteClaimInPracticeIni(dataFolder);
                if (newClaim && !result.claimFound) {
                    Control_Table.Append();
                    Control_Table.FieldByName("Name").SetAsString("Claim");
                    Control_Table.Post();
                    result.claimFound = true;
                }
            }
        }
    } catch (const engine::EDBEngineError& e) {
        // The packing program is the cure for a damaged table; it must be
        // able to start over one.
        if (common::ProgramBaseName().find("PACK") != std::string::npos) return result;
        common::ShowMessageBox(std::string(kPackDatabasesMessage) + e.what(), common::kMbError);
        common::UnlockDataArea();
        result.verdict = TStartupVerdict::EndProcess;
    }
    return result;
}

void AddFirstClaimRow(engine::TTable& User_Table, engine::TTable& Control_Table, bool claimFound) {
    if (claimFound) return;
    try {
        std::int64_t largest = 0;
        User_Table.Open();
        try {
            for (User_Table.First(); !User_Table.Eof(); User_Table.Next()) {
                const std::int64_t form = User_Table.FieldByName("Form").AsInteger();
                if (form > largest) largest = form;
            }
        } catch (...) {
            User_Table.Close();
            throw;
        }
        User_Table.Close();
        Control_Table.Open();
        try {
            Control_Table.Append();
            Control_Table.FieldByName("Name").SetAsString("Claim");
            Control_Table.FieldByName("Number").SetAsInteger(largest);
            Control_Table.Post();
        } catch (...) {
            try {
                if (Control_Table.State() == engine::TDataSetState::Insert) Control_Table.Cancel();
            } catch (...) {
            }
            Control_Table.Close();
            throw;
        }
        Control_Table.Close();
    } catch (...) {
    }
}

void OfferDemoDatabase() {
    try {
        const std::string installer =
            common::Settings().installFolder + std::string(kDemoDatabaseProgram);
        if (!IsFile(Local(installer))) return;
        if (!PracticeLooksEmpty()) return;
        if (common::ShowMessageBox(std::string(kDemoDatabaseQuestion), common::kMbWarningYesNo) !=
            common::kIdYes)
            return;
        const std::string today = common::DateTextYMD(common::CurrentClock().Now());
        common::WaitForProcess(common::ExecApp(installer, "/AUTO /" + today));
    } catch (...) {
    }
}

void CopyFeeTable(const std::string& dataFolder) {
    try {
        const std::string from = Local(dataFolder + "Data\\PRV_FEE.DB");
        const std::string to = Local(dataFolder + "Bin\\PRV_FEE.DB");
        if (IsFile(from)) CopyWithoutOverwrite(from, to);
    } catch (...) {
    }
}

void CopyBootProgram(const std::string& dataFolder) {
    common::StartupCheckpoint(9.29);
    try {
        const std::string name = BootProgramName();
        const std::string installed = Local(common::Settings().installFolder + name);
        const std::string source = Local(dataFolder + name);
        std::error_code ec;
        if (installed.empty() || fs::exists(fs::symlink_status(installed, ec))) return;
        if (IsFile(source)) CopyWithoutOverwrite(source, installed);
    } catch (...) {
    }
}

}  // namespace kvo::datamodule
