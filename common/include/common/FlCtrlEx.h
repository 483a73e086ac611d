// The suite's drive picker: a drop-down of the drive map's letters a to z,
// each with an icon for its kind and a text "<letter>: <name>", where the
// name is the bracketed volume label or, for a network drive, its share.
// The style's drive icons serve on every system this runs on, so there is
// no separate image list to fall back to.
#pragma once

#include <QComboBox>
#include <QString>

namespace kvo::common {

// What a drive combo drives when the user picks a drive.  ChangeDrive may
// throw when the drive cannot be read (no medium); the combo then clears the
// list, which clears the file list linked to it.
class DirectoryListLink {
  public:
    virtual ~DirectoryListLink() = default;
    virtual void ChangeDrive(char letter) = 0;
    virtual void Clear() = 0;
};

class TDriveComboBoxEx : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(QString Version READ Version WRITE SetVersion)

  public:
    enum class TextCase { Lower, Upper };
    enum class DriveKind { Floppy, Fixed, Network, CdRom, RamDisk };

    explicit TDriveComboBoxEx(QWidget* owner = nullptr);

    // Reads "1.2.1.1"; writing has no effect (kept so stored forms load).
    QString Version() const;
    void SetVersion(const QString&) {}

    TextCase GetTextCase() const { return textCase_; }
    void SetTextCase(TextCase textCase);

    // The selected drive letter, in the text case; 0 when none is selected.
    char Drive() const;
    // Selects the entry of a drive; throws std::runtime_error when the drive
    // is not listed or cannot be read, leaving the selection unchanged.
    void SetDrive(char letter);

    // Not owned; must outlive the combo or be unset first.
    void SetDirList(DirectoryListLink* link) { dirList_ = link; }

    // Refills the entries from the drive map.
    void BuildList();

    DriveKind KindAt(int index) const;

  signals:
    void DriveChanged(char letter);

  protected:
    // The user picked an entry.  A drive that cannot be read leaves the
    // linked lists empty instead of raising.
    virtual void Click(int index);

  private:
    void ChangeDrive(char letter);

    TextCase textCase_ = TextCase::Lower;
    DirectoryListLink* dirList_ = nullptr;
};

}  // namespace kvo::common
