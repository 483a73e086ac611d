// The classic dialog: a fixed-width form whose controls are stacked from the
// top, each text measured by word-wrapping it to its width.
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "crashlog/dialog/CrashDialogWidgets.h"

namespace crashlog::dialog {

namespace {

constexpr int kBorder = 1;  // one border width
constexpr int kRight = 405;

int WrappedHeight(const QFont& font, const QString& text, int width) {
    QFontMetrics metrics(font);
    QRect r =
        metrics.boundingRect(QRect(0, 0, std::max(1, width - 6), 100000), Qt::TextWordWrap, text);
    return std::max(r.height(), metrics.height());
}

QString WithoutMnemonic(QString text) {
    return text.remove('&');
}

enum class TPending { None, Send, DontSend, Custom, Details, Cancel, Close };

}  // namespace

TClassicDialog::TClassicDialog(const TDialogRequest& request, TDialogSettings& settings,
                               QWidget* parent)
    : TCrashDialogBase(request, settings, parent), send_(request.send) {
    setObjectName("CL_MS_Dialog");
    setWindowTitle(Text(3));
    const QFont font = this->font();
    QFont bold = font;
    bold.setBold(true);
    const int line = QFontMetrics(font).height();

    auto* band = new QFrame(this);
    band->setObjectName("band");
    band->setGeometry(3, 3, 413, 51);
    band->setAutoFillBackground(true);
    band->setStyleSheet("QFrame#band { background: white; border: 1px solid black; }");
    auto* headline = new QLabel(Text(26), band);
    headline->setObjectName("headline");
    headline->setFont(bold);
    headline->setWordWrap(true);
    int headlineHeight = std::min(49, WrappedHeight(bold, Text(26), 356));
    headline->setGeometry(8, (51 - headlineHeight) / 2, 356, headlineHeight);
    auto* icon = new QLabel(band);
    icon->setObjectName("icon");
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
    icon->setGeometry(372 - 3, 9 - 3, 32, 32);

    const int x = 11;
    int y = 59;
    auto* message = new QPlainTextEdit(QString::fromStdString(request.message), this);
    message->setObjectName("message");
    message->setReadOnly(true);
    // The edit's document margin (4 on each side) and frame come on top of
    // the text, or a two-line message would scroll.
    int messageHeight = WrappedHeight(font, message->toPlainText(), 397 - 8) + 4 * kBorder + 10;
    message->setGeometry(x, y, 397, messageHeight);
    y += messageHeight;

    restart_ = new QCheckBox(request.terminateAction == 1 ? Text(28) : Text(27), this);
    restart_->setObjectName("restart");
    if (request.terminateAction != 0 && request.showTerminateButton) {
        y += 10;
        restart_->setGeometry(x, y, 397, line + 4);
        y += line + 4;
    } else {
        restart_->hide();
    }

    auto* please = new QLabel(Text(29), this);
    please->setObjectName("please");
    please->setFont(bold);
    auto* details = new QLabel(Text(30), this);
    details->setObjectName("detailsText");
    details->setWordWrap(true);
    if (request.sendAvailable) {
        y += 10;
        int h = WrappedHeight(bold, Text(29), 397);
        please->setGeometry(x, y, 397, h);
        y += h + 2;
        h = WrappedHeight(font, Text(30), 397);
        details->setGeometry(x, y, 397, h);
        y += h;
    } else {
        please->hide();
        details->hide();
    }

    auto* toSee = new QLabel(Text(31) + " ", this);
    toSee->setObjectName("toSee");
    auto* clickHere = new QLabel(
        QString("<a href=\"details\" style=\"color:#0000ff\">%1</a>").arg(Text(32).toHtmlEscaped()),
        this);
    clickHere->setObjectName("clickHere");
    clickHere->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(clickHere, &QLabel::linkActivated, this, [this] {
        pending_ = static_cast<int>(TPending::Details);
        done(QDialog::Accepted);
    });
    if (request.dialogFlags & 0x08 /* DetailsOption */) {
        y += 12;
        int w = QFontMetrics(font).horizontalAdvance(toSee->text());
        toSee->setGeometry(x, y, w, line);
        clickHere->setGeometry(x + w, y, 397 - w, line);
        y += line;
    } else {
        toSee->hide();
        clickHere->hide();
    }

    auto* howTo = new QLabel(Text(33), this);
    howTo->setObjectName("howTo");
    howTo->setWordWrap(true);
    comment_ = new QPlainTextEdit(QString::fromStdString(request.reproduceText), this);
    comment_->setObjectName("comment");
    if (request.logFlags & 0x02 /* ReproduceRequest */) {
        y += 12;
        int h = WrappedHeight(font, Text(33), 397);
        howTo->setGeometry(x, y, 397, h);
        y += h + 2;
        int editHeight = 4 * line + 8 * kBorder;
        comment_->setGeometry(x, y, 397, editHeight);
        y += editHeight;
    } else {
        howTo->hide();
        comment_->hide();
    }

    auto* emailLabel = new QLabel(Text(34) + " ", this);
    emailLabel->setObjectName("emailLabel");
    email_ = new QLineEdit(settings_.String("User", "Email"), this);
    email_->setObjectName("email");
    if (request.sendAvailable && !request.mailClientOnly) {
        y += 12;
        int w = QFontMetrics(font).horizontalAdvance(emailLabel->text());
        emailLabel->setGeometry(x, y + 3, w, line);
        email_->setGeometry(x + w, y, kRight - (x + w), line + 6);
        y += line + 6;
    } else {
        emailLabel->hide();
        email_->hide();
    }

    y += 12;
    const int buttonHeight = line + 4 * kBorder + 6;
    auto buttonWidth = [&](const QString& caption) {
        return std::max(
            75, QFontMetrics(font).horizontalAdvance(WithoutMnemonic(caption)) + 4 * kBorder + 16);
    };
    auto* custom = new QPushButton(Text(21), this);
    custom->setObjectName("custom");
    custom->setGeometry(8, y, buttonWidth(Text(21)), buttonHeight);
    custom->setVisible(request.dialogFlags & 0x200 /* CustomButton */);
    connect(custom, &QPushButton::clicked, this, [this] {
        pending_ = static_cast<int>(TPending::Custom);
        done(QDialog::Accepted);
    });

    QString dontSendCaption = send_ && request.sendAvailable ? Text(36) : Text(17);
    auto* dontSend = new QPushButton(dontSendCaption, this);
    dontSend->setObjectName("dontSend");
    int w1001 = buttonWidth(dontSendCaption);
    dontSend->setGeometry(kRight - w1001, y, w1001, buttonHeight);
    connect(dontSend, &QPushButton::clicked, this, [this] {
        pending_ = static_cast<int>(TPending::DontSend);
        done(QDialog::Accepted);
    });
    auto* sendButton = new QPushButton(Text(35), this);
    sendButton->setObjectName("send");
    int w1000 = buttonWidth(Text(35));
    sendButton->setGeometry(kRight - w1001 - 8 - w1000, y, w1000, buttonHeight);
    connect(sendButton, &QPushButton::clicked, this, [this] {
        pending_ = static_cast<int>(TPending::Send);
        done(QDialog::Accepted);
    });
    if (request.sendAvailable) {
        sendButton->setDefault(true);
        sendButton->setFocus();
    } else {
        sendButton->hide();
        sendButton->setEnabled(false);
        dontSend->setDefault(true);
        dontSend->setFocus();
    }

    setFixedSize(kWidth, y + buttonHeight + 10);
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) move(screen->availableGeometry().center() - rect().center());
}

void TClassicDialog::reject() {
    pending_ = static_cast<int>(TPending::Cancel);
    done(QDialog::Rejected);
}

// The title-bar close and the auto-close keep the send flag.
void TClassicDialog::closeEvent(QCloseEvent* event) {
    if (isVisible()) {
        pending_ = static_cast<int>(TPending::Close);
        done(QDialog::Accepted);
    }
    event->setAccepted(!isVisible());
}

void TClassicDialog::done(int code) {
    auto action = static_cast<TPending>(pending_);
    pending_ = 0;

    // The e-mail address is checked whichever way the dialog closes; an
    // invalid one keeps it open.
    QString email = email_->text().trimmed();
    if (!email.isEmpty() && !(email.contains('@') && email.contains('.'))) {
        ShowMessage(Text(2), Text(157));
        return;
    }
    switch (action) {
        case TPending::Send:
            send_ = true;
            break;
        case TPending::DontSend:
            send_ = send_ && !request_.sendAvailable;
            break;
        case TPending::Custom:
            result_.customButton = true;
            break;
        case TPending::Details:
            result_.nextKind = TDialogKind::Detailed;
            break;
        case TPending::Cancel:
            send_ = false;
            cancelled_ = true;
            break;
        default:
            break;
    }
    if (!email.isEmpty()) {
        result_.userEmail = email.toStdString();
        result_.emailChanged = true;
        settings_.Set("User", "Email", email);
        settings_.Sync();
    }
    result_.reproduceText = comment_->toPlainText().trimmed().toStdString();
    result_.terminateRequested =
        (request_.terminateRequested || restart_->isChecked()) && !cancelled_;
    result_.send = send_;
    result_.cancelled = cancelled_;
    result_.shown = painted_ || result_.shown;
    QDialog::done(code);
}

}  // namespace crashlog::dialog
