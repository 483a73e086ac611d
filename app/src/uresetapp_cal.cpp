#include "app/uresetapp_cal.h"

#include <QApplication>
#include <QDateEdit>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTableView>

#include "app/break_reset.h"
#include "platform/MessagePresenter.h"

namespace kvo::app {

using engine::TTable;

// ---- TDataSource ------------------------------------------------------

TDataSource::TDataSource(TTable& dataSet, std::vector<std::string> fields, QObject* parent)
    : QAbstractTableModel(parent), dataSet_(dataSet), fields_(std::move(fields)) {}

void TDataSource::Refresh() {
    beginResetModel();
    rows_.clear();
    if (dataSet_.Active()) {
        for (dataSet_.First(); !dataSet_.Eof(); dataSet_.Next()) {
            std::vector<QString> row;
            row.reserve(fields_.size());
            for (const auto& field : fields_)
                row.push_back(QString::fromStdString(dataSet_.FieldByName(field).AsString()));
            rows_.push_back(std::move(row));
        }
        dataSet_.First();
    }
    endResetModel();
}

void TDataSource::MoveTo(int row) {
    if (!dataSet_.Active() || row < 0) return;
    dataSet_.First();
    for (int i = 0; i < row && !dataSet_.Eof(); ++i)
        dataSet_.Next();
}

int TDataSource::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TDataSource::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(fields_.size());
}

QVariant TDataSource::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    const auto row = static_cast<std::size_t>(index.row());
    const auto column = static_cast<std::size_t>(index.column());
    if (row >= rows_.size() || column >= fields_.size()) return {};
    return rows_[row][column];
}

QVariant TDataSource::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        static_cast<std::size_t>(section) >= fields_.size())
        return {};
    return QString::fromStdString(fields_[static_cast<std::size_t>(section)]);
}

Qt::ItemFlags TDataSource::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

// ---- TBevel -----------------------------------------------------------

void TBevel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawLine(0, 0, width() - 1, 0);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(0, 1, width() - 1, 1);
}

// ---- TForm1 -----------------------------------------------------------

TForm1::TForm1(QWidget* parent, TClock today)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowSystemMenuHint),
      today_(today ? std::move(today) : TClock([] { return QDate::currentDate(); })) {
    setWindowTitle(QStringLiteral("Tarnwick"));
    // The window was laid out for an 11-pixel face of narrow metrics; Linux
    // has no such face, and the usual fallback is wide enough to clip the
    // fixed-size label.  Faces with close metrics stand in for it.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                                QStringLiteral("DejaVu Sans Condensed")});
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);
    QPalette faces = palette();
    faces.setColor(QPalette::Window, faces.color(QPalette::Button));
    setPalette(faces);
    setAutoFillBackground(true);
    resize(508, 172);  // the designed client size; FormCreate fits it to the controls

    BTN_GO = new QPushButton(QStringLiteral("Go"), this);
    BTN_GO->setObjectName(QStringLiteral("BTN_GO"));
    BTN_GO->setGeometry(429, 132, 75, 25);
    BTN_GO->setAutoDefault(false);
    connect(BTN_GO, &QPushButton::clicked, this, [this] { BTN_GOClick(); });

    User_Table.SetDatabaseName("KVO");
    User_Table.SetTableName("USER.DB");
    User_Table.SetFiltered(true);  // with an empty filter: every row shows
    User_Source = new TDataSource(User_Table, {"Surname", "Forename"}, this);

    DBGrid1 = new QTableView(this);
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    DBGrid1->setGeometry(4, 4, 500, 77);
    DBGrid1->setModel(User_Source);
    DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    DBGrid1->setShowGrid(true);
    DBGrid1->setTabKeyNavigation(false);  // Tab moves between controls
    DBGrid1->horizontalHeader()->setVisible(true);
    DBGrid1->verticalHeader()->setVisible(false);
    // Rows as tall as the text needs, as the grid's rows were designed.
    DBGrid1->verticalHeader()->setDefaultSectionSize(QFontMetrics(font).height() + 4);
    DBGrid1->setColumnWidth(0, 252);
    DBGrid1->setColumnWidth(1, 225);
    // Keep the chosen row highlighted when the focus is elsewhere (on "Go").
    QPalette grid = DBGrid1->palette();
    grid.setColor(QPalette::Inactive, QPalette::Highlight,
                  grid.color(QPalette::Active, QPalette::Highlight));
    grid.setColor(QPalette::Inactive, QPalette::HighlightedText,
                  grid.color(QPalette::Active, QPalette::HighlightedText));
    DBGrid1->setPalette(grid);
    connect(DBGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { User_Source->MoveTo(current.row()); });

    APP_CAL_Table.SetDatabaseName("KVO");
    APP_CAL_Table.SetTableName("APP_CAL.DB");

    DTP = new QDateEdit(this);
    DTP->setObjectName(QStringLiteral("DTP"));
    DTP->setGeometry(72, 92, 121, 21);
    DTP->setCalendarPopup(true);
    DTP->setDisplayFormat(QStringLiteral("dd/MM/yyyy"));
    DTP->setKeyboardTracking(false);

    Label1 = new QLabel(QStringLiteral("Clear From:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 92, 60, 21);
    Label1->setFixedSize(60, 21);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    Bevel1 = new TBevel(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setGeometry(4, 124, 500, 13);

    APP_REC_Table.SetDatabaseName("KVO");
    APP_REC_Table.SetTableName("APP_REC.DB");

    setTabOrder(BTN_GO, DBGrid1);
    setTabOrder(DBGrid1, DTP);

    FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::FormCreate() {
    setFixedSize(DBGrid1->width() + 16, BTN_GO->y() + BTN_GO->height() + 8);

    const QDate today = today_();
    DTP->setMinimumDate(today);
    DTP->setDate(today);

    User_Table.Open();
    User_Source->Refresh();
    if (User_Source->rowCount() > 0) DBGrid1->setCurrentIndex(User_Source->index(0, 0));

    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    BTN_GO->setFocus();
}

void TForm1::BTN_GOClick() {
    if (running_) return;
    running_ = true;
    BTN_GO->setEnabled(false);
    // Restores "Go" however the operation ends, the way a finally block would.
    struct Restore {
        TForm1& form;
        ~Restore() {
            form.BTN_GO->setEnabled(true);
            form.running_ = false;
        }
    };
    {
        Restore restore{*this};
        const std::string fromDate =
            DTP->date().toString(QStringLiteral("dd/MM/yyyy")).toStdString();
        // With no user row there is no dentist number; the engine then
        // rejects the filter and nothing is changed.
        const std::string dentist =
            User_Table.Eof() ? std::string() : User_Table.FieldByName("User").AsString();
        ClearBreaksFrom(APP_CAL_Table, APP_REC_Table, dentist, fromDate);
    }
    // A plain box: OK button, no icon.
    platform::CurrentPresenter().ShowMessage(
        "All Done", QApplication::applicationDisplayName().toStdString(), platform::kMbOk);
}

}  // namespace kvo::app
