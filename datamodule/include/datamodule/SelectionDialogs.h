// The Qt side of the selection dialogs: the list dialog shared by "Select
// Database" and "Select Site", and the dialogs object that runs them and the
// data-drive dialog modally.
#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <vector>

#include "datamodule/Selection.h"

class QListWidget;
class QPushButton;

namespace kvo::datamodule {

// A fixed 300 x 120 dialog without title-bar buttons: the items at the left
// with the first one selected, "OK" (the default button) at the right.  Only
// OK closes it with Accepted; Escape closes it without.
class TListSelectDialog : public QDialog {
    Q_OBJECT
  public:
    TListSelectDialog(const QString& title, const std::vector<std::string>& items,
                      QWidget* parent = nullptr);

    // The selected row, -1 when none.
    int SelectedIndex() const;

    QListWidget* List = nullptr;
    QPushButton* btnOK = nullptr;
};

class QtSelectionDialogs : public TSelectionDialogs {
  public:
    std::optional<int> ChooseFromList(const std::string& title,
                                      const std::vector<std::string>& items) override;
    bool RunDataDriveDialog() override;
};

// Moves a top-level widget to the middle of the screen it is on.
void CentreOnScreen(QWidget& widget);

}  // namespace kvo::datamodule
