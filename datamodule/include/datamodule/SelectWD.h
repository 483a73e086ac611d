// The data-drive dialog: asks on the first run which drive holds the
// practice data.  Built in code; its members keep the names other programs
// of the suite refer to.
#pragma once

#include <QDialog>
#include <exception>

#include "common/FlCtrlEx.h"

class QGroupBox;
class QLabel;
class QPushButton;

namespace kvo::datamodule {

class TSelectWD : public QDialog {
    Q_OBJECT
  public:
    // The explanation shown above the drive list, "\r" separating lines.
    static constexpr const char* kHelpText =
        "In order for the program to run you must select which hard drive will store your "
        "information.\r\rIf you are running locally / not running a network, please select your "
        "local C: drive, otherwise select your network storage drive.\r\rIf you are running a "
        "network, but the drive you require does not appear in the list, please exit the program "
        "and map a drive to the appropriate machine";

    explicit TSelectWD(QWidget* parent = nullptr);

    QGroupBox* ServerBox = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
    common::TDriveComboBoxEx* WDrive = nullptr;

    // What closed the dialog other than its buttons: an installation INI file
    // that could not be written.  Qt must not see exceptions leave a slot, so
    // OKClick keeps it for the code that ran the dialog to raise.
    std::exception_ptr PendingError() const { return pendingError_; }

  public slots:
    // With no drive selected, warns and leaves the dialog open; otherwise
    // sets and writes the data drive and closes the dialog with OK.
    void OKClick();

  private:
    QLabel* help_ = nullptr;
    std::exception_ptr pendingError_;
};

}  // namespace kvo::datamodule
