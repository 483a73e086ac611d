// Settings file, colouring of the report pieces, the jump to source and the
// behaviour every dialog shares.
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QMessageBox>
#include <QPaintEvent>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <QWindow>

#include "crashlog/dialog/CrashDialogWidgets.h"

namespace crashlog::dialog {

TDialogSettings::TDialogSettings(QString fileName)
    : settings_(std::make_unique<QSettings>(fileName, QSettings::IniFormat)) {}

TDialogSettings::~TDialogSettings() = default;

QString TDialogSettings::DefaultFileName() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + "/.config";
    QDir().mkpath(base + "/kestavo");
    return base + "/kestavo/CrashLog.ini";
}

// Values are numbers written as text; anything that does not convert gives
// the default, as a missing key does.
int TDialogSettings::Int(const QString& section, const QString& key, int fallback) const {
    bool ok = false;
    int value = settings_->value(section + "/" + key).toString().trimmed().toInt(&ok);
    return ok ? value : fallback;
}

QString TDialogSettings::String(const QString& section, const QString& key,
                                const QString& fallback) const {
    return settings_->value(section + "/" + key, fallback).toString();
}

void TDialogSettings::Set(const QString& section, const QString& key, const QString& value) {
    settings_->setValue(section + "/" + key, value);
}

void TDialogSettings::Sync() {
    settings_->sync();
}
QString TDialogSettings::FileName() const {
    return settings_->fileName();
}

TSourceLocation ParseCallStackRow(const QStringList& cells) {
    TSourceLocation location;
    auto cell = [&](int i) { return i < cells.size() ? cells[i].trimmed() : QString(); };
    location.module = cell(1);
    location.unit = cell(2);
    location.className = cell(3);
    location.procedure = cell(4);
    QString line = cell(5);
    int bracket = line.indexOf('[');
    if (bracket >= 0) {
        int close = line.indexOf(']', bracket);
        location.offset = line.mid(bracket + 1, close < 0 ? -1 : close - bracket - 1).toInt();
        line = line.left(bracket).trimmed();
    }
    location.line = line.toInt();
    return location;
}

QStringList JumpToSourceCommand(const TDialogSettings& settings, const TSourceLocation& location) {
    QString command = settings.String("Tools", "JumpToSource").trimmed();
    if (command.isEmpty() || location.line <= 0) return {};
    QStringList parts = QProcess::splitCommand(command);
    for (QString& part : parts) {
        part.replace("%MODULE%", location.module)
            .replace("%UNIT%", location.unit)
            .replace("%CLASS%", location.className)
            .replace("%PROCEDURE%", location.procedure)
            .replace("%LINE%", QString::number(location.line))
            .replace("%OFFSET%", QString::number(location.offset));
    }
    return parts;
}

// ---- colouring ---------------------------------------------------------

namespace {

const char* const kTeal = "#006464";
const char* const kBlack = "#000000";
const char* const kDarkGrey = "#282828";
const char* const kBlue = "#0000a0";
const char* const kDarkRed = "#a00000";
const char* const kGrey = "#505050";
const char* const kGreen = "#006400";

QString Span(const QString& text, const char* colour, bool bold = false) {
    QString out =
        QString("<span style=\"color:%1%2\">").arg(colour, bold ? ";font-weight:bold" : "");
    return out + text.toHtmlEscaped() + "</span>";
}

QString Pre(const QStringList& lines) {
    return "<pre>" + lines.join("\n") + "</pre>";
}

QStringList Lines(const QString& text) {
    QString t = text;
    t.replace("\r\n", "\n");
    return t.split('\n');
}

}  // namespace

QString ColourGeneral(const QString& text) {
    QStringList in = Lines(text), out;
    for (int i = 0; i < in.size(); ++i) {
        const QString& line = in[i];
        int colon = line.indexOf(':');
        if (i == 0) {
            out << Span(line, kTeal, true);
        } else if (!line.startsWith(' ') && colon >= 0 && colon == line.size() - 1) {
            out << Span(line, kDarkGrey, true);
        } else if (line.startsWith('-')) {
            out << Span(line, kDarkGrey);
        } else if (line.contains(": ")) {
            int valueAt = line.indexOf(": ") + 1;
            QString head = line.left(valueAt);
            int start = 0;
            while (start < head.size() && head[start] == ' ')
                ++start;
            int numberEnd = head.indexOf(' ', start);
            QString number = numberEnd > 0 ? head.left(numberEnd) : head;
            QString label = numberEnd > 0 ? head.mid(numberEnd) : QString();
            out << Span(number, kDarkRed) + Span(label, kBlack) + Span(line.mid(valueAt), kBlue);
        } else {
            out << line.toHtmlEscaped();
        }
    }
    return Pre(out);
}

QString ColourAssembler(const QString& text) {
    QStringList out;
    for (const QString& line : Lines(text)) {
        int semi = line.indexOf(';');
        QString code = semi < 0 ? line : line.left(semi);
        QString comment = semi < 0 ? QString() : line.mid(semi);
        QString html;
        if (!line.startsWith(';') && !code.isEmpty()) {
            int width = code.indexOf(' ');
            if (width < 0) width = code.size();
            QString address = code.left(width + 2);
            QString rest = code.mid(width + 2);
            int mnemonicEnd = rest.indexOf(' ');
            QString mnemonic = mnemonicEnd < 0 ? rest : rest.left(mnemonicEnd);
            QString operands = mnemonicEnd < 0 ? QString() : rest.mid(mnemonicEnd);
            html = Span(address, kDarkRed) + Span(mnemonic, kBlue, true) + Span(operands, kGreen);
        }
        if (!comment.isEmpty()) html += Span(comment, kGrey);
        out << html;
    }
    return Pre(out);
}

QString ColourCpu(const QString& text) {
    QStringList in = Lines(text), out;
    for (int i = 0; i < in.size(); ++i) {
        const QString& line = in[i];
        if (i == 0 || i == 7) {
            out << Span(line, kDarkGrey, true);
        } else if (i == 1 || i == 8) {
            out << Span(line, kDarkGrey);
        } else if (i >= 2 && i <= 5) {
            // "NAME: value   NAME: value": the values in blue.
            QString html;
            int at = 0;
            while (at < line.size()) {
                int colon = line.indexOf(": ", at);
                if (colon < 0) {
                    html += Span(line.mid(at), kBlack);
                    break;
                }
                int end = line.indexOf("   ", colon + 2);
                if (end < 0) end = line.size();
                html += Span(line.mid(at, colon + 2 - at), kBlack) +
                        Span(line.mid(colon + 2, end - colon - 2), kBlue);
                at = end;
            }
            out << html;
        } else if (i >= 9 && line.contains(": ")) {
            int c1 = line.indexOf(": ");
            int gap = line.indexOf("   ", c1 + 2);
            int c2 = gap < 0 ? -1 : line.indexOf(": ", gap + 3);
            if (c2 < 0) {
                out << line.toHtmlEscaped();
                continue;
            }
            QString bytes = line.mid(c2 + 2, 48);
            QString chars = line.mid(c2 + 2 + 49);
            out << Span(line.left(c1 + 2), kBlack) + Span(line.mid(c1 + 2, gap - c1 - 2), kBlue) +
                       Span(line.mid(gap, c2 + 2 - gap), kBlack) + Span(bytes, kBlue) + " " +
                       Span(chars, kDarkRed);
        } else {
            out << line.toHtmlEscaped();
        }
    }
    return Pre(out);
}

// ---- the shared behaviour ---------------------------------------------------

TCrashDialogBase::TCrashDialogBase(const TDialogRequest& request, TDialogSettings& settings,
                                   QWidget* parent)
    : QDialog(parent), request_(request), settings_(settings) {
    result_.send = request.send;
    result_.screenshot = request.screenshot;
    result_.terminateRequested = request.terminateRequested;
    result_.dialogFlags = request.dialogFlags;
    result_.reproduceText = request.reproduceText;
    result_.userEmail = request.userEmail;
    result_.shown = true;

    // With StayOnTop the dialog is above every window; otherwise it comes to
    // the front when shown and stays above the program it reports on (it is
    // made transient for the program's window by the helper).
    Qt::WindowFlags flags = Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    if (request.dialogFlags & 0x20 /* StayOnTop */) flags |= Qt::WindowStaysOnTopHint;
    setWindowFlags(flags);
    messageBox = [this](const QString& caption, const QString& text) {
        QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, this);
        box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
        box.exec();
    };

    if (request.autoCloseSeconds > 0) {
        auto* timer = new QTimer(this);
        timer->setInterval(1000);
        connect(timer, &QTimer::timeout, this, &TCrashDialogBase::AutoCloseTick);
        timer->start();
    }
}

QString TCrashDialogBase::Text(int index) const {
    auto it = request_.texts.find(index);
    return it == request_.texts.end() ? QString() : QString::fromStdString(it->second);
}

void TCrashDialogBase::ShowMessage(const QString& caption, const QString& text) {
    autoCloseCount_ = 0;
    if (messageBox) messageBox(caption, text);
}

void TCrashDialogBase::AutoCloseTick() {
    if (request_.autoCloseSeconds == 0 || !isVisible()) return;
    if (++autoCloseCount_ >= static_cast<int>(request_.autoCloseSeconds)) close();
}

// Any input to the dialog or one of its controls restarts the count.
namespace {

bool IsInput(QEvent::Type type) {
    switch (type) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseMove:
        case QEvent::HoverMove:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool TCrashDialogBase::eventFilter(QObject* watched, QEvent* event) {
    if (IsInput(event->type())) autoCloseCount_ = 0;
    return QDialog::eventFilter(watched, event);
}

bool TCrashDialogBase::event(QEvent* event) {
    if (IsInput(event->type())) autoCloseCount_ = 0;
    return QDialog::event(event);
}

// Mouse moves count as input even without a button pressed, so tracking
// is on for the dialog and every control.
void TCrashDialogBase::WatchInput() {
    setMouseTracking(true);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->setMouseTracking(true);
        child->installEventFilter(this);
    }
}

void TCrashDialogBase::paintEvent(QPaintEvent* event) {
    painted_ = true;
    QDialog::paintEvent(event);
}

void TCrashDialogBase::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    WatchInput();
    raise();
    activateWindow();
    if (request_.parentWindow && windowHandle()) {
        if (QWindow* parent = QWindow::fromWinId(static_cast<WId>(request_.parentWindow)))
            windowHandle()->setTransientParent(parent);
    }
}

}  // namespace crashlog::dialog
