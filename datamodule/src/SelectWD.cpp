#include "datamodule/SelectWD.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "common/Common.h"
#include "datamodule/Selection.h"
#include "datamodule/SelectionDialogs.h"

namespace kvo::datamodule {

TSelectWD::TSelectWD(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName("SelectWD");
    setWindowTitle(QString::fromStdString(common::Settings().productFolder) +
                   " - Select Data Drive");

    ServerBox = new QGroupBox(tr("Data Drive"), this);
    ServerBox->setObjectName("ServerBox");
    ServerBox->setGeometry(8, 8, 300, 240);
    setFixedSize(ServerBox->geometry().right() + 1 + 8, ServerBox->geometry().bottom() + 1 + 41);

    const int boxWidth = ServerBox->width();
    help_ = new QLabel(ServerBox);
    help_->setWordWrap(true);
    help_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    help_->setTextFormat(Qt::PlainText);
    // A lone carriage return breaks the line in the system's own labels; Qt
    // breaks on line feeds.
    help_->setText(QString::fromLatin1(kHelpText).replace('\r', '\n'));
    help_->setGeometry(10, 24, boxWidth - 20, 200);

    WDrive = new common::TDriveComboBoxEx(ServerBox);
    WDrive->setObjectName("WDrive");
    WDrive->setGeometry(10, ServerBox->height() - 32, boxWidth - 20, 22);
    WDrive->setCurrentIndex(-1);

    const int buttonTop = ServerBox->geometry().bottom() + 1 + 8;
    btnOK = new QPushButton(tr("OK"), this);
    btnOK->setObjectName("btnOK");
    btnOK->setGeometry(width() / 2 - 79, buttonTop, 75, 25);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &TSelectWD::OKClick);

    btnCancel = new QPushButton(tr("Cancel"), this);
    btnCancel->setObjectName("btnCancel");
    btnCancel->setGeometry(width() / 2 + 4, buttonTop, 75, 25);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    CentreOnScreen(*this);
}

void TSelectWD::OKClick() {
    try {
        ConfirmDataDrive(WDrive->currentIndex() < 0 ? std::string()
                                                    : WDrive->currentText().toStdString());
        accept();
    } catch (const common::ESilentAbort&) {
        // Warned already; the dialog stays open for another choice.
    } catch (...) {
        pendingError_ = std::current_exception();
        reject();
    }
}

}  // namespace kvo::datamodule
