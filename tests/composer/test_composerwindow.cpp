// The composer on its real widgets: what the window itself does (its look,
// the send button, the last recipient proposed, the attachment picker), and
// that a send gathers its fields and the stored settings, shows a failure
// in a box, hides, and empties the window only after a send that went. The
// send itself has its own tests (test_mailsender.cpp).
#include "composerwindow.h"

#include "scriptedsmtpserver.h"
#include "settingsaccess.h"
#include "sendfixture.h"
#include "sinkchecks.h"
#include "smtpserver.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <optional>

using composer::ComposerWindow;
using namespace testsupport;

namespace {

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

class ComposerTest : public SendFixture {
protected:
    void SetUp() override
    {
        SendFixture::SetUp();
        newForm();
    }
    void TearDown() override { composerWindow.reset(); }

    // A fresh window, its file dialog answering pickerAnswer.
    void newForm()
    {
        composerWindow = std::make_unique<ComposerWindow>();
        composerWindow->chooseAttachmentFile = [this] {
            ++pickerCalls;
            return pickerAnswer;
        };
    }

    // The per-user sending settings; a key given as nullopt is left out.
    void writeSettings(const std::optional<QString>& server, bool logSmtp)
    {
        rt::IniFile ini(userIni());
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
        rt::IniFile ini(userIni());
        ini.writeInteger(QStringLiteral("Smtp"), QStringLiteral("SMTPAuthenticationType"), type);
        ini.writeString(QStringLiteral("Smtp"), QStringLiteral("ServerUser"), user);
        ini.writeString(QStringLiteral("Smtp"), QStringLiteral("ServerPassword"), password);
        ASSERT_TRUE(ini.updateFile());
    }

    // Writes a message as a user does: opens the window, types.
    void compose(const QString& recipients, const QString& subject, const QStringList& body,
                 const QString& attachment = {})
    {
        composerWindow->showComposer();
        QLineEdit* recipientEdit = composerWindow->recipientBox->lineEdit();
        recipientEdit->selectAll();
        QTest::keyClick(recipientEdit, Qt::Key_Delete);
        typeText(recipientEdit, recipients);
        typeText(composerWindow->subjectEdit, subject);
        for (qsizetype i = 0; i < body.size(); ++i) {
            if (i > 0)
                QTest::keyClick(composerWindow->bodyEdit, Qt::Key_Return);
            typeText(composerWindow->bodyEdit, body.at(i));
        }
        if (!attachment.isEmpty()) {
            pickerAnswer = attachment;
            QTest::mouseClick(composerWindow->pickAttachmentButton, Qt::LeftButton);
        }
    }

    void clickSend()
    {
        ASSERT_TRUE(composerWindow->sendButton->isEnabled());
        QTest::mouseClick(composerWindow->sendButton, Qt::LeftButton);
    }

    // Opened again, the window is empty: nothing invites sending the same
    // message twice, and no recipient is proposed.
    void expectEmptyOnOpening()
    {
        composerWindow->showComposer();
        EXPECT_EQ(composerWindow->recipientBox->currentText(), QString());
        EXPECT_EQ(composerWindow->subjectEdit->text(), QString());
        EXPECT_EQ(composerWindow->bodyEdit->toPlainText(), QString());
        EXPECT_EQ(composerWindow->attachmentEdit->text(), QString());
        EXPECT_FALSE(composerWindow->sendButton->isEnabled());
    }

    std::unique_ptr<ComposerWindow> composerWindow;
    QString pickerAnswer;
    int pickerCalls = 0;
};

// ---------------------------------------------------------------------------
// The window

TEST_F(ComposerTest, LooksAsDrawn)
{
    ComposerWindow& f = *composerWindow;
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Ny epost"));
    EXPECT_EQ(f.objectName(), QStringLiteral("ComposerWindow"));
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
    EXPECT_EQ(f.recipientBox->itemText(0), ComposerWindow::supportAddress());
    EXPECT_TRUE(ComposerWindow::supportAddress().endsWith(QStringLiteral(".example")));
    EXPECT_TRUE(f.recipientBox->currentText().isEmpty());
    EXPECT_FALSE(f.sendButton->isEnabled());
    EXPECT_EQ(f.bodyEdit->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(f.bodyEdit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(ComposerTest, SendIsEnabledExactlyWhenThereIsARecipient)
{
    composerWindow->showComposer();
    QLineEdit* edit = composerWindow->recipientBox->lineEdit();
    EXPECT_FALSE(composerWindow->sendButton->isEnabled());
    QTest::keyClicks(edit, QStringLiteral("o"));
    EXPECT_TRUE(composerWindow->sendButton->isEnabled());
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_FALSE(composerWindow->sendButton->isEnabled());
    QTest::keyClicks(edit, QStringLiteral(" "));
    EXPECT_TRUE(composerWindow->sendButton->isEnabled()) << "a blank is text";
    composerWindow->recipientBox->setEditText(QString());
    EXPECT_FALSE(composerWindow->sendButton->isEnabled());
    composerWindow->recipientBox->setCurrentIndex(0); // the preset item chosen from the list
    EXPECT_EQ(composerWindow->recipientBox->currentText(), ComposerWindow::supportAddress());
    EXPECT_TRUE(composerWindow->sendButton->isEnabled());
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
        composerWindow = std::make_unique<ComposerWindow>();
        composerWindow->recipientBox->setEditText(c.typed);
        composerWindow->showComposer();
        EXPECT_EQ(composerWindow->recipientBox->currentText(), c.shown);
        EXPECT_EQ(composerWindow->recipientBox->lineEdit()->selectedText(), c.shown) << "typing replaces the whole text";
        EXPECT_EQ(composerWindow->sendButton->isEnabled(), !c.shown.isEmpty());
        EXPECT_EQ(composerWindow->focusWidget(), composerWindow->recipientBox);
        // The runtime is back on the main settings file.
        EXPECT_EQ(rt::settingsFile().fileName(), rt::state().settingsFileName);
    }
}

TEST_F(ComposerTest, ShowsCentredOverItsOwnerAndHidesOnClose)
{
    QWidget owner;
    owner.setGeometry(200, 150, 400, 300); // room for the composer around its centre
    composerWindow->setOwner(&owner);
    compose(u8("ola@example.no"), u8("Emne"), {u8("Linje")}, QStringLiteral("/tmp/vedlegg.txt"));
    EXPECT_TRUE(composerWindow->isVisible());
    const QPoint offset = composerWindow->frameGeometry().center() - owner.frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << ',' << offset.y();

    ComposerWindow* const same = composerWindow.get();
    composerWindow->close();
    EXPECT_TRUE(composerWindow->isHidden());
    EXPECT_EQ(composerWindow.get(), same);
    composerWindow->showComposer();
    EXPECT_EQ(composerWindow->recipientBox->currentText(), u8("ola@example.no"));
    EXPECT_EQ(composerWindow->subjectEdit->text(), u8("Emne"));
    EXPECT_EQ(composerWindow->bodyEdit->toPlainText(), u8("Linje"));
    EXPECT_EQ(composerWindow->attachmentEdit->text(), QStringLiteral("/tmp/vedlegg.txt"));
}

TEST_F(ComposerTest, PickerSetsThePathOnlyWhenAFileIsChosen)
{
    pickerAnswer = QStringLiteral("/home/ola/rapport.pdf");
    QTest::mouseClick(composerWindow->pickAttachmentButton, Qt::LeftButton);
    EXPECT_EQ(composerWindow->attachmentEdit->text(), QStringLiteral("/home/ola/rapport.pdf"));
    pickerAnswer.clear(); // cancelled
    QTest::mouseClick(composerWindow->pickAttachmentButton, Qt::LeftButton);
    EXPECT_EQ(composerWindow->attachmentEdit->text(), QStringLiteral("/home/ola/rapport.pdf"));
    EXPECT_EQ(pickerCalls, 2);
}

// ---------------------------------------------------------------------------
// Sends from the window

// The send goes to the server of the stored settings, logged in with the
// stored account, from the stored sender, with the message as typed; the
// window then hides and opens empty.
TEST_F(ComposerTest, SendsWithTheStoredSettingsAndEmptiesTheWindow)
{
    ScriptedSmtpServer server;
    server.setAuthMechanisms({"PLAIN"});
    server.setCredentials("kari.n", u8("blåbær 7").toUtf8());
    writeSettings(server.hostPort(), true);
    writeLogin(1, u8("kari.n"), u8("blåbær 7"));
    rt::state().logToFile = true;
    const QString recipients = u8("ola@example.no; Per <per@example.no>");
    compose(recipients, u8("Logg"), {u8("Linje en"), u8("Linje to")});
    clickSend();

    EXPECT_TRUE(guard.fake.messages.isEmpty()) << guard.fake.messages.value(0).text.toStdString();
    EXPECT_EQ(events, (QStringList{u8("busy"), u8("normal")}));
    EXPECT_TRUE(composerWindow->isHidden());
    const QList<testsupport::SmtpLogin> logins = server.logins();
    ASSERT_EQ(logins.size(), 1);
    EXPECT_EQ(logins[0].user, "kari.n");
    EXPECT_EQ(QString::fromUtf8(logins[0].password), u8("blåbær 7"));
    const QList<testsupport::SmtpDelivery> got = server.deliveries();
    ASSERT_EQ(got.size(), 1);
    EXPECT_TRUE(got[0].mailFrom.startsWith("<kari@example.no>")) << got[0].mailFrom.toStdString();
    EXPECT_EQ(got[0].rcptTo, (QList<QByteArray>{"<ola@example.no>", "<per@example.no>"}));
    EXPECT_TRUE(got[0].data.contains("\r\nSubject: Logg\r\n")) << got[0].data.toStdString();
    EXPECT_TRUE(got[0].data.contains("\r\n\r\nLinje en\r\nLinje to")) << got[0].data.toStdString();
    EXPECT_EQ(smtpLog().value(1), u8("SMTP: fra kari@example.no til ola@example.no, Per <per@example.no> via ")
                                      + server.hostPort());
    EXPECT_EQ(storedLastAddress(), recipients);
    expectEmptyOnOpening();
}

// A send that fails shows "FEIL" with the cause once the pointer is normal
// again, hides the window and keeps the message for another try.
TEST_F(ComposerTest, FailureShowsTheBoxHidesAndKeepsTheMessage)
{
    struct Case {
        const char* what;
        std::optional<QString> server; // "ServerName"; nullopt: no key
    };
    const Case cases[] = {
        {"empty server name", QString()},
        {"no server name stored", std::nullopt},
    };
    rt::state().logToFile = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(userIni());
        writeSettings(c.server, true);
        guard.fake.messages.clear();
        events.clear();
        rt::state().logLines.clear();
        newForm();
        const QString recipients = u8("ola@example.no, Kari <kari@example.no>");
        compose(recipients, u8("Viktig"), {u8("Første linje"), u8("Andre linje")}, QStringLiteral("/tmp/notat.txt"));
        clickSend();

        ASSERT_EQ(guard.fake.messages.size(), 1);
        EXPECT_EQ(guard.fake.messages[0].caption, QStringLiteral("FEIL"));
        EXPECT_EQ(guard.fake.messages[0].text, u8("Sending mislyktes \nIngen SMTP-server er angitt."));
        EXPECT_EQ(guard.fake.messages[0].icon, rt::MsgIcon::None);
        EXPECT_EQ(events, (QStringList{u8("busy"), u8("normal"), u8("box")}));
        EXPECT_TRUE(composerWindow->isHidden());
        EXPECT_EQ(smtpLog(), (QStringList{u8("SMTP: OLA tillates tilgang"),
                                          u8("SMTP: fra kari@example.no til ola@example.no, Kari <kari@example.no> via "),
                                          u8("SMTP: Kan ikke sende melding til ")}));
        EXPECT_EQ(storedLastAddress(), recipients);

        composerWindow->showComposer();
        EXPECT_EQ(composerWindow->recipientBox->currentText(), recipients);
        EXPECT_EQ(composerWindow->subjectEdit->text(), u8("Viktig"));
        EXPECT_EQ(composerWindow->bodyEdit->toPlainText(), u8("Første linje\nAndre linje"));
        EXPECT_EQ(composerWindow->attachmentEdit->text(), QStringLiteral("/tmp/notat.txt"));
        EXPECT_TRUE(composerWindow->sendButton->isEnabled());
    }
}

// ---------------------------------------------------------------------------
// Against aiosmtpd: a message written in the window arrives as written

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

TEST_F(ComposerAiosmtpd, AttachmentArrivesIntactAndGoesAgainOnTheNextSend)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray bytes = awkwardBytes();
    const QString path = dir.filePath(u8("Årsrapport 2024.pdf"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    compose(kRecipients, kSubject, kBody, path);
    EXPECT_EQ(composerWindow->attachmentEdit->text(), path);
    clickSend();
    EXPECT_TRUE(guard.fake.messages.isEmpty()) << guard.fake.messages.value(0).text.toStdString();
    EXPECT_TRUE(composerWindow->isHidden());

    expectEmptyOnOpening();
    // Written again, a second send carries the same one file, not the
    // parts of the first send as well.
    compose(kRecipients, kSubject, kBody, path);
    clickSend();

    expectTwoWithAttachment(server->messages(), bytes);
}

} // namespace
