#include "common/FlCtrlEx.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <cctype>
#include <stdexcept>

#include "CommonPlatform.h"
#include "common/CommonHelpers.h"

namespace kvo::common {
namespace {

constexpr int kRowHeight = 16;
constexpr int kIconSize = 16;
constexpr int kIconGap = 6;
constexpr int kKindRole = Qt::UserRole + 1;

QIcon KindIcon(TDriveComboBoxEx::DriveKind kind, const QStyle* style) {
    using K = TDriveComboBoxEx::DriveKind;
    switch (kind) {
        case K::Floppy:
            return style->standardIcon(QStyle::SP_DriveFDIcon);
        case K::Network:
            return style->standardIcon(QStyle::SP_DriveNetIcon);
        case K::CdRom:
            return style->standardIcon(QStyle::SP_DriveCDIcon);
        case K::Fixed:
        case K::RamDisk:
            break;
    }
    return style->standardIcon(QStyle::SP_DriveHDIcon);
}

// Rows of 16 pixels: the icon at the left top, the text 22 pixels in, one
// line, vertically centred, "&" shown as it is.
class DriveItemDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), kRowHeight};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const bool selected = option.state & QStyle::State_Selected;
        painter->save();
        painter->fillRect(option.rect,
                          selected ? option.palette.highlight() : option.palette.base());
        auto kind = static_cast<TDriveComboBoxEx::DriveKind>(index.data(kKindRole).toInt());
        const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        KindIcon(kind, style)
            .paint(painter, QRect(option.rect.topLeft(), QSize(kIconSize, kIconSize)));
        QRect textRect = option.rect.adjusted(kIconSize + kIconGap, 0, 0, 0);
        painter->setPen(selected ? option.palette.highlightedText().color()
                                 : option.palette.text().color());
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          index.data(Qt::DisplayRole).toString());
        painter->restore();
    }
};

}  // namespace

TDriveComboBoxEx::TDriveComboBoxEx(QWidget* owner) : QComboBox(owner) {
    setItemDelegate(new DriveItemDelegate(this));
    setIconSize(QSize(kIconSize, kIconSize));
    connect(this, qOverload<int>(&QComboBox::activated), this, [this](int index) { Click(index); });
    BuildList();
}

QString TDriveComboBoxEx::Version() const {
    return QStringLiteral("1.2.1.1");
}

void TDriveComboBoxEx::SetTextCase(TextCase textCase) {
    if (textCase == textCase_) return;
    char drive = Drive();
    textCase_ = textCase;
    BuildList();
    if (drive) {
        int i = findData(QChar(std::toupper(static_cast<unsigned char>(drive))), Qt::UserRole);
        setCurrentIndex(i);
    }
}

void TDriveComboBoxEx::BuildList() {
    const bool keepSignals = blockSignals(true);
    clear();
    for (const auto& d : detail::Drives()) {
        char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(d.letter)));
        char shown = textCase_ == TextCase::Upper
                         ? upper
                         : static_cast<char>(std::tolower(static_cast<unsigned char>(upper)));
        QString name;
        DriveKind kind;
        switch (d.type) {
            case detail::DriveType::Removable:
                kind = DriveKind::Floppy;
                break;
            case detail::DriveType::Fixed:
                kind = DriveKind::Fixed;
                name = QStringLiteral("[%1]").arg(QString::fromStdString(VolumeLabel(shown)));
                break;
            case detail::DriveType::Remote: {
                kind = DriveKind::Network;
                std::string remote = DriveRemoteName(shown);
                // DriveRemoteName falls back to the label when there is no share.
                name = d.remote.empty() ? QStringLiteral("[%1]").arg(QString::fromStdString(remote))
                                        : QString::fromStdString(remote);
                break;
            }
            case detail::DriveType::CdRom:
                kind = DriveKind::CdRom;
                name = QStringLiteral("[%1]").arg(QString::fromStdString(VolumeLabel(shown)));
                break;
            case detail::DriveType::RamDisk:
                kind = DriveKind::RamDisk;
                name = QStringLiteral("[%1]").arg(QString::fromStdString(VolumeLabel(shown)));
                break;
            default:
                continue;  // type not determined or no root folder: not listed
        }
        addItem(KindIcon(kind, style()), QStringLiteral("%1: %2").arg(QChar(shown), name),
                QChar(upper));
        setItemData(count() - 1, static_cast<int>(kind), kKindRole);
    }
    setCurrentIndex(-1);
    blockSignals(keepSignals);
}

TDriveComboBoxEx::DriveKind TDriveComboBoxEx::KindAt(int index) const {
    return static_cast<DriveKind>(itemData(index, kKindRole).toInt());
}

char TDriveComboBoxEx::Drive() const {
    QString text = currentText();
    return text.isEmpty() ? 0 : text.at(0).toLatin1();
}

void TDriveComboBoxEx::ChangeDrive(char letter) {
    auto facts = detail::Drive(letter);
    if (!facts || !facts->rootExists)
        throw std::runtime_error(std::string("Drive ") + letter + ": is not ready");
    if (dirList_) dirList_->ChangeDrive(letter);
    emit DriveChanged(letter);
}

void TDriveComboBoxEx::SetDrive(char letter) {
    char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    int index = findData(QChar(upper), Qt::UserRole);
    if (index < 0) throw std::runtime_error(std::string("Drive ") + letter + ": is not listed");
    ChangeDrive(itemText(index).at(0).toLatin1());
    setCurrentIndex(index);
}

void TDriveComboBoxEx::Click(int index) {
    if (index < 0) return;
    try {
        ChangeDrive(itemText(index).at(0).toLatin1());
    } catch (...) {
        if (dirList_) dirList_->Clear();
    }
}

}  // namespace kvo::common
