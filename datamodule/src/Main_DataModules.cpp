#include "datamodule/Main_DataModules.h"

#include <QCoreApplication>
#include <QLocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/Common.h"
#include "common/CommonHelpers.h"
#include "common/Cypher.h"
#include "common/CypherTexts.h"
#include "datamodule/DataFolders.h"
#include "datamodule/NetworkDrivesCheck.h"
#include "datamodule/PracticeSettings.h"
#include "datamodule/Selection.h"
#include "platform/DriveMap.h"
#include "platform/Ini.h"
#include "platform/Registry.h"

namespace kvo::datamodule {
namespace fs = std::filesystem;
using common::StartupCheckpoint;

namespace {

// The program's base name compared without case, as Windows compares file names.
bool BaseNameIs(std::string_view name) {
    return platform::SameText(common::ProgramBaseName(), name);
}

std::string Local(const std::string& windowsPath) {
    return platform::DriveMap().ToLocal(windowsPath);
}

std::string TrayProgramName(const common::LibrarySettings& names) {
    return names.secondLine ? "RUL_TRAY.EXE" : "KVO_TRAY.EXE";
}

// A refusal happens before the main window exists and must end the program
// as if it had never started: no further box, no unwinding of other state.
void EndAtOnce() {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

TEndProcess& EndProcessFunction() {
    static TEndProcess end;
    return end;
}

void ReplaceFirst(std::string& text, std::string_view what, std::string_view with) {
    const auto at = text.find(what);
    if (at != std::string::npos) text.replace(at, what.size(), with);
}

}  // namespace

TProcessFormats& ProcessFormats() {
    static TProcessFormats formats;
    return formats;
}

void InitialiseMainDataModulesUnit() {
    StartupCheckpoint(0.21);
}

TEndProcess SetEndProcess(TEndProcess end) {
    TEndProcess previous = std::move(EndProcessFunction());
    EndProcessFunction() = std::move(end);
    return previous;
}

TFRM_Main_DataModules::TFRM_Main_DataModules(QObject* parent)
    : QObject(parent), KVO(engine::Session().Database("KVO")) {
    setObjectName(QStringLiteral("FRM_Main_DataModules"));
    struct {
        engine::TTable& table;
        const char* name;
    } const tables[] = {{Check_Table, ""},         {Control_Table, "CONTROL.DB"},
                        {Error_Table, "ERROR.DB"}, {Archive_Table, ""},
                        {User_Table, "USER.DB"},   {System_Table, "SYSTEM.DB"}};
    for (const auto& [table, name] : tables) {
        table.SetDatabaseName("KVO");
        table.SetTableName(name);
        table.BeforePost = [this](engine::TTable& t) { BeforePost(t); };
        table.AfterPost = [this](engine::TTable& t) { AfterPost(t); };
    }
    Control_Table.SetIndexFieldNames("Name");
    FRM_DataModulesCreate();
}

TFRM_Main_DataModules::~TFRM_Main_DataModules() {
    FRM_DataModulesDestroy();
}

void TFRM_Main_DataModules::EndProcess() {
    state_ = TState::Ended;
    if (const TEndProcess& end = EndProcessFunction())
        end();
    else
        EndAtOnce();
}

void TFRM_Main_DataModules::Refuse(const std::string& text) {
    common::ShowMessageBox(text, common::kMbError);
    EndProcess();
}

void TFRM_Main_DataModules::RegisterStartupPrograms() {
    // Starting with the session is a convenience; a store that cannot be
    // written must not keep the practice from working.
    try {
        const auto& names = common::Settings();
        platform::IniFile install;
        const std::string local = Local(names.installIni);
        if (local.empty() || !install.Load(local)) install.Parse("");
        const bool tray = install.ReadBool(names.productFolder, "Tray", true);
        const std::string boot = BootProgramName(names);
        const std::string trayProgram = TrayProgramName(names);

        platform::RegistryStore registry;
        const auto hive = platform::Hive::LocalMachine;
        if (!registry.CreateKey(hive, platform::kRunKey)) return;
        const auto command = [&](const std::string& program) {
            return "\"" + names.installFolder + program + "\"";
        };
        const std::string bootName = common::ExeBaseName(boot);
        if (registry.ReadString(hive, platform::kRunKey, bootName) != command(boot) &&
            !registry.WriteString(hive, platform::kRunKey, bootName, command(boot)))
            return;
        const std::string trayName = common::ExeBaseName(trayProgram);
        if (tray) {
            if (registry.ReadString(hive, platform::kRunKey, trayName) != command(trayProgram))
                registry.WriteString(hive, platform::kRunKey, trayName, command(trayProgram));
        } else if (registry.KindOf(hive, platform::kRunKey, trayName) !=
                   platform::ValueKind::None) {
            registry.DeleteValue(hive, platform::kRunKey, trayName);
        }
    } catch (...) {
    }
}

void TFRM_Main_DataModules::SetProcessFormats() {
    TProcessFormats& formats = ProcessFormats();
    formats.shortDateFormat = "DD/MM/YYYY";
    formats.decimalSeparator = '.';
    formats.measurement = "0";
    // Widgets that format dates and numbers themselves follow the default
    // locale; this one writes day/month/year, "." and metric units.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
}

void TFRM_Main_DataModules::OpenPracticeDatabase() {
    engine::TSession& session = engine::Session();
    StartupCheckpoint(9.17);
    session.Close();
    session.SetNetFileDir(Local(dataFolder_));
    StartupCheckpoint(9.18);
    session.SetPrivateDir(privateFolder_.empty() ? std::string() : Local(privateFolder_));
    StartupCheckpoint(9.19);
    session.RemoveAllPasswords();
    StartupCheckpoint(9.2);
    session.AddPassword(
        common::UnscrambleShortText(common::kScrambledTablePassword, common::kShortTextKey));
    StartupCheckpoint(9.21);
    session.Open();
    StartupCheckpoint(9.211);
    KVO.Close();
    StartupCheckpoint(9.22);
    KVO.Params().clear();
    StartupCheckpoint(9.23);
    const std::string tables = Local(dataFolder_ + "Data\\");
    if (tables.empty())
        throw std::runtime_error("The folder " + dataFolder_ + "Data\\ is on no mapped drive");
    KVO.Params().push_back("PATH=" + tables);
    // A practice whose workstations share a database server names it in the
    // installation INI file, so that every workstation agrees; the engine
    // then serves the tables from there instead of the folder.
    const std::string server = TInstallIni().ini().ReadString("Database", "Connection", "");
    if (!server.empty()) KVO.Params().push_back("CONNECTION=" + server);
    StartupCheckpoint(9.24);
    KVO.Open();
    StartupCheckpoint(9.25);
}

bool TFRM_Main_DataModules::HealthCheck() {
    StartupCheckpoint(9.27);
    for (const char* name : {"Patient.DB", "TRT_CTL.DB"}) {
        try {
            Check_Table.SetTableName(name);
            if (!Check_Table.Exists()) continue;
            Check_Table.Open();
            Check_Table.Close();
        } catch (const engine::EDBEngineError& e) {
            try {
                Check_Table.Close();
            } catch (...) {
            }
            common::ShowMessageBox(std::string(kPackDatabasesMessage) + e.what() + "\r\r" + name,
                                   common::kMbError);
            try {
                KVO.Close();
            } catch (...) {
            }
            common::UnlockDataArea();
            EndProcess();
            return false;
        }
    }
    StartupCheckpoint(9.28);
    return true;
}

void TFRM_Main_DataModules::FRM_DataModulesCreate() {
    const common::LibrarySettings& names = common::Settings();
    StartupCheckpoint(9.1);
    bool lockTaken = false;
    try {
        RegisterStartupPrograms();

        StartupCheckpoint(9.2);
        SetProcessFormats();

        StartupCheckpoint(9.3);
        TInstallIni install;
        if (names.secondLine) {
            const auto& ini = install.ini();
            if (ini.ValueExists(names.productFolder, "WD") &&
                !ini.ValueExists(names.productFolder, "WB"))
                install.WriteString(names.productFolder, "WB",
                                    ini.ReadString(names.productFolder, "WD", ""));
            install.WriteString(names.productFolder, "WD", "C:");
        }
        SelectDatabase(install);
        DataDrive() = install.ini().ReadString(names.productFolder, names.driveKey, "");

        StartupCheckpoint(9.8);
        if (DataDrive().empty()) {
            if (BaseNameIs("RUL")) {
                DataDrive() = "C:";
            } else if (!SelectDataDrive()) {
                EndProcess();
                return;
            }
        }

        StartupCheckpoint(9.9);
        const TDataDrive drive = TDataDrive::FromSetting(DataDrive());
        DataDrive() = drive.drive;

        StartupCheckpoint(9.1);
        if (drive.upper == "C:") {
            const std::string practiceIniOfC =
                "C:" + names.ProductSegment() + names.practiceIniName;
            const std::string local = Local(practiceIniOfC);
            std::error_code ec;
            if (!local.empty() && fs::exists(local, ec)) SelectSite(MultiSiteCount());
        }

        StartupCheckpoint(9.11);
        if (CheckNetworkDrive(drive) == TStartupVerdict::EndProcess) {
            EndProcess();
            return;
        }

        StartupCheckpoint(9.12);
        dataDrive_ = DataDrive();
        dataFolder_ = dataDrive_ + "\\" + names.productFolder + "\\";

        StartupCheckpoint(9.13);
        {
            const std::string local = Local(dataFolder_);
            std::error_code ec;
            if (local.empty() || !fs::is_directory(local, ec)) {
                std::string text(kDataFolderMissingMessage);
                ReplaceFirst(text, "%S", dataFolder_);
                Refuse(text);
                return;
            }
        }

        if (TakeDataAreaLock() == TStartupVerdict::EndProcess) {
            EndProcess();
            return;
        }
        lockTaken = true;

        StartupCheckpoint(9.141);
        ReadPracticeSettings(dataFolder_);
        CreateDataFolderTree(dataFolder_);
        privateFolder_ = CreatePrivateFolder();
        OpenPracticeDatabase();

        const bool packer = BaseNameIs("KVO_PACK") || BaseNameIs("RUL_PACK");
        if (!packer) {
            const TControlTableResult control = ControlTableStep(dataFolder_, Control_Table);
            if (control.verdict == TStartupVerdict::EndProcess) {
                EndProcess();
                return;
            }
            AddFirstClaimRow(User_Table, Control_Table, control.claimFound);
            if ((BaseNameIs("KVO") || BaseNameIs("RUL")) && !HealthCheck()) return;
            OfferDemoDatabase();
        }
        CopyFeeTable(dataFolder_);
        CopyBootProgram(dataFolder_);
        StartupCheckpoint(9.3);
    } catch (const common::ESilentAbort&) {
        // Its message has been shown already; a second box would repeat it.
        if (lockTaken) common::UnlockDataArea();
        EndProcess();
        return;
    } catch (const std::exception& e) {
        common::ShowMessageBox(std::string(kUnableToInitializeMessage) + e.what(),
                               common::kMbError);
        if (lockTaken) common::UnlockDataArea();
        EndProcess();
        return;
    } catch (...) {
        common::ShowMessageBox(std::string(kUnableToInitializeMessage) + "Unknown error",
                               common::kMbError);
        if (lockTaken) common::UnlockDataArea();
        EndProcess();
        return;
    }
    StartupCheckpoint(9.998);
    StartupCheckpoint(9.999);
    state_ = TState::Ready;
}

void TFRM_Main_DataModules::FRM_DataModulesDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    // A module whose start-up ended the process has nothing to give back:
    // a refusal rolls nothing back.
    if (state_ == TState::Ended) return;
    engine::TSession& session = engine::Session();
    try {
        if (session.Active()) session.RemoveAllPasswords();
    } catch (...) {
    }
    try {
        KVO.Close();
        session.Close();
    } catch (...) {
    }
    common::UnlockDataArea();
    if (!common::Settings().developerWorkstation && !privateFolder_.empty()) {
        // The current directory is the private folder; step out of it so the
        // process is not left standing in a deleted folder.
        std::error_code ec;
        const std::string local = Local(privateFolder_);
        if (!local.empty() && fs::equivalent(fs::current_path(ec), local, ec))
            fs::current_path(fs::temp_directory_path(ec), ec);
        try {
            common::DeleteFolder(privateFolder_);
        } catch (...) {
        }
    }
    if (QCoreApplication::instance() != nullptr) QCoreApplication::processEvents();
}

void TFRM_Main_DataModules::BeforePost(engine::TTable& table) {
    posting_ = &table;
}

void TFRM_Main_DataModules::AfterPost(engine::TTable& table) {
    // The engine commits each post as it happens, so the record is already
    // on disk for every other workstation; nothing is left to save here.
    (void)table;
    posting_ = nullptr;
}

}  // namespace kvo::datamodule
