#include "SendSMTP.h"

#include "errordisplay.h"
#include "hostport.h"
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
#include <QShowEvent>
#include <QStyle>
#include <QToolButton>

#include <optional>

namespace mailout {

TSendSMTPForm* SendSMTPForm = nullptr;

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
class SendEnd {
public:
    explicit SendEnd(TSendSMTPForm& form)
        : m_form(form)
    {
    }
    ~SendEnd()
    {
        if (m_form.IdSMTP1.connected())
            m_form.IdSMTP1.disconnect();
        m_form.hide();
    }
    SendEnd(const SendEnd&) = delete;
    SendEnd& operator=(const SendEnd&) = delete;

private:
    TSendSMTPForm& m_form;
};

} // namespace

QString TSendSMTPForm::supportAddress()
{
    return QStringLiteral("support@tavlund.example");
}

TSendSMTPForm::TSendSMTPForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("SendSMTPForm"));
    setWindowTitle(QStringLiteral("Ny epost"));
    setFixedSize(612, 336);
    setFont(formFont());
    setModal(false);

    Label1 = makeLabel(this, "Label1", QStringLiteral("Mottager:"), QRect(8, 12, 60, 16));

    eMottager = new QComboBox(this);
    eMottager->setObjectName(QStringLiteral("eMottager"));
    eMottager->setEditable(true);
    eMottager->setInsertPolicy(QComboBox::NoInsert);
    eMottager->addItem(supportAddress());
    eMottager->setEditText(QString());
    eMottager->setGeometry(72, 8, 436, 22);
    Label1->setBuddy(eMottager);

    SendKnapp = new QPushButton(QStringLiteral("Send"), this);
    SendKnapp->setObjectName(QStringLiteral("SendKnapp"));
    SendKnapp->setIcon(QIcon::fromTheme(QStringLiteral("mail-send"), style()->standardIcon(QStyle::SP_ArrowRight)));
    SendKnapp->setGeometry(516, 6, 88, 26);
    SendKnapp->setEnabled(false);
    SendKnapp->setAutoDefault(false);

    Label2 = makeLabel(this, "Label2", QStringLiteral("Emne:"), QRect(8, 42, 60, 16));

    eEmne = new QLineEdit(this);
    eEmne->setObjectName(QStringLiteral("eEmne"));
    eEmne->setGeometry(72, 38, 532, 22);
    Label2->setBuddy(eEmne);

    eBody = new QPlainTextEdit(this);
    eBody->setObjectName(QStringLiteral("eBody"));
    eBody->setGeometry(8, 68, 596, 228);
    eBody->setLineWrapMode(QPlainTextEdit::NoWrap);
    eBody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    eBody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    eBody->setTabChangesFocus(false);

    Label3 = makeLabel(this, "Label3", QStringLiteral("Vedlegg:"), QRect(8, 310, 60, 16));

    eFilename = new QLineEdit(this);
    eFilename->setObjectName(QStringLiteral("eFilename"));
    eFilename->setGeometry(72, 306, 500, 22);
    Label3->setBuddy(eFilename);

    BitBtn1 = new QToolButton(this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    BitBtn1->setGeometry(580, 305, 24, 24);

    setTabOrder(eMottager, SendKnapp);
    setTabOrder(SendKnapp, eEmne);
    setTabOrder(eEmne, eBody);
    setTabOrder(eBody, eFilename);
    setTabOrder(eFilename, BitBtn1);

    // No filter, the platform's default options.
    OpenDialog1 = [this] { return QFileDialog::getOpenFileName(this); };

    connect(eMottager, &QComboBox::editTextChanged, this, [this] { rt::runHandler([this] { eMottagerChange(); }); });
    connect(BitBtn1, &QToolButton::clicked, this, [this] { rt::runHandler([this] { BitBtn1Click(); }); });
    connect(SendKnapp, &QPushButton::clicked, this, [this] { rt::runHandler([this] { SendKnappClick(); }); });
}

TSendSMTPForm::~TSendSMTPForm()
{
    if (SendSMTPForm == this)
        SendSMTPForm = nullptr;
}

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

void TSendSMTPForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Restoring a minimised window is no new opening.
    if (event->spontaneous())
        return;
    if (m_owner) {
        const QRect frame = m_owner->frameGeometry();
        move(frame.center() - QPoint(width() / 2, height() / 2));
    }
    rt::runHandler([this] { FormShow(); });
}

void TSendSMTPForm::FormShow()
{
    rt::useuserini();
    if (eMottager->currentText().isEmpty())
        eMottager->setEditText(rt::inireadstring(QStringLiteral("LastEmailAddress")));
    eMottager->setFocus(Qt::OtherFocusReason);
    eMottager->lineEdit()->selectAll();
    rt::usemainini();
    SendKnapp->setEnabled(!eMottager->currentText().isEmpty());
}

void TSendSMTPForm::eMottagerChange()
{
    SendKnapp->setEnabled(!eMottager->currentText().isEmpty());
}

void TSendSMTPForm::BitBtn1Click()
{
    const QString file = OpenDialog1 ? OpenDialog1() : QString();
    if (!file.isEmpty())
        eFilename->setText(file);
}

void TSendSMTPForm::SendKnappClick()
{
    // However this ends, the connection is let go and the window hides; it
    // keeps its fields for the next opening.
    const SendEnd end(*this);

    AMsg.clear();
    std::optional<rt::BusyCursor> busy;
    busy.emplace();

    // The recipient text is stored before any connection is tried, so it is
    // remembered even when the send fails.
    const QString recipientText = eMottager->currentText();
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
    AMsg.sender.address = rt::inireadstring(QStringLiteral("PersonalEmail"));
    AMsg.sender.name = rt::inireadstring(QStringLiteral("EmailName"));
    rt::inistandard();
    rt::usemainini();

    const net::HostPort server = net::splitHostPort(host, 25);
    IdSMTP1.host = server.host;
    IdSMTP1.port = server.port;
    IdSMTP1.authenticate = authenticate;
    IdSMTP1.user = authenticate ? user : QString();
    IdSMTP1.password = authenticate ? password : QString();

    AMsg.recipients = net::parseAddressList(recipientText);
    AMsg.subject = eEmne->text();
    AMsg.bodyLines = eBody->toPlainText().split(u'\n');
    if (!eFilename->text().isEmpty())
        AMsg.attachmentPath = eFilename->text();

    auto log = [logging](const QString& text) {
        if (logging)
            rt::WriteLog(text);
    };
    try {
        log(QStringLiteral("SMTP: ") + rt::username() + QStringLiteral(" tillates tilgang"));
        log(QStringLiteral("SMTP: fra ") + AMsg.sender.address + QStringLiteral(" til ")
            + net::addressListText(AMsg.recipients) + QStringLiteral(" via ") + host);
        IdSMTP1.connect();
        log(QStringLiteral("SMTP: tilkoblet ") + host);
        IdSMTP1.send(AMsg);
        log(QStringLiteral("SMTP: melding sendt"));
        IdSMTP1.disconnect();
        log(QStringLiteral("SMTP: koblet fra ") + host);
    } catch (const std::exception& e) {
        log(QStringLiteral("SMTP: Kan ikke sende melding til ") + host);
        // The cause goes to the log only with detailed logging on.
        if (rt::state().VerboseLogging)
            log(QStringLiteral("SMTP: ") + QString::fromUtf8(e.what()));
        // The pointer is normal again before the box waits for the user.
        busy.reset();
        rt::platform().messageBox(QStringLiteral("FEIL"), QStringLiteral("Sending mislyktes "), rt::MsgIcon::None);
    }
}

} // namespace mailout
