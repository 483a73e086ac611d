// The start-up data module every program of the suite creates before its own
// main window.  Its creation establishes the practice environment in one
// fixed order: the boot and tray programs registered to start with the
// session, the process-wide formats, the data drive (asked for when not yet
// known), the network drive, the data folder and its lock, the practice
// settings, the folder tree and the private folder, the database KVO pointed
// at the practice's tables, and the first-run data.  Its destruction
// releases what start-up took.
//
// Refusals: a step that finds the environment unusable shows its message and
// ends the process at once with exit code 0, without rolling anything back.
// The ending goes through an exchangeable function (SetEndProcess) so that
// tests can run the sequence in-process; when that function returns, the
// module stops where it was and reports Ended().
//
// Error contract: the creation raises nothing; every failure of its steps is
// either told to the user and ends the process, or (the registry step, the
// copies, the demonstration offer) passed over.  GUI thread only.
#pragma once

#include <QObject>
#include <functional>
#include <string>

#include "engine/engine.h"

namespace kvo::datamodule {

// The formats the suite writes dates and numbers in, set once at start-up
// for the whole process.
struct TProcessFormats {
    std::string shortDateFormat;
    char decimalSeparator = 0;
    // The system's measurement item: "0" metric, "1" imperial; empty until set.
    std::string measurement;
};
TProcessFormats& ProcessFormats();

// What ends the process after a refusal.  The default ends it at once with
// exit code 0; a replacement that returns lets the module stop instead.
using TEndProcess = std::function<void()>;
// Installs `end` (empty: the default) and returns the one it replaces.
TEndProcess SetEndProcess(TEndProcess end);

// The unit's own initialisation: notes in the start-up log that the
// program has come this far.  Called once by the program entry, after the
// shared library's initialisation has started the log.
void InitialiseMainDataModulesUnit();

// Start-up messages that end the process.
inline constexpr std::string_view kDataFolderMissingMessage =
    "The directory \"%S\" can not be accessed.\r\rIf this is a network drive, please ensure "
    "that the network is working.";
inline constexpr std::string_view kUnableToInitializeMessage = "Unable to initialize program:\r\r";

class TFRM_Main_DataModules : public QObject {
    Q_OBJECT
  public:
    enum class TState { Created, Ready, Ended };

    // Runs FRM_DataModulesCreate.  On a refusal the process ends there, unless
    // the end-process function returns; State() is then Ended.
    explicit TFRM_Main_DataModules(QObject* parent = nullptr);
    // Runs FRM_DataModulesDestroy.
    ~TFRM_Main_DataModules() override;

    TState State() const { return state_; }
    bool Ready() const { return state_ == TState::Ready; }
    bool Ended() const { return state_ == TState::Ended; }

    // The data drive as used ("S:", no trailing backslash) and the data
    // folder ("S:\Kestavo\"), in the suite's own path form; the private
    // folder's short form.  Empty until start-up has come that far.
    const std::string& DataDriveUsed() const { return dataDrive_; }
    const std::string& DataFolder() const { return dataFolder_; }
    const std::string& PrivateFolder() const { return privateFolder_; }

    // The module's database and tables, all on database KVO.
    engine::TDatabase& KVO;
    engine::TTable Check_Table;
    engine::TTable Control_Table;
    engine::TTable Error_Table;
    engine::TTable Archive_Table;
    engine::TTable User_Table;
    engine::TTable System_Table;

    void FRM_DataModulesCreate();
    void FRM_DataModulesDestroy();
    // Posted records are written through at once, so that other workstations
    // see them even if this program dies right after.
    void BeforePost(engine::TTable& table);
    void AfterPost(engine::TTable& table);

  private:
    // Shows `text` as an error and ends the process (or, in tests, the module).
    void Refuse(const std::string& text);
    void EndProcess();
    void RegisterStartupPrograms();
    void SetProcessFormats();
    void OpenPracticeDatabase();
    // False when start-up must end (the message has been shown).
    bool HealthCheck();

    TState state_ = TState::Created;
    std::string dataDrive_;
    std::string dataFolder_;
    std::string privateFolder_;
    engine::TTable* posting_ = nullptr;
    bool destroyed_ = false;
};

}  // namespace kvo::datamodule
