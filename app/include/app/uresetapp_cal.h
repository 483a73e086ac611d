// The main window: the practice's users, a "Clear From:" date and "Go",
// which clears the chosen dentist's breaks from that date on.
#pragma once

#include <QAbstractTableModel>
#include <QDate>
#include <QFrame>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"

class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;

namespace kvo::app {

// Bridges a table to a grid: one grid row per table row, in the table's own
// order, with the named fields as columns.  Moving the grid's current row
// moves the table's cursor, so the table's current record is the one chosen.
class TDataSource : public QAbstractTableModel {
    Q_OBJECT
  public:
    TDataSource(engine::TTable& dataSet, std::vector<std::string> fields,
                QObject* parent = nullptr);

    // Re-reads every row of the (open) table and stands it on the first.
    void Refresh();
    // Moves the table's cursor to the given row of the grid.
    void MoveTo(int row);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  private:
    engine::TTable& dataSet_;
    std::vector<std::string> fields_;
    std::vector<std::vector<QString>> rows_;
};

// A line along the top edge of its area.
class TBevel : public QFrame {
  public:
    using QFrame::QFrame;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

class TForm1 : public QWidget {
    Q_OBJECT
  public:
    using TClock = std::function<QDate()>;

    // Creates the window and runs FormCreate.  `today` stands in for the
    // clock (tests); empty means the system date.  The database KVO must
    // be set up first: opening USER.DB failing raises EDBEngineError.
    explicit TForm1(QWidget* parent = nullptr, TClock today = {});
    ~TForm1() override;

    // The window's parts, in their designed order.
    QPushButton* BTN_GO;
    engine::TTable User_Table;
    TDataSource* User_Source;
    QTableView* DBGrid1;
    engine::TTable APP_CAL_Table;
    QDateEdit* DTP;
    QLabel* Label1;
    TBevel* Bevel1;
    engine::TTable APP_REC_Table;

    void FormCreate();
    // Clears the current dentist's breaks from the picker's date.  Shows
    // "All Done" only when the whole operation completed; an engine error
    // re-enables "Go" and passes on to the caller.  Ignored while running.
    void BTN_GOClick();

    bool Running() const { return running_; }

  private:
    TClock today_;
    bool running_ = false;
};

}  // namespace kvo::app
