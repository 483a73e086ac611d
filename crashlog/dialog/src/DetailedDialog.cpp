// The detailed dialog: compact (message and buttons) or expanded (the six
// report pages in tabs), with the option strip at the bottom.
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <span>

#include "crashlog/dialog/CrashDialogWidgets.h"

namespace crashlog::dialog {

namespace {

enum TPage { kGeneral = 0, kCallStack = 1, kModules = 2, kProcesses = 3, kAssembler = 4, kCpu = 5 };

constexpr std::uint16_t kSendReportTicked = 1 << 0;
constexpr std::uint16_t kScreenshotTicked = 1 << 1;
constexpr std::uint16_t kDetailsOption = 1 << 3;
constexpr std::uint16_t kOpenDetailed = 1 << 4;
constexpr std::uint16_t kCustomButton = 1 << 9;
constexpr std::uint8_t kLogModuleLists = 1 << 4;
constexpr std::uint8_t kLogCpuAndAssembler = 1 << 5;

enum class TAction { None, Cancel, Terminate, Custom };

// The data rows of a report table: every "|" line after the label row,
// separator rows left out; cells trimmed, the empty cell after the closing
// "|" dropped.
QList<QStringList> TableRows(const std::string& text) {
    QList<QStringList> rows;
    bool labels = true;
    for (QString line : QString::fromStdString(text).split("\r\n")) {
        if (!line.startsWith('|')) continue;
        if (labels) {
            labels = false;
            continue;
        }
        if (line.startsWith("|-")) continue;
        QStringList cells = line.mid(1).split('|');
        if (!cells.isEmpty() && cells.back().trimmed().isEmpty()) cells.removeLast();
        for (QString& cell : cells)
            cell = cell.trimmed();
        rows << cells;
    }
    return rows;
}

struct TColumn {
    int text;
    const char* key;
    int width;
    bool right;
};

const TColumn kCallStackColumns[] = {{92, "Col0", 140, false}, {93, "Col1", 92, false},
                                     {94, "Col2", 126, false}, {95, "Col3", 126, false},
                                     {96, "Col4", 200, false}, {97, "Col5", 61, true}};
// The Modified column is stored under ColMod6 and Path under ColMod5.  The
// address and handle columns start wide enough for 16 hexadecimal digits.
const TColumn kModuleColumns[] = {{126, "ColMod0", 140, false}, {127, "ColMod1", 96, false},
                                  {128, "ColMod2", 175, false}, {129, "ColMod3", 50, true},
                                  {130, "ColMod4", 54, true},   {131, "ColMod6", 80, false},
                                  {132, "ColMod5", 712, false}};
const TColumn kProcessColumns[] = {{133, "ColPro0", 48, false},  {134, "ColPro1", 134, false},
                                   {135, "ColPro2", 232, false}, {136, "ColPro3", 56, true},
                                   {137, "ColPro4", 57, true},   {138, "ColPro5", 47, true},
                                   {139, "ColPro6", 52, true},   {140, "ColPro7", 330, false}};

}  // namespace

TDetailedDialog::TDetailedDialog(const TDialogRequest& request, TDialogSettings& settings,
                                 QWidget* parent)
    : TCrashDialogBase(request, settings, parent),
      send_(request.send),
      copy_(request.copyAvailable) {
    setObjectName("CL_Dialog");
    setWindowTitle(Text(3));
    const std::uint16_t flags = request.dialogFlags;
    const bool supportLink = !QString::fromStdString(request.supportPage).trimmed().isEmpty();
    const bool sendShown = request.sendAvailable,
               shotShown = request.sendAvailable && request.screenshotAvailable;
    const bool copyShown = request.copyAvailable;
    if ((sendShown && shotShown) || (copyShown && supportLink))
        strip_ = 34;
    else if (sendShown || shotShown || copyShown || supportLink)
        strip_ = 20;

    auto* icon = new QLabel(this);
    icon->setObjectName("icon");
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
    icon->setGeometry(8, 8, 32, 32);
    message_ = new QLabel(this);
    message_->setObjectName("text");
    message_->setWordWrap(true);
    message_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    message_->setTextFormat(Qt::PlainText);

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("tabs");

    ok_ = new QPushButton(Text(17), this);
    ok_->setObjectName("ok");
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });
    terminate_ = new QPushButton(request.terminateAction == 1 ? Text(18) : Text(19), this);
    terminate_->setObjectName("terminate");
    connect(terminate_, &QPushButton::clicked, this, [this] {
        setProperty("kvoAction", static_cast<int>(TAction::Terminate));
        done(QDialog::Accepted);
    });
    custom_ = new QPushButton(Text(21), this);
    custom_->setObjectName("custom");
    connect(custom_, &QPushButton::clicked, this, [this] {
        setProperty("kvoAction", static_cast<int>(TAction::Custom));
        done(QDialog::Accepted);
    });
    details_ = new QPushButton(this);
    details_->setObjectName("details");
    connect(details_, &QPushButton::clicked, this, [this] { SetExpanded(!expanded_); });

    sendBox_ = new QCheckBox(Text(22), this);
    sendBox_->setObjectName("sendBox");
    sendBox_->setChecked(request.send && (flags & kSendReportTicked));
    screenshotBox_ = new QCheckBox(Text(23), this);
    screenshotBox_->setObjectName("screenshotBox");
    screenshotBox_->setChecked(request.screenshot && (flags & kScreenshotTicked));
    screenshotBox_->setEnabled(sendBox_->isChecked());
    connect(sendBox_, &QCheckBox::toggled, screenshotBox_, &QCheckBox::setEnabled);
    copyBox_ = new QCheckBox(Text(24), this);
    copyBox_->setObjectName("copyBox");
    copyBox_->setLayoutDirection(Qt::RightToLeft);  // text on the left
    sendBox_->setVisible(sendShown);
    screenshotBox_->setVisible(shotShown);
    copyBox_->setVisible(copyShown);

    support_ =
        new QLabel(QString("<a href=\"support\" style=\"color:#000080;font-weight:bold\">%1</a>")
                       .arg(Text(25).toHtmlEscaped()),
                   this);
    support_->setObjectName("support");
    support_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    support_->setCursor(Qt::PointingHandCursor);
    support_->setVisible(supportLink);
    connect(support_, &QLabel::linkActivated, this, [this] {
        setWindowFlag(Qt::WindowStaysOnTopHint, false);
        show();
        QDesktopServices::openUrl(
            QUrl::fromUserInput(QString::fromStdString(request_.supportPage).trimmed()));
    });

    savedWidth_ = settings_.Int("Coordinates", "Width", 745);
    savedHeight_ = settings_.Int("Coordinates", "Height", 468);
    savedLeft_ = settings_.Int("Coordinates", "Left", -1);
    savedTop_ = settings_.Int("Coordinates", "Top", -1);
    showState_ = settings_.Int("Coordinates", "WindowsState", 1);

    BuildPages();
    ok_->setFocus();
    SetExpanded(request.forcedDetailed || (flags & kOpenDetailed));
}

void TDetailedDialog::BuildPages() {
    const std::uint8_t log = request_.logFlags;
    auto html = [](const std::string& given, const std::string& plain,
                   QString (*colour)(const QString&)) {
        return given.empty() ? colour(QString::fromStdString(plain))
                             : QString::fromStdString(given);
    };
    pages_ = {kGeneral, kCallStack};
    tabs_->addTab(TextPage(6, html(request_.generalHtml, request_.generalText, ColourGeneral)),
                  Text(5));
    tabs_->addTab(ListPage(kCallStack), Text(7));
    if (log & kLogModuleLists) {
        pages_ << kModules << kProcesses;
        tabs_->addTab(ListPage(kModules), Text(9));
        tabs_->addTab(ListPage(kProcesses), Text(11));
    }
    if (log & kLogCpuAndAssembler) {
        pages_ << kAssembler << kCpu;
        tabs_->addTab(
            TextPage(14, html(request_.assemblerHtml, request_.assemblerText, ColourAssembler)),
            Text(13));
        tabs_->addTab(TextPage(16, html(request_.cpuHtml, request_.cpuText, ColourCpu)), Text(15));
    }
    int first = static_cast<int>(pages_.indexOf(request_.firstTab));
    tabs_->setCurrentIndex(first < 0 ? 0 : first);
}

QWidget* TDetailedDialog::TextPage(int header, const QString& html) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* title = new QLabel(Text(header), page);
    title->setObjectName("header");
    auto* edit = new QTextEdit(page);
    edit->setObjectName("pageText");
    edit->setReadOnly(true);
    edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    edit->setLineWrapMode(QTextEdit::NoWrap);
    edit->setHtml(html);
    layout->addWidget(title);
    layout->addWidget(edit);
    return page;
}

QWidget* TDetailedDialog::ListPage(int pageNumber) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    const int headers[] = {6, 8, 10, 12, 14, 16};
    auto* title = new QLabel(Text(headers[pageNumber]), page);
    title->setObjectName("header");
    auto* list = new QTreeWidget(page);
    list->setObjectName(pageNumber == kCallStack ? "callStack"
                        : pageNumber == kModules ? "modules"
                                                 : "processes");
    list->setRootIsDecorated(pageNumber == kCallStack);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setAllColumnsShowFocus(true);
    list->setUniformRowHeights(true);
    std::span<const TColumn> columns =
        pageNumber == kCallStack ? std::span<const TColumn>(kCallStackColumns)
        : pageNumber == kModules ? std::span<const TColumn>(kModuleColumns)
                                 : std::span<const TColumn>(kProcessColumns);
    QStringList labels;
    for (const TColumn& c : columns)
        labels << Text(c.text);
    list->setHeaderLabels(labels);
    for (int i = 0; i < static_cast<int>(columns.size()); ++i)
        list->setColumnWidth(i,
                             settings_.Int("Coordinates", columns[static_cast<std::size_t>(i)].key,
                                           columns[static_cast<std::size_t>(i)].width));
    list->setProperty("kvoPage", pageNumber);

    const std::string& text = pageNumber == kCallStack ? request_.callStackText
                              : pageNumber == kModules ? request_.modulesText
                                                       : request_.processesText;
    QTreeWidgetItem* group = nullptr;
    for (const QStringList& row : TableRows(text)) {
        if (pageNumber == kCallStack && row.size() < static_cast<int>(columns.size())) {
            if (row.isEmpty() || row[0].isEmpty()) continue;
            QString header = row[0];
            QColor colour(96, 96, 96);
            if (header.startsWith('*')) {
                colour = QColor(128, 0, 0);
                header.remove(0, 1);
            } else if (header.startsWith('+')) {
                header.remove(0, 1);
            } else if (!header.startsWith(Text(101))) {
                colour = QColor(0, 0, 128);
            }
            group = new QTreeWidgetItem(list, QStringList{header});
            group->setFirstColumnSpanned(true);
            group->setForeground(0, colour);
            group->setData(0, Qt::UserRole, QStringLiteral("group"));
            continue;
        }
        QStringList cells = row.mid(0, static_cast<int>(columns.size()));
        auto* item = group ? new QTreeWidgetItem(group, cells) : new QTreeWidgetItem(list, cells);
        for (int i = 0; i < static_cast<int>(columns.size()); ++i)
            if (columns[static_cast<std::size_t>(i)].right)
                item->setTextAlignment(i, Qt::AlignRight | Qt::AlignVCenter);
    }
    list->expandAll();
    if (pageNumber == kCallStack)
        connect(list, &QTreeWidget::itemActivated, this,
                [this](QTreeWidgetItem* item) { ActivateRow(item); });
    lists_ << list;
    layout->addWidget(title);
    layout->addWidget(list);
    return page;
}

void TDetailedDialog::ActivateRow(QTreeWidgetItem* item) {
    if (!item || item->data(0, Qt::UserRole).toString() == "group") return;
    QStringList cells;
    for (int i = 0; i < item->columnCount(); ++i)
        cells << item->text(i);
    TSourceLocation location = ParseCallStackRow(cells);
    QStringList command = JumpToSourceCommand(settings_, location);
    lastJumpCommand = command;
    if (!command.isEmpty()) QProcess::startDetached(command.front(), command.mid(1));
}

void TDetailedDialog::SetExpanded(bool expanded) {
    if (expanded_ && !expanded) SaveGeometry();
    expanded_ = expanded;
    // Changing the window flags hides a shown window.
    const bool wasVisible = isVisible();
    const QString detailsText = Text(20);
    details_->setText(expanded ? "<< " + detailsText : detailsText + " >>");
    tabs_->setVisible(expanded);
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = QGuiApplication::primaryScreen();
    QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);

    if (!expanded) {
        message_->setText(QString::fromStdString(request_.message));
        QFontMetrics metrics(message_->font());
        int widest = metrics.horizontalAdvance(Text(22) + "    " + Text(24));
        for (const QString& line : message_->text().split('\n'))
            widest = std::max(widest, metrics.horizontalAdvance(line));
        int textWidth = std::min(widest + 16, 640 - 58);
        int textHeight =
            metrics.boundingRect(QRect(0, 0, textWidth, 100000), Qt::TextWordWrap, message_->text())
                .height();
        message_->setGeometry(48, 8, textWidth, textHeight);
        int width = std::max(340, textWidth + 58);
        int height = 86 + std::max(0, textHeight - 39) + strip_;
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        setWindowFlag(Qt::WindowMaximizeButtonHint, false);
        setFixedSize(width, height);
        move(work.center() - QPoint(width / 2, height / 2));
    } else {
        message_->setText(Text(4));
        setMinimumSize(340, 200);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        setWindowFlag(Qt::WindowMaximizeButtonHint, true);
        QRect saved(savedLeft_, savedTop_, savedWidth_, savedHeight_ + strip_);
        // A rectangle left from another monitor layout is not trusted.
        if (savedLeft_ < 0 || savedTop_ < 0 || !work.contains(saved)) {
            saved.setSize(QSize(745, 468 + strip_));
            if (saved.width() > work.width() || saved.height() > work.height())
                saved.setSize(saved.size().boundedTo(work.size()));
            saved.moveCenter(work.center());
        }
        resize(saved.size());
        move(saved.topLeft());
        if (showState_ == 3)
            setWindowState(windowState() | Qt::WindowMaximized);
        else if (showState_ == 6)
            setWindowState(windowState() | Qt::WindowMinimized);
    }
    details_->setVisible((request_.dialogFlags & kDetailsOption) && !request_.forcedDetailed);
    Layout();
    if (wasVisible) show();
    update();
}

void TDetailedDialog::Layout() {
    const int W = width(), H = height(), S = strip_;
    tabs_->setGeometry(4, 52, std::max(0, W - 8), std::max(0, H - 90 - S));
    if (expanded_) message_->setGeometry(48, 8, std::max(0, W - 56), 42);
    QFontMetrics metrics(ok_->font());
    int bw = 75;
    for (int t : {17, 18, 19, 21})
        bw = std::max(bw, metrics.horizontalAdvance(QString(Text(t)).remove('&') + "O"));
    const int bh = 25, row = H - S - 32;
    int x = 5;
    bool showTerminate = request_.terminateAction != 0 && request_.showTerminateButton;
    terminate_->setVisible(showTerminate);
    if (showTerminate) {
        terminate_->setGeometry(x, row, bw, bh);
        x += bw + 5;
    }
    custom_->setVisible(request_.dialogFlags & kCustomButton);
    int customRight = 0;
    if (custom_->isVisibleTo(this)) {
        custom_->setGeometry(x, row, bw, bh);
        customRight = x + bw + 5;
    } else if (showTerminate) {
        customRight = x;
    }
    ok_->setGeometry(std::max((W - bw) / 2, customRight), row, bw, bh);
    details_->setGeometry(W - 5 - bw, row, bw, bh);
    sendBox_->setGeometry(5, row + 34, W / 2 - 5, 16);
    copyBox_->setGeometry(W / 2, row + 34, W / 2 - 5, 16);
    // Alone on its row: the whole width, so its text is never cut.
    screenshotBox_->setGeometry(23, row + 50, W - 28, 16);
    int supportY = row + 34 + (copyBox_->isVisibleTo(this) ? 16 : 0);
    support_->setGeometry(4, supportY, W - 8, 17);
}

void TDetailedDialog::resizeEvent(QResizeEvent* event) {
    TCrashDialogBase::resizeEvent(event);
    Layout();
    resized_ = true;
    if (isMaximized()) {
        showState_ = 3;
    } else if (isMinimized()) {
        showState_ = 6;
    } else if (expanded_) {
        showState_ = 1;
        savedWidth_ = width();
        savedHeight_ = height() - strip_;
    }
}

void TDetailedDialog::moveEvent(QMoveEvent* event) {
    TCrashDialogBase::moveEvent(event);
    if (expanded_ && !isMaximized()) {
        savedLeft_ = x();
        savedTop_ = y();
    }
}

void TDetailedDialog::SaveGeometry() {
    if (!resized_) return;
    if (showState_ == 1) {
        settings_.Set("Coordinates", "Width", QString::number(savedWidth_));
        settings_.Set("Coordinates", "Height", QString::number(savedHeight_));
        settings_.Set("Coordinates", "Left", QString::number(savedLeft_));
        settings_.Set("Coordinates", "Top", QString::number(savedTop_));
    }
    settings_.Set("Coordinates", "WindowsState", QString::number(showState_));
    settings_.Sync();
}

void TDetailedDialog::SaveColumns() {
    for (QTreeWidget* list : lists_) {
        int page = list->property("kvoPage").toInt();
        std::span<const TColumn> columns =
            page == kCallStack ? std::span<const TColumn>(kCallStackColumns)
            : page == kModules ? std::span<const TColumn>(kModuleColumns)
                               : std::span<const TColumn>(kProcessColumns);
        for (int i = 0; i < static_cast<int>(columns.size()); ++i)
            settings_.Set("Coordinates", columns[static_cast<std::size_t>(i)].key,
                          QString::number(list->columnWidth(i)));
    }
    settings_.Sync();
}

// The title-bar close and the auto-close end the dialog keeping the flags.
void TDetailedDialog::closeEvent(QCloseEvent* event) {
    if (isVisible()) done(QDialog::Accepted);
    event->setAccepted(!isVisible());
}

void TDetailedDialog::reject() {
    setProperty("kvoAction", static_cast<int>(TAction::Cancel));
    done(QDialog::Rejected);
}

void TDetailedDialog::done(int code) {
    if (finished_) return;
    finished_ = true;
    auto action = static_cast<TAction>(property("kvoAction").toInt());
    switch (action) {
        case TAction::Cancel:
            send_ = false;
            copy_ = false;
            result_.cancelled = true;
            break;
        case TAction::Terminate:
            result_.terminateRequested = true;
            break;
        case TAction::Custom:
            result_.customButton = true;
            break;
        default:
            break;
    }
    result_.send = send_ && sendBox_->isChecked();
    result_.screenshot = screenshotBox_->isChecked();
    result_.copy = copy_ && copyBox_->isChecked();
    std::uint16_t flags = request_.dialogFlags & ~(kSendReportTicked | kScreenshotTicked);
    if (result_.send) flags |= kSendReportTicked;
    if (result_.screenshot) flags |= kScreenshotTicked;
    result_.dialogFlags = flags;
    if (expanded_) SaveGeometry();
    SaveColumns();
    QDialog::done(code);
}

}  // namespace crashlog::dialog
