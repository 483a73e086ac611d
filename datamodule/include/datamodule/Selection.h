// Where the practice data lives, as the start-up decides it with the user:
// the database selection (several data locations listed in the installation
// INI file), the data-drive dialog (no drive known yet) and the site
// selection (several practices on one computer, each reached as drive S:).
//
// Every dialog goes through one TSelectionDialogs, so tests answer them from
// a script and a program without a display still gets an answer.
//
// Error contract: start-up routines raise.  An installation INI file that
// cannot be read or written raises EIniFileError; failures of the drive
// mapping are not reported (start-up then finds the data folder missing).
// GUI thread only.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Common.h"
#include "datamodule/PracticeSettings.h"
#include "platform/Ini.h"

namespace kvo::datamodule {

// The data drive of this run ("C:", "S:", "\\SRV\DATA"), as the drive key gave
// it or a selection replaced it.  Written only at start-up.
std::string& DataDrive();

// The installation INI file, open for the start-up.  Like the system's own
// profile routines each write reaches the file at once.
class TInstallIni {
  public:
    // Loads the file; a missing file is empty.  Raises EIniFileError when the
    // path cannot be mapped or the file cannot be read.
    explicit TInstallIni(std::string windowsPath = common::Settings().installIni);

    const std::string& path() const { return path_; }
    const platform::IniFile& ini() const { return ini_; }

    // Writes one value and saves the file; raises EIniFileError when it
    // cannot be saved (the file on disk is then left as it was).
    void WriteString(std::string_view section, std::string_view key, std::string_view value);

  private:
    std::string path_;
    std::string local_;
    platform::IniFile ini_;
};

// ---- the dialogs ---------------------------------------------------------------

class TSelectionDialogs {
  public:
    virtual ~TSelectionDialogs() = default;
    // A modal list with the first item selected and an OK button; the index
    // chosen when closed with OK, nullopt when closed any other way.
    virtual std::optional<int> ChooseFromList(const std::string& title,
                                              const std::vector<std::string>& items) = 0;
    // The data-drive dialog (TSelectWD); true when it closed with OK, which
    // has then set DataDrive() and written it (ConfirmDataDrive).  Raises
    // what ConfirmDataDrive raised, other than the silent abort.
    virtual bool RunDataDriveDialog() = 0;
};

// The Qt dialogs until replaced.  Without a running QApplication every dialog
// closes without OK, the answer that changes nothing.
TSelectionDialogs& CurrentSelectionDialogs();
// Installs dialogs (nullptr: the Qt ones) and returns those replaced; they
// must outlive their installation.
TSelectionDialogs* SetSelectionDialogs(TSelectionDialogs* dialogs);

class ScopedSelectionDialogs {
  public:
    explicit ScopedSelectionDialogs(TSelectionDialogs& dialogs)
        : previous_(SetSelectionDialogs(&dialogs)) {}
    ~ScopedSelectionDialogs() { SetSelectionDialogs(previous_); }
    ScopedSelectionDialogs(const ScopedSelectionDialogs&) = delete;
    ScopedSelectionDialogs& operator=(const ScopedSelectionDialogs&) = delete;

  private:
    TSelectionDialogs* previous_;
};

// Records every dialog and answers from scripts.  A list answer is the index
// chosen with OK, or -1 for closing without OK.  A data-drive answer is one
// press of a button: the text of the drive entry selected when OK is
// pressed ("" with none selected), or nullopt for Cancel; the dialog takes
// presses until one closes it.  A used-up script closes without OK.
class ScriptedSelectionDialogs : public TSelectionDialogs {
  public:
    struct ShownList {
        std::string title;
        std::vector<std::string> items;
    };

    void AnswerList(int index) { listAnswers_.push_back(index); }
    void PressOk(std::string selectedEntry) {
        drivePresses_.emplace_back(std::move(selectedEntry));
    }
    void PressCancel() { drivePresses_.emplace_back(std::nullopt); }

    std::optional<int> ChooseFromList(const std::string& title,
                                      const std::vector<std::string>& items) override;
    bool RunDataDriveDialog() override;

    const std::vector<ShownList>& lists() const { return lists_; }
    int dataDriveDialogs() const { return dataDriveDialogs_; }

  private:
    std::deque<int> listAnswers_;
    std::deque<std::optional<std::string>> drivePresses_;
    std::vector<ShownList> lists_;
    int dataDriveDialogs_ = 0;
};

// ---- the selections ------------------------------------------------------------

// With two or more data locations in [Databases], lets the user pick one and
// writes its value to the drive key of the product section.
void SelectDatabase(TInstallIni& ini);

// What OK of the data-drive dialog does with the selected entry's text
// ("s: [DATA]"): with none, warns "You must select a drive." and ends in
// common::ESilentAbort; otherwise its first two characters become the data
// drive, written at once to the drive key of the installation INI file.
void ConfirmDataDrive(const std::string& selectedEntry);

// The data-drive dialog; true when confirmed.
bool SelectDataDrive();

// [MultiSite] Count of the practice INI file of drive C: (0 when that file
// does not exist or cannot be read).
int MultiSiteCount();
// The names of sites 1..count: [MultiSite] Name<n>, default "Site<n>".
std::vector<std::string> SiteNames(int count);
// "C:\<product folder>\MultiSite\<site>".
std::string SiteFolder(int site);

// Sites listed at most; a damaged count must not make the list exhaust memory.
inline constexpr int kMaxSites = 999;

// Lets the user pick one of `count` sites (nothing happens for none), then
// maps S: to that site's folder and makes "S:" the data drive.  Closing the
// list without OK picks site 0.
void SelectSite(int count);

}  // namespace kvo::datamodule
