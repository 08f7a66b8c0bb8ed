// The composer on its real widgets: the window, and sends against the
// scripted SMTP server (faults, log lines) and a real aiosmtpd server (what
// arrives).
#include "SendSMTP.h"
#include "tls.h"

#include "fakeplatform.h"
#include "fakesecretstore.h"
#include "inifile.h"
#include "offthread.h"
#include "scriptedsmtpserver.h"
#include "smtpserver.h"
#include "testca.h"
#include "state.h"
#include "textfil.h"
#include "zt_reg.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <optional>
#include <ostream>

using mailout::TSendSMTPForm;
using testsupport::ScriptedSmtpServer;
using testsupport::SmtpFault;

void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

QString u8(const char* text)
{
    return QString::fromUtf8(text);
}

const QString kTime = QStringLiteral("01.02.2026 10:00:00");

// Types text key by key; letters beyond ASCII come as key events that
// carry only their text, as from a keyboard layout that has them.
void typeText(QWidget* widget, const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F)
            QTest::keyClick(widget, char(c.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

class ComposerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        guard.fake.fixedTime = kTime;
        // One record of busy-cursor changes and message boxes, in order.
        guard.fake.setUiHooks({
            [this](const QString& c, const QString& t, rt::MsgIcon i) {
                guard.fake.messages.append({c, t, i});
                events.append(QStringLiteral("box"));
            },
            [this](bool busy) {
                guard.fake.busyCalls.append(busy);
                events.append(busy ? QStringLiteral("busy") : QStringLiteral("normal"));
            },
            [] {},
            [this](const QString& c, const QString& t) { return guard.fake.ask(c, t); },
        });
        rt::textfilStart();
        rt::locateIniFile();
        form = std::make_unique<TSendSMTPForm>();
        form->chooseAttachmentFile = [this] {
            ++pickerCalls;
            return pickerAnswer;
        };
    }
    void TearDown() override { form.reset(); }

    QString userIni() const { return rt::state().EtcFolder + QStringLiteral("OLA.INI"); }

    // The per-user sending settings; a key given as nullopt is left out.
    void writeSettings(const std::optional<QString>& server, bool logSmtp)
    {
        rt::IniFileObj ini(userIni());
        if (server)
            ini.writeString(QStringLiteral("Smtp"), QStringLiteral("ServerName"), *server);
        ini.writeBool(QStringLiteral("Smtp"), QStringLiteral("LogSMTP"), logSmtp);
        ini.writeString(QStringLiteral("Email"), QStringLiteral("PersonalEmail"), QStringLiteral("kari@example.no"));
        ini.writeString(QStringLiteral("Email"), QStringLiteral("EmailName"), u8("Kari Nordmann"));
        ASSERT_TRUE(ini.updateFile());
    }

    // The login of the sending settings: SMTPAuthenticationType (0 "Ingen
    // pålogging", 1 "Enkel pålogging"), the user and the password as typed.
    void writeLogin(int type, const QString& user, const QString& password)
    {
        rt::IniFileObj ini(userIni());
        ini.writeInteger(QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType"), type);
        ini.writeString(QStringLiteral("Smtp"), QStringLiteral("ServerUser"), user);
        ini.writeString(QStringLiteral("Smtp"), QStringLiteral("ServerPassword"), password);
        ASSERT_TRUE(ini.updateFile());
    }

    void storeLastAddress(const QString& text)
    {
        rt::IniFileObj ini(userIni());
        ini.writeString(QStringLiteral("STANDARD"), QStringLiteral("LastEmailAddress"), text);
        ASSERT_TRUE(ini.updateFile());
    }

    // As stored on disk, not as held in memory.
    QString storedLastAddress() const
    {
        return rt::IniFileObj(userIni()).readString(QStringLiteral("STANDARD"), QStringLiteral("LastEmailAddress"));
    }

    // The SMTP lines of the log, without their time stamps.
    QStringList smtpLog() const
    {
        QStringList out;
        for (const QString& line : rt::state().LogLines) {
            const QString text = line.mid(kTime.size() + 1);
            if (line.startsWith(kTime) && text.startsWith(QStringLiteral("SMTP:")))
                out.append(text);
        }
        return out;
    }

    // Writes a message as a user does: opens the window, types.
    void compose(const QString& recipients, const QString& subject, const QStringList& body,
                 const QString& attachment = {})
    {
        form->showComposer();
        QLineEdit* recipientEdit = form->recipientBox->lineEdit();
        recipientEdit->selectAll();
        QTest::keyClick(recipientEdit, Qt::Key_Delete);
        typeText(recipientEdit, recipients);
        typeText(form->subjectEdit, subject);
        for (qsizetype i = 0; i < body.size(); ++i) {
            if (i > 0)
                QTest::keyClick(form->bodyEdit, Qt::Key_Return);
            typeText(form->bodyEdit, body.at(i));
        }
        if (!attachment.isEmpty()) {
            pickerAnswer = attachment;
            QTest::mouseClick(form->pickAttachmentButton, Qt::LeftButton);
        }
    }

    void clickSend()
    {
        ASSERT_TRUE(form->sendButton->isEnabled());
        QTest::mouseClick(form->sendButton, Qt::LeftButton);
    }

    testsupport::RuntimeFixtureGuard guard;
    std::unique_ptr<TSendSMTPForm> form;
    QStringList events;
    QString pickerAnswer;
    int pickerCalls = 0;
};

// ---------------------------------------------------------------------------
// The window

TEST_F(ComposerTest, LooksAsDrawn)
{
    TSendSMTPForm& f = *form;
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Ny epost"));
    EXPECT_EQ(f.objectName(), QStringLiteral("SendSMTPForm"));
    EXPECT_EQ(f.size(), QSize(612, 336));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_EQ(f.font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(f.font().pixelSize(), 11);
    EXPECT_FALSE(f.isModal());

    const std::pair<QWidget*, const char*> controls[] = {
        {f.recipientBox, "recipientBox"}, {f.sendButton, "sendButton"}, {f.subjectEdit, "subjectEdit"},
        {f.bodyEdit, "bodyEdit"},         {f.attachmentEdit, "attachmentEdit"}, {f.pickAttachmentButton, "pickAttachmentButton"},
    };
    for (const auto& [widget, name] : controls) {
        EXPECT_EQ(widget->objectName(), QLatin1String(name));
        EXPECT_TRUE(QRect(QPoint(0, 0), f.size()).contains(widget->geometry())) << name;
    }
    EXPECT_EQ(f.recipientLabel->text(), QStringLiteral("Mottager:"));
    EXPECT_EQ(f.subjectLabel->text(), QStringLiteral("Emne:"));
    EXPECT_EQ(f.attachmentLabel->text(), QStringLiteral("Vedlegg:"));
    EXPECT_EQ(f.sendButton->text(), QStringLiteral("Send"));
    EXPECT_FALSE(f.sendButton->icon().isNull());
    EXPECT_TRUE(f.pickAttachmentButton->text().isEmpty());
    EXPECT_FALSE(f.pickAttachmentButton->icon().isNull());
    EXPECT_GT(f.sendButton->x(), f.recipientBox->geometry().right());

    EXPECT_TRUE(f.recipientBox->isEditable());
    ASSERT_EQ(f.recipientBox->count(), 1);
    EXPECT_EQ(f.recipientBox->itemText(0), TSendSMTPForm::supportAddress());
    EXPECT_TRUE(TSendSMTPForm::supportAddress().endsWith(QStringLiteral(".example")));
    EXPECT_TRUE(f.recipientBox->currentText().isEmpty());
    EXPECT_FALSE(f.sendButton->isEnabled());
    EXPECT_EQ(f.bodyEdit->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(f.bodyEdit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(ComposerTest, SendIsEnabledExactlyWhenThereIsARecipient)
{
    form->showComposer();
    QLineEdit* edit = form->recipientBox->lineEdit();
    EXPECT_FALSE(form->sendButton->isEnabled());
    QTest::keyClicks(edit, QStringLiteral("o"));
    EXPECT_TRUE(form->sendButton->isEnabled());
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_FALSE(form->sendButton->isEnabled());
    QTest::keyClicks(edit, QStringLiteral(" "));
    EXPECT_TRUE(form->sendButton->isEnabled()) << "a blank is text";
    form->recipientBox->setEditText(QString());
    EXPECT_FALSE(form->sendButton->isEnabled());
    form->recipientBox->setCurrentIndex(0); // the preset item chosen from the list
    EXPECT_EQ(form->recipientBox->currentText(), TSendSMTPForm::supportAddress());
    EXPECT_TRUE(form->sendButton->isEnabled());
}

TEST_F(ComposerTest, OpeningFillsAnEmptyRecipientFromTheLastOne)
{
    struct Case {
        const char* what;
        std::optional<QString> stored;
        QString typed;
        QString shown;
    };
    const Case cases[] = {
        {"empty box takes the stored text", u8("ola@example.no, Åse <ase@example.no>"), QString(),
         u8("ola@example.no, Åse <ase@example.no>")},
        {"text already there stays", u8("ola@example.no"), u8("kari@example.no"), u8("kari@example.no")},
        {"nothing stored leaves it empty", std::nullopt, QString(), QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(userIni());
        if (c.stored)
            storeLastAddress(*c.stored);
        form = std::make_unique<TSendSMTPForm>();
        form->recipientBox->setEditText(c.typed);
        form->showComposer();
        EXPECT_EQ(form->recipientBox->currentText(), c.shown);
        EXPECT_EQ(form->recipientBox->lineEdit()->selectedText(), c.shown) << "typing replaces the whole text";
        EXPECT_EQ(form->sendButton->isEnabled(), !c.shown.isEmpty());
        EXPECT_EQ(form->focusWidget(), form->recipientBox);
        // The runtime is back on the main settings file.
        EXPECT_EQ(rt::IniFile().fileName(), rt::state().IniFileName);
    }
}

TEST_F(ComposerTest, ShowsCentredOverItsOwnerAndHidesOnClose)
{
    QWidget owner;
    owner.setGeometry(200, 150, 400, 300); // room for the composer around its centre
    form->setOwner(&owner);
    compose(u8("ola@example.no"), u8("Emne"), {u8("Linje")}, QStringLiteral("/tmp/vedlegg.txt"));
    EXPECT_TRUE(form->isVisible());
    const QPoint offset = form->frameGeometry().center() - owner.frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << ',' << offset.y();

    TSendSMTPForm* const same = form.get();
    form->close();
    EXPECT_TRUE(form->isHidden());
    EXPECT_EQ(form.get(), same);
    form->showComposer();
    EXPECT_EQ(form->recipientBox->currentText(), u8("ola@example.no"));
    EXPECT_EQ(form->subjectEdit->text(), u8("Emne"));
    EXPECT_EQ(form->bodyEdit->toPlainText(), u8("Linje"));
    EXPECT_EQ(form->attachmentEdit->text(), QStringLiteral("/tmp/vedlegg.txt"));
}

TEST_F(ComposerTest, PickerSetsThePathOnlyWhenAFileIsChosen)
{
    pickerAnswer = QStringLiteral("/home/ola/rapport.pdf");
    QTest::mouseClick(form->pickAttachmentButton, Qt::LeftButton);
    EXPECT_EQ(form->attachmentEdit->text(), QStringLiteral("/home/ola/rapport.pdf"));
    pickerAnswer.clear(); // cancelled
    QTest::mouseClick(form->pickAttachmentButton, Qt::LeftButton);
    EXPECT_EQ(form->attachmentEdit->text(), QStringLiteral("/home/ola/rapport.pdf"));
    EXPECT_EQ(pickerCalls, 2);
}

// ---------------------------------------------------------------------------
// Sends against the scripted server

class ComposerScripted : public ComposerTest {
protected:
    void SetUp() override
    {
        ComposerTest::SetUp();
        server = std::make_unique<ScriptedSmtpServer>();
    }
    void TearDown() override
    {
        ComposerTest::TearDown();
        server.reset();
    }

    std::unique_ptr<ScriptedSmtpServer> server;
};

TEST_F(ComposerScripted, LogLinesNeedBothLogSmtpAndLogToFile)
{
    const QString recipients = u8("\"Nordmann, Ola\" <ola@example.no>,per@example.no ; Åse <ase@example.no>");
    const QString host = server->hostPort();
    const QStringList successLines = {
        u8("SMTP: OLA tillates tilgang"),
        u8("SMTP: fra kari@example.no til \"Nordmann, Ola\" <ola@example.no>, per@example.no, Åse <ase@example.no> "
           "via ") + host,
        u8("SMTP: tilkoblet ") + host,
        u8("SMTP: melding sendt"),
        u8("SMTP: koblet fra ") + host,
    };
    struct Case {
        const char* what;
        bool logSmtp;
        bool logToFile;
        QStringList expected;
    };
    const Case cases[] = {
        {"both on", true, true, successLines},
        {"LogSMTP without LogToFile", true, false, {}},
        {"LogToFile without LogSMTP", false, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeSettings(host, c.logSmtp);
        rt::state().LogToFile = c.logToFile;
        rt::state().LogLines.clear();
        compose(recipients, u8("Logg"), {u8("Hei")});
        clickSend();
        EXPECT_EQ(smtpLog(), c.expected);
        EXPECT_TRUE(guard.fake.messages.isEmpty());
        EXPECT_TRUE(form->isHidden());
    }
    const QList<testsupport::SmtpDelivery> got = server->deliveries();
    ASSERT_EQ(got.size(), 3);
    EXPECT_EQ(got[0].rcptTo, (QList<QByteArray>{"<ola@example.no>", "<per@example.no>", "<ase@example.no>"}));
    EXPECT_EQ(events, (QStringList{u8("busy"), u8("normal"), u8("busy"), u8("normal"), u8("busy"), u8("normal")}));
}

TEST_F(ComposerScripted, LogsInWithTheStoredAccountOnlyWithEnkelPalogging)
{
    const QString password = u8("blåbær 7");
    struct Case {
        const char* what;
        int type;
        QString serverPassword; // what the server accepts
        bool loginExpected;
        bool sent;
    };
    const Case cases[] = {
        {"Enkel pålogging", 1, password, true, true},
        {"Ingen pålogging", 0, password, false, true},
        {"Enkel pålogging, refused", 1, u8("noe annet"), true, false},
    };
    server->setAuthMechanisms({"PLAIN"});
    rt::state().LogToFile = true;
    // The failure's cause goes to the log as well; it must not carry the
    // password either.
    rt::state().VerboseLogging = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server->setCredentials(u8("kari.n").toUtf8(), c.serverPassword.toUtf8());
        const qsizetype loginsBefore = server->logins().size();
        const qsizetype deliveriesBefore = server->deliveries().size();
        guard.fake.messages.clear();
        rt::state().LogLines.clear();
        writeSettings(server->hostPort(), true);
        writeLogin(c.type, u8("kari.n"), password);
        compose(u8("ola@example.no"), u8("Pålogging"), {u8("Hei")});
        clickSend();

        const QList<testsupport::SmtpLogin> logins = server->logins().mid(loginsBefore);
        if (c.loginExpected) {
            ASSERT_EQ(logins.size(), 1);
            EXPECT_EQ(logins[0].user, "kari.n");
            EXPECT_EQ(QString::fromUtf8(logins[0].password), password);
        } else {
            EXPECT_TRUE(logins.isEmpty());
        }
        EXPECT_EQ(server->deliveries().size() - deliveriesBefore, c.sent ? 1 : 0);
        EXPECT_EQ(guard.fake.messages.isEmpty(), c.sent);
        ASSERT_FALSE(smtpLog().isEmpty());
        for (const QString& line : rt::state().LogLines)
            EXPECT_FALSE(line.contains(password)) << line.toStdString();
        if (!c.sent) {
            EXPECT_TRUE(smtpLog().last().contains(u8("535 5.7.8"))) << smtpLog().last().toStdString();
        }
    }
}

// A password the settings file does not hold comes from the keyring; one
// the keyring cannot give (or that is stored nowhere) fails the send with
// its cause, and no password goes to the server.
TEST_F(ComposerScripted, PasswordFromTheKeyring)
{
    const QString password = u8("fra nøkkelringen");
    struct Case {
        const char* what;
        QString inFile;
        std::optional<QString> inKeyring;
        bool locked;
        std::optional<QString> loginWith; // nullopt: no log-in
        QString box;
    };
    const Case cases[] = {
        {"only in the keyring", {}, password, false, password, {}},
        {"the file's wins (not moved yet)", u8("fra filen"), password, false, u8("fra filen"), {}},
        {"the keyring is locked", {}, password, true, std::nullopt,
         u8("Sending mislyktes \nPassordet for SMTP-kontoen kunne ikke hentes fra nøkkelringen: nøkkelringen er låst.")},
        {"no password anywhere: no log-in with an empty one", {}, std::nullopt, false, std::nullopt,
         u8("Sending mislyktes \nDet er ikke lagret noe passord for kari.n på 127.0.0.1 (SMTP). Skriv det inn under "
            "«Oppsett».")},
    };
    server->setAuthMechanisms({"PLAIN"});
    testsupport::FakeSecretStore keyringStore;
    const testsupport::StoreGuard installed(&keyringStore);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        keyringStore.entries.clear();
        if (c.inKeyring)
            keyringStore.entries.insert(u8("Brevglimt: kari.n på 127.0.0.1 (SMTP)"), *c.inKeyring);
        keyringStore.locked = c.locked;
        server->setCredentials("kari.n", c.loginWith.value_or(password).toUtf8());
        const qsizetype loginsBefore = server->logins().size();
        guard.fake.messages.clear();
        writeSettings(server->hostPort(), false);
        writeLogin(1, u8("kari.n"), c.inFile);
        compose(u8("ola@example.no"), u8("Nøkkelring"), {u8("Hei")});
        clickSend();

        const QList<testsupport::SmtpLogin> logins = server->logins().mid(loginsBefore);
        if (c.loginWith) {
            ASSERT_EQ(logins.size(), 1);
            EXPECT_EQ(QString::fromUtf8(logins[0].password), *c.loginWith);
        } else {
            EXPECT_TRUE(logins.isEmpty());
        }
        const QStringList calls = keyringStore.takeCalls();
        EXPECT_EQ(calls.isEmpty(), !c.inFile.isEmpty()) << "the keyring is read when the file has no password";
        if (c.box.isEmpty()) {
            EXPECT_TRUE(guard.fake.messages.isEmpty());
        } else {
            ASSERT_EQ(guard.fake.messages.size(), 1);
            EXPECT_EQ(guard.fake.messages.first().text, c.box);
            EXPECT_EQ(form->subjectEdit->text(), u8("Nøkkelring")) << "the message is kept for another try";
            form->subjectEdit->clear();
            form->bodyEdit->clear();
        }
    }
}

struct FailureCase {
    const char* name;
    std::optional<SmtpFault> fault;
    // What the settings say: the scripted server, an empty text, or no key.
    enum class Server { Scripted, Empty, Absent } server = Server::Scripted;
    bool missingAttachment = false;
    bool quitAfterwards = true; // the server saw the client's QUIT
    bool connects = true; // the "tilkoblet" line comes before the failure
    // The cause on the box's second line; %1 the server's host:port, %2 the
    // attachment's path.
    const char* cause = "";
    int replyMs = 300; // a stall ends in a time-out, shortened from a minute
    // Set: the server stalls for good, and a timer on the window thread stops
    // it once it has received this command; the send can end only if the
    // window thread keeps running while it waits.
    const char* windowStopsServerAfter = nullptr;
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c)
{
    return os << c.name;
}

class ComposerFailure : public ComposerScripted, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ComposerFailure, ShowsTheFailureBoxAndKeepsTheMessage)
{
    const FailureCase& c = GetParam();
    if (c.fault)
        server->addFault(*c.fault);
    QString host;
    if (c.server == FailureCase::Server::Scripted)
        host = server->hostPort();
    writeSettings(c.server == FailureCase::Server::Absent ? std::nullopt : std::optional<QString>(host), true);
    rt::state().LogToFile = true;
    form->smtpClient.timeouts.replyMs = c.replyMs;

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString attachment = dir.filePath(QStringLiteral("notat.txt"));
    if (!c.missingAttachment) {
        QFile f(attachment);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("innhold\n");
    }
    const QString recipients = u8("ola@example.no, Kari <kari@example.no>");
    compose(recipients, u8("Viktig"), {u8("Første linje"), u8("Andre linje")}, attachment);

    // The window thread while the network steps run: its timers fire.
    int ticksDuringSend = 0;
    QTimer windowTimer;
    windowTimer.setInterval(5);
    QObject::connect(&windowTimer, &QTimer::timeout, [&] {
        if (!rt::offThreadStepRunning())
            return;
        ++ticksDuringSend;
        if (c.windowStopsServerAfter && server->receivedVerbs().contains(QByteArray(c.windowStopsServerAfter)))
            server->stop();
    });
    windowTimer.start();
    clickSend();
    windowTimer.stop();
    if (c.windowStopsServerAfter || (c.fault && c.fault->action == SmtpFault::Action::Stall)) {
        EXPECT_GT(ticksDuringSend, 0) << "the window thread stood still while the server stalled";
    }

    ASSERT_EQ(guard.fake.messages.size(), 1);
    EXPECT_EQ(guard.fake.messages[0].caption, QStringLiteral("FEIL"));
    EXPECT_EQ(guard.fake.messages[0].text,
              QStringLiteral("Sending mislyktes \n")
                  + u8(c.cause).replace(QStringLiteral("%1"), server->hostPort()).replace(QStringLiteral("%2"), attachment));
    EXPECT_EQ(guard.fake.messages[0].icon, rt::MsgIcon::None);
    EXPECT_EQ(events, (QStringList{u8("busy"), u8("normal"), u8("box")}));
    QStringList log = {u8("SMTP: OLA tillates tilgang"),
                       u8("SMTP: fra kari@example.no til ola@example.no, Kari <kari@example.no> via ") + host};
    if (c.connects)
        log.append(u8("SMTP: tilkoblet ") + host);
    log.append(u8("SMTP: Kan ikke sende melding til ") + host);
    EXPECT_EQ(smtpLog(), log);

    EXPECT_EQ(storedLastAddress(), recipients);
    EXPECT_TRUE(form->isHidden());
    EXPECT_FALSE(form->smtpClient.connected());
    EXPECT_EQ(form->recipientBox->currentText(), recipients);
    EXPECT_EQ(form->subjectEdit->text(), u8("Viktig"));
    EXPECT_EQ(form->bodyEdit->toPlainText(), u8("Første linje\nAndre linje"));
    EXPECT_EQ(form->attachmentEdit->text(), attachment);
    EXPECT_TRUE(server->deliveries().isEmpty());
    if (c.quitAfterwards) {
        EXPECT_EQ(server->receivedVerbs().value(server->receivedVerbs().size() - 1), "QUIT");
    }
}

FailureCase failureCase(const char* name, std::optional<SmtpFault> fault, const char* cause)
{
    FailureCase c;
    c.name = name;
    c.fault = std::move(fault);
    c.cause = cause;
    return c;
}

FailureCase notConnecting(FailureCase c)
{
    c.quitAfterwards = false;
    c.connects = false;
    return c;
}

FailureCase withServer(FailureCase c, FailureCase::Server server)
{
    c.server = server;
    return notConnecting(c);
}

FailureCase dropping(FailureCase c)
{
    c.quitAfterwards = false;
    return c;
}

const FailureCase kFailureCases[] = {
    failureCase("refused_recipient", SmtpFault::reply("RCPT", "550 5.1.1 No such user").onArgument("kari@"),
                "Serveren avviste mottakeren <kari@example.no>: 550 5.1.1 No such user."),
    failureCase("refused_sender", SmtpFault::reply("MAIL", "553 5.7.1 Sender rejected"),
                "Serveren avviste avsenderen <kari@example.no>: 553 5.7.1 Sender rejected."),
    dropping(failureCase("dropped_connection", SmtpFault::drop("DATA"), "Forbindelsen til %1 ble brutt.")),
    notConnecting(failureCase("stalled_server", SmtpFault::stall("GREETING"),
                              "Tidsavbrudd: ingen svar fra %1 innen 300 millisekunder.")),
    [] {
        FailureCase c = dropping(failureCase("stalled_data_ended_from_the_window_thread", SmtpFault::stall("DATA"),
                                             "Forbindelsen til %1 ble brutt."));
        c.replyMs = 30000;
        c.windowStopsServerAfter = "DATA";
        return c;
    }(),
    [] {
        FailureCase c = failureCase("unreadable_attachment", std::nullopt, "Finner ikke vedlegget %2.");
        c.missingAttachment = true;
        return c;
    }(),
    withServer(failureCase("empty_host", std::nullopt, "Ingen SMTP-server er angitt."),
               FailureCase::Server::Empty),
    withServer(failureCase("no_host_stored", std::nullopt, "Ingen SMTP-server er angitt."),
               FailureCase::Server::Absent),
};

INSTANTIATE_TEST_SUITE_P(Faults, ComposerFailure, ::testing::ValuesIn(kFailureCases),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Sends against aiosmtpd: what arrives

class ComposerAiosmtpd : public ComposerTest {
protected:
    void SetUp() override
    {
        if (!testsupport::AiosmtpdServer::available())
            GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
        ComposerTest::SetUp();
        server = std::make_unique<testsupport::AiosmtpdServer>();
        writeSettings(server->hostPort(), false);
    }
    void TearDown() override
    {
        ComposerTest::TearDown();
        if (server && HasFailure())
            std::cerr << "--- aiosmtpd output ---\n" << server->log().toStdString() << std::endl;
        server.reset();
    }

    std::unique_ptr<testsupport::AiosmtpdServer> server;
};

QStringList strings(const QJsonValue& array)
{
    QStringList out;
    for (const QJsonValue& v : array.toArray())
        out.append(v.toString());
    return out;
}

QJsonObject part(const testsupport::SinkMessage& m, int i)
{
    return m.info.value(QStringLiteral("parts")).toArray().at(i).toObject();
}

QString partText(const testsupport::SinkMessage& m, int i)
{
    return part(m, i).value(QStringLiteral("text")).toString().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QByteArray partBytes(const testsupport::SinkMessage& m, int i)
{
    return QByteArray::fromBase64(part(m, i).value(QStringLiteral("payload_base64")).toString().toLatin1());
}

// What a reader expects of every message we send.
void expectSoundMessage(const testsupport::SinkMessage& m)
{
    EXPECT_TRUE(m.info.value(QStringLiteral("defects")).toArray().isEmpty())
        << QJsonDocument(m.info.value(QStringLiteral("defects")).toArray()).toJson().toStdString();
    EXPECT_EQ(m.info.value(QStringLiteral("mail_from")).toString(), QStringLiteral("kari@example.no"));
    EXPECT_EQ(m.header(QStringLiteral("From")), u8("Kari Nordmann <kari@example.no>"));
    for (const char* once : {"Date", "Message-ID", "From", "To", "Subject", "MIME-Version"})
        EXPECT_EQ(m.headerCount(QLatin1String(once)), 1) << once;
    EXPECT_TRUE(m.header(QStringLiteral("Message-ID")).endsWith(QStringLiteral("@example.no>")));
    for (const char c : m.raw)
        ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "the message is not 7-bit";
}

const QString kSubject = u8("Møte på fredag – æøå ÆØÅ");
const QStringList kBody = {u8("Hei Ola og Åse,"), u8("blåbærsyltetøy på fredag?"), u8("."), u8(".. to prikker"),
                           u8("From a line that mail programs like to change"), u8("Hilsen Kari")};
const QString kRecipients = u8("\"Nordmann, Ola\" <ola@example.no>, Åse Bjørnstad <ase@example.no>");

TEST_F(ComposerAiosmtpd, PlainMessageArrivesAsWritten)
{
    compose(kRecipients, kSubject, kBody);
    clickSend();
    EXPECT_TRUE(guard.fake.messages.isEmpty()) << guard.fake.messages.value(0).text.toStdString();
    EXPECT_TRUE(form->isHidden());

    const QList<testsupport::SinkMessage> got = server->messages();
    ASSERT_EQ(got.size(), 1);
    const testsupport::SinkMessage& m = got[0];
    expectSoundMessage(m);
    EXPECT_EQ(strings(m.info.value(QStringLiteral("rcpt_tos"))),
              (QStringList{u8("ola@example.no"), u8("ase@example.no")}));
    EXPECT_EQ(m.header(QStringLiteral("To")), u8("\"Nordmann, Ola\" <ola@example.no>, Åse Bjørnstad <ase@example.no>"));
    EXPECT_EQ(m.header(QStringLiteral("Subject")), kSubject);
    EXPECT_FALSE(m.info.value(QStringLiteral("is_multipart")).toBool());
    EXPECT_EQ(m.info.value(QStringLiteral("content_type")).toString(), QStringLiteral("text/plain"));
    EXPECT_EQ(part(m, 0).value(QStringLiteral("charset")).toString(), QStringLiteral("utf-8"));
    EXPECT_EQ(partText(m, 0), kBody.join(u'\n') + u'\n');
    EXPECT_EQ(storedLastAddress(), kRecipients);
}

TEST_F(ComposerAiosmtpd, AttachmentArrivesIntactAndGoesAgainOnTheNextSend)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray bytes;
    for (int round = 0; round < 300; ++round) {
        for (int i = 0; i < 256; ++i)
            bytes += char((i * 7 + round) & 0xFF);
        bytes += "\r\n.\r\n.\n\r";
    }
    const QString path = dir.filePath(u8("Årsrapport 2024.pdf"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    compose(kRecipients, kSubject, kBody, path);
    EXPECT_EQ(form->attachmentEdit->text(), path);
    clickSend();
    EXPECT_TRUE(guard.fake.messages.isEmpty()) << guard.fake.messages.value(0).text.toStdString();
    EXPECT_TRUE(form->isHidden());

    // Opened again after the send went, the window is empty, so nothing
    // invites sending the same message twice.
    form->showComposer();
    EXPECT_EQ(form->recipientBox->currentText(), QString());
    EXPECT_EQ(form->subjectEdit->text(), QString());
    EXPECT_EQ(form->bodyEdit->toPlainText(), QString());
    EXPECT_EQ(form->attachmentEdit->text(), QString());
    EXPECT_FALSE(form->sendButton->isEnabled());
    // Written again, a second send carries the same one file, not the
    // parts of the first send as well.
    compose(kRecipients, kSubject, kBody, path);
    clickSend();

    const QList<testsupport::SinkMessage> got = server->messages();
    ASSERT_EQ(got.size(), 2);
    for (const testsupport::SinkMessage& m : got) {
        expectSoundMessage(m);
        EXPECT_EQ(strings(m.info.value(QStringLiteral("rcpt_tos"))),
                  (QStringList{u8("ola@example.no"), u8("ase@example.no")}));
        EXPECT_EQ(m.header(QStringLiteral("Subject")), kSubject);
        EXPECT_EQ(m.info.value(QStringLiteral("content_type")).toString(), QStringLiteral("multipart/mixed"));
        ASSERT_EQ(m.info.value(QStringLiteral("parts")).toArray().size(), 2);
        EXPECT_EQ(part(m, 0).value(QStringLiteral("content_type")).toString(), QStringLiteral("text/plain"));
        EXPECT_EQ(partText(m, 0), kBody.join(u'\n') + u'\n');
        EXPECT_EQ(part(m, 1).value(QStringLiteral("disposition")).toString(), QStringLiteral("attachment"));
        EXPECT_EQ(part(m, 1).value(QStringLiteral("filename")).toString(), u8("Årsrapport 2024.pdf"));
        EXPECT_EQ(partBytes(m, 1), bytes);
    }
    EXPECT_NE(got[0].header(QStringLiteral("Message-ID")), got[1].header(QStringLiteral("Message-ID")));
}

// A local server that requires STARTTLS with a self-signed certificate, as a
// freshly installed mail server has. Without a login the mail goes anyway,
// encrypted, and the unverified certificate is logged as a warning; with a
// login nothing is sent and the box names what is wrong with the certificate.
TEST_F(ComposerTest, SelfSignedStartTlsWithAndWithoutLogin)
{
    if (!testsupport::AiosmtpdServer::available())
        GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
    const testsupport::TestCa ca;
    const QString refusal = u8("Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent");
    struct Case {
        const char* what;
        bool login;
        bool trust; // the answer to the question about the certificate
        bool arrives;
    };
    const Case cases[] = {
        {"Ingen pålogging", false, false, true},
        {"Enkel pålogging", true, false, false},
        {"Enkel pålogging, certificate trusted on request", true, true, true},
    };
    rt::state().LogToFile = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::AiosmtpdOptions options;
        options.certificateFile = ca.selfSigned().certificateFile;
        options.keyFile = ca.selfSigned().keyFile;
        if (c.login) {
            options.user = QStringLiteral("kari");
            options.password = QStringLiteral("hemmelig");
        }
        testsupport::AiosmtpdServer server(options);
        writeSettings(server.hostPort(), false);
        writeLogin(c.login ? 1 : 0, QStringLiteral("kari"), QStringLiteral("hemmelig"));
        rt::state().LogLines.clear();
        guard.fake.messages.clear();
        guard.fake.questions.clear();
        guard.fake.answers = {c.trust};
        net::CertificatePins::instance().clear();

        compose(u8("ola@example.no"), u8("Selvsignert"), {u8("Hei")});
        clickSend();

        const QList<testsupport::SinkMessage> got = server.messages();
        QStringList warnings;
        for (const QString& line : rt::state().LogLines) {
            if (line.mid(kTime.size() + 1).startsWith(QStringLiteral("ADVARSEL: ")))
                warnings.append(line.mid(kTime.size() + 1));
        }
        // Only a log-in makes the certificate matter enough to ask.
        EXPECT_EQ(guard.fake.questions.size(), c.login ? 1 : 0);
        if (c.arrives && c.login) {
            ASSERT_EQ(got.size(), 1) << server.log().toStdString();
            EXPECT_TRUE(got[0].info.value(QStringLiteral("tls")).toBool());
            EXPECT_TRUE(guard.fake.messages.isEmpty()) << guard.fake.messages.value(0).text.toStdString();
            EXPECT_TRUE(warnings.isEmpty());
        } else if (c.arrives) {
            EXPECT_TRUE(guard.fake.messages.isEmpty()) << guard.fake.messages.value(0).text.toStdString();
            ASSERT_EQ(got.size(), 1) << server.log().toStdString();
            EXPECT_TRUE(got[0].info.value(QStringLiteral("tls")).toBool());
            EXPECT_EQ(warnings, QStringList{u8("ADVARSEL: SMTP: ") + refusal
                                            + u8("; sender likevel kryptert til ") + server.hostPort()
                                            + u8(" siden ingen pålogging brukes")});
        } else {
            EXPECT_TRUE(got.isEmpty());
            ASSERT_EQ(guard.fake.messages.size(), 1);
            EXPECT_EQ(guard.fake.messages[0].text, u8("Sending mislyktes \n") + refusal + u8("."));
            EXPECT_TRUE(warnings.isEmpty());
        }
    }
    net::CertificatePins::instance().clear();
}

} // namespace
