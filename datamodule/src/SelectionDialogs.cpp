#include "datamodule/SelectionDialogs.h"

#include <QApplication>
#include <QGuiApplication>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>

#include "datamodule/SelectWD.h"

namespace kvo::datamodule {
namespace {

constexpr Qt::WindowFlags kTitleOnly = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;

// Widgets need a QApplication; a console program has none and gets the
// answer that changes nothing.
bool CanShowWidgets() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

}  // namespace

void CentreOnScreen(QWidget& widget) {
    QScreen* screen = widget.screen() ? widget.screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    widget.move(area.center() - QPoint(widget.width() / 2, widget.height() / 2));
}

TListSelectDialog::TListSelectDialog(const QString& title, const std::vector<std::string>& items,
                                     QWidget* parent)
    : QDialog(parent, kTitleOnly) {
    setWindowTitle(title);
    setFixedSize(300, 120);

    List = new QListWidget(this);
    List->setObjectName("List");
    List->setGeometry(8, 8, 201, 104);
    for (const auto& item : items)
        List->addItem(QString::fromStdString(item));
    if (List->count() > 0) List->setCurrentRow(0);

    btnOK = new QPushButton(tr("OK"), this);
    btnOK->setObjectName("btnOK");
    btnOK->setGeometry(217, 8, 75, 25);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);

    CentreOnScreen(*this);
}

int TListSelectDialog::SelectedIndex() const {
    return List->currentRow();
}

std::optional<int> QtSelectionDialogs::ChooseFromList(const std::string& title,
                                                      const std::vector<std::string>& items) {
    if (!CanShowWidgets()) return std::nullopt;
    TListSelectDialog dialog(QString::fromStdString(title), items);
    if (dialog.exec() != QDialog::Accepted || dialog.SelectedIndex() < 0) return std::nullopt;
    return dialog.SelectedIndex();
}

bool QtSelectionDialogs::RunDataDriveDialog() {
    if (!CanShowWidgets()) return false;
    TSelectWD dialog;
    const int result = dialog.exec();
    if (dialog.PendingError()) std::rethrow_exception(dialog.PendingError());
    return result == QDialog::Accepted;
}

}  // namespace kvo::datamodule
