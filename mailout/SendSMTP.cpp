#include "SendSMTP.h"

#include "certtrust.h"

#include "errordisplay.h"
#include "hostport.h"
#include "mailpasswords.h"
#include "offthread.h"
#include "platform.h"
#include "state.h"
#include "textfil.h"
#include "zt_reg.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

#include <optional>
#include <stdexcept>

namespace mailout {

namespace {

QFont formFont()
{
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(11);
    return f;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QRect& box)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(box);
    return l;
}

// Hides the window and lets go of the connection however the send ends.
// A refused recipient leaves the connection open; its QUIT goes from the
// worker thread too, so a server that stalls now cannot freeze the window.
class SendEnd {
public:
    explicit SendEnd(TSendSMTPForm& form)
        : m_form(form)
    {
    }
    ~SendEnd()
    {
        if (m_form.smtpClient.connected()) {
            try {
                rt::awaitOffThread([this] { m_form.smtpClient.disconnect(); });
            } catch (const std::exception&) {
                // The connection is closed either way.
            }
        }
        m_form.hide();
    }
    SendEnd(const SendEnd&) = delete;
    SendEnd& operator=(const SendEnd&) = delete;

private:
    TSendSMTPForm& m_form;
};

QString causeOf(const std::exception& e)
{
    if (const auto* net = dynamic_cast<const net::NetError*>(&e))
        return net->text();
    return QString::fromUtf8(e.what());
}

} // namespace

QString TSendSMTPForm::supportAddress()
{
    return QStringLiteral("support@tavlund.example");
}

TSendSMTPForm::TSendSMTPForm(QWidget* parent)
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("SendSMTPForm"));
    setWindowTitle(QStringLiteral("Ny epost"));
    setFixedSize(612, 336);
    setFont(formFont());
    setModal(false);

    recipientLabel = makeLabel(this, "recipientLabel", QStringLiteral("Mottager:"), QRect(8, 12, 60, 16));

    recipientBox = new QComboBox(this);
    recipientBox->setObjectName(QStringLiteral("recipientBox"));
    recipientBox->setEditable(true);
    recipientBox->setInsertPolicy(QComboBox::NoInsert);
    recipientBox->addItem(supportAddress());
    recipientBox->setEditText(QString());
    recipientBox->setGeometry(72, 8, 436, 22);
    recipientLabel->setBuddy(recipientBox);

    sendButton = new QPushButton(QStringLiteral("Send"), this);
    sendButton->setObjectName(QStringLiteral("sendButton"));
    sendButton->setIcon(QIcon::fromTheme(QStringLiteral("mail-send"), style()->standardIcon(QStyle::SP_ArrowRight)));
    sendButton->setGeometry(516, 6, 88, 26);
    sendButton->setEnabled(false);
    sendButton->setAutoDefault(false);

    subjectLabel = makeLabel(this, "subjectLabel", QStringLiteral("Emne:"), QRect(8, 42, 60, 16));

    subjectEdit = new QLineEdit(this);
    subjectEdit->setObjectName(QStringLiteral("subjectEdit"));
    subjectEdit->setGeometry(72, 38, 532, 22);
    subjectLabel->setBuddy(subjectEdit);

    bodyEdit = new QPlainTextEdit(this);
    bodyEdit->setObjectName(QStringLiteral("bodyEdit"));
    bodyEdit->setGeometry(8, 68, 596, 228);
    bodyEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    bodyEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bodyEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bodyEdit->setTabChangesFocus(false);

    attachmentLabel = makeLabel(this, "attachmentLabel", QStringLiteral("Vedlegg:"), QRect(8, 310, 60, 16));

    attachmentEdit = new QLineEdit(this);
    attachmentEdit->setObjectName(QStringLiteral("attachmentEdit"));
    attachmentEdit->setGeometry(72, 306, 500, 22);
    attachmentLabel->setBuddy(attachmentEdit);

    pickAttachmentButton = new QToolButton(this);
    pickAttachmentButton->setObjectName(QStringLiteral("pickAttachmentButton"));
    pickAttachmentButton->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    pickAttachmentButton->setGeometry(580, 305, 24, 24);

    setTabOrder(recipientBox, sendButton);
    setTabOrder(sendButton, subjectEdit);
    setTabOrder(subjectEdit, bodyEdit);
    setTabOrder(bodyEdit, attachmentEdit);
    setTabOrder(attachmentEdit, pickAttachmentButton);

    // No filter, the platform's default options.
    chooseAttachmentFile = [this] { return QFileDialog::getOpenFileName(this); };

    connect(recipientBox, &QComboBox::editTextChanged, this, [this] { rt::runHandler([this] { updateSendButton(); }); });
    connect(pickAttachmentButton, &QToolButton::clicked, this, [this] { rt::runHandler([this] { pickAttachment(); }); });
    connect(sendButton, &QPushButton::clicked, this, [this] { rt::runHandler([this] { sendMessage(); }); });
}

TSendSMTPForm::~TSendSMTPForm() = default;

void TSendSMTPForm::showComposer()
{
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    show();
    raise();
    activateWindow();
}

void TSendSMTPForm::opening()
{
    rt::runHandler([this] { prepareOnOpening(); });
}

void TSendSMTPForm::prepareOnOpening()
{
    rt::useuserini();
    if (recipientBox->currentText().isEmpty() && !m_sent)
        recipientBox->setEditText(rt::inireadstring(QStringLiteral("LastEmailAddress")));
    m_sent = false;
    recipientBox->setFocus(Qt::OtherFocusReason);
    recipientBox->lineEdit()->selectAll();
    rt::usemainini();
    updateSendButton();
}

void TSendSMTPForm::updateSendButton()
{
    sendButton->setEnabled(!recipientBox->currentText().isEmpty());
}

void TSendSMTPForm::pickAttachment()
{
    const QString file = chooseAttachmentFile ? chooseAttachmentFile() : QString();
    if (!file.isEmpty())
        attachmentEdit->setText(file);
}

void TSendSMTPForm::sendMessage()
{
    // However this ends, the connection is let go and the window hides.
    // After a failure it keeps its fields for the next opening; after a
    // send that went it is emptied, so nothing invites sending the same
    // message twice.
    const SendEnd end(*this);

    message.clear();
    std::optional<rt::BusyCursor> busy;
    busy.emplace();

    // The recipient text is stored before any connection is tried, so it is
    // remembered even when the send fails.
    const QString recipientText = recipientBox->currentText();
    rt::useuserini();
    rt::iniwritestring(QStringLiteral("LastEmailAddress"), recipientText);
    rt::iniselect(QStringLiteral("Smtp"));
    const bool logging = rt::inireadbool(QStringLiteral("LogSMTP"));
    const QString host = rt::inireadstring(QStringLiteral("ServerName"));
    // 1 is "Enkel pålogging" (user name and password); anything else, no
    // login. The password is stored as typed.
    const bool authenticate = rt::inireadint(QStringLiteral("SMTPAuthenticationType")) == 1;
    const QString user = rt::inireadstring(QStringLiteral("ServerUser"));
    const QString password = rt::inireadstring(QStringLiteral("ServerPassword"));
    rt::iniselect(QStringLiteral("Email"));
    message.sender.address = rt::inireadstring(QStringLiteral("PersonalEmail"));
    message.sender.name = rt::inireadstring(QStringLiteral("EmailName"));
    rt::inistandard();
    rt::usemainini();

    // A password the settings file does not hold comes from the keyring;
    // read off this thread, since the desktop may ask to unlock it first.
    // One that cannot be had (none stored anywhere, or the keyring locked)
    // fails the send before any connection, saying why.
    QString keyringFailure;
    const std::optional<QString> fromKeyring = authenticate && password.isEmpty()
        ? keyring::passwordFromKeyring(keyring::accountFor(keyring::AccountKind::Smtp, host, user), &keyringFailure)
        : std::optional<QString>(password);

    const net::HostPort server = net::splitHostPort(host, 25);
    smtpClient.host = server.host;
    smtpClient.port = server.port;
    smtpClient.authenticate = authenticate;
    smtpClient.user = authenticate ? user : QString();
    smtpClient.password = authenticate ? fromKeyring.value_or(QString()) : QString();

    message.recipients = net::parseAddressList(recipientText);
    message.subject = subjectEdit->text();
    message.bodyLines = bodyEdit->toPlainText().split(u'\n');
    if (!attachmentEdit->text().isEmpty())
        message.attachmentPath = attachmentEdit->text();

    auto log = [logging](const QString& text) {
        if (logging)
            rt::WriteLog(text);
    };
    // Each network step runs on a worker thread while this window keeps
    // painting; the log lines are written here, between the steps, in order.
    try {
        log(QStringLiteral("SMTP: ") + rt::username() + QStringLiteral(" tillates tilgang"));
        log(QStringLiteral("SMTP: fra ") + message.sender.address + QStringLiteral(" til ")
            + net::addressListText(message.recipients) + QStringLiteral(" via ") + host);
        if (!fromKeyring)
            throw std::runtime_error(keyringFailure.toStdString());
        // A certificate the user may trust is asked about once, then kept.
        net::withCertificateTrust([this] { rt::awaitOffThread([this] { smtpClient.connect(); }); });
        // Encrypted without a verified certificate (no login, so nothing
        // secret goes): said whether or not the send is logged.
        if (!smtpClient.certificateWarning().isEmpty())
            rt::WriteLog(QStringLiteral("ADVARSEL: SMTP: ") + smtpClient.certificateWarning()
                         + QStringLiteral("; sender likevel kryptert til ") + host
                         + QStringLiteral(" siden ingen pålogging brukes"));
        log(QStringLiteral("SMTP: tilkoblet ") + host);
        rt::awaitOffThread([this] { smtpClient.send(message); });
        log(QStringLiteral("SMTP: melding sendt"));
        rt::awaitOffThread([this] { smtpClient.disconnect(); });
        log(QStringLiteral("SMTP: koblet fra ") + host);
        m_sent = true;
        recipientBox->setEditText(QString());
        subjectEdit->clear();
        bodyEdit->clear();
        attachmentEdit->clear();
    } catch (const std::exception& e) {
        const QString cause = causeOf(e);
        log(QStringLiteral("SMTP: Kan ikke sende melding til ") + host);
        // The cause goes to the log only with detailed logging on.
        if (rt::state().VerboseLogging)
            log(QStringLiteral("SMTP: ") + cause);
        // The pointer is normal again before the box waits for the user.
        busy.reset();
        rt::platform().messageBox(QStringLiteral("FEIL"), failureText(cause), rt::MsgIcon::None);
    }
}

QString TSendSMTPForm::failureText(const QString& cause)
{
    if (cause.isEmpty())
        return QStringLiteral("Sending mislyktes ");
    return QStringLiteral("Sending mislyktes \n") + rt::errorDisplayText(cause);
}

} // namespace mailout
