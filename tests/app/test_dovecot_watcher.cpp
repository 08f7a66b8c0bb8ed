// The watcher against a real Dovecot POP3 server: check, open, delete.
#include "certtrust.h"
#include "dovecotserver.h"
#include "testca.h"
#include "watcherfixture.h"

#include <QFile>
#include <QTest>

using namespace testsupport;
using testsupport::TestCa;
using testsupport::TestCertificate;

namespace {

class DovecotWatcherTest : public WatcherFixture {
protected:
    void SetUp() override
    {
        if (!DovecotServer::available())
            GTEST_SKIP() << "dovecot is not installed (tools/install-deps.sh installs it)";
        WatcherFixture::SetUp();
        dovecot = std::make_unique<DovecotServer>(QList<QByteArray>{
            mailMessage("=?ISO-8859-1?Q?=C6rlig_=D8yvind?= <oyvind@test.example>", "=?UTF-8?Q?M=C3=B8te_p=C3=A5_fredag?=", "m1"),
            mailMessage("\"Hansen, Per\" <per@test.example>", "Regning", "m2"),
            mailMessage("kari@test.example", "Hei", "m3"),
        });
        writeSettings({{QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(dovecot->port())},
                       {QStringLiteral("ServerUser"), dovecot->user()},
                       {QStringLiteral("ServerPassword"), rt::scrambleText(dovecot->password())}});
    }
    void TearDown() override
    {
        stripWindow.reset();
        dovecot.reset();
        WatcherFixture::TearDown();
    }
    std::unique_ptr<DovecotServer> dovecot;
};

} // namespace

TEST_F(DovecotWatcherTest, ChecksOpensAndDeletes)
{
    app::StripWindow& f = makeStrip();
    f.showStrip();
    ASSERT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 3"));
    EXPECT_EQ(lines(), (QStringList{
        QStringLiteral("Ærlig Øyvind <oyvind@test.example>   Møte på fredag"),
        QStringLiteral("\"Hansen, Per\" <per@test.example>   Regning"),
        QStringLiteral("kari@test.example   Hei"),
    }));

    selectLine(f.messageList, 1);
    f.onListDoubleClicked();
    ASSERT_EQ(guard.fake.opened.size(), 1);
    QFile saved(guard.fake.opened[0].value(0));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), dovecot->messages().at(1));

    selectLine(f.messageList, 0);
    f.deleteAction->trigger();
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(dovecot->remainingIndexes(), (QList<int>{1, 2}));
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
    EXPECT_EQ(lines().value(0), QStringLiteral("\"Hansen, Per\" <per@test.example>   Regning"));
}

TEST_F(DovecotWatcherTest, ARecheckAfterMailCameAndWentShowsTheMailboxAsItIs)
{
    app::StripWindow& f = makeStrip();
    f.showStrip();
    ASSERT_EQ(lines().size(), 3);
    const QStringList first = lines();

    // Another client deletes the second message; two new ones arrive.
    dovecot->expunge(1);
    dovecot->deliver(mailMessage("ny@test.example", "Ny 1", "n1"));
    dovecot->deliver(mailMessage("ny@test.example", "Ny 2", "n2"));
    f.checkNowAction->trigger();
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(lines(), (QStringList{first.at(0), first.at(2), QStringLiteral("ny@test.example   Ny 1"),
                                    QStringLiteral("ny@test.example   Ny 2")}));

    // A restart reads the same list from the cache file and the server.
    makeStrip().showStrip();
    EXPECT_EQ(lines(), (QStringList{first.at(0), first.at(2), QStringLiteral("ny@test.example   Ny 1"),
                                    QStringLiteral("ny@test.example   Ny 2")}));
}

// The same Dovecot over IMAP: the unseen messages of INBOX, opened (and so
// read) and deleted by UID, and new mail shown by push without a check.
TEST_F(DovecotWatcherTest, ImapListsOpensDeletesAndPushes)
{
    if (!DovecotServer::imapAvailable())
        GTEST_SKIP() << "dovecot-imapd is not installed (tools/install-deps.sh installs it)";
    writeSettings({{QStringLiteral("Protocol"), QStringLiteral("IMAP")},
                   {QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(dovecot->imapPort())},
                   {QStringLiteral("ServerUser"), dovecot->user()},
                   {QStringLiteral("ServerPassword"), rt::scrambleText(dovecot->password())}});
    app::StripWindow& f = makeStrip();
    f.showStrip();
    ASSERT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 3"));
    const QStringList first = lines();
    ASSERT_EQ(first, (QStringList{
        QStringLiteral("Ærlig Øyvind <oyvind@test.example>   Møte på fredag"),
        QStringLiteral("\"Hansen, Per\" <per@test.example>   Regning"),
        QStringLiteral("kari@test.example   Hei"),
    }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.watcher().pushState() == watch::ImapPush::State::Up; }, 5000));

    // Opened: the whole message, read on the server once the desktop
    // showed it; push sees the flag change and the line leaves the list.
    selectLine(f.messageList, 1);
    f.onListDoubleClicked();
    ASSERT_EQ(guard.fake.opened.size(), 1);
    QFile saved(guard.fake.opened[0].value(0));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), dovecot->messages().at(1));
    EXPECT_TRUE(QTest::qWaitFor([&] { return dovecot->flags(1).contains(QLatin1Char('S')); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == QStringList{first.at(0), first.at(2)}; }, 5000));

    selectLine(f.messageList, 0);
    f.deleteAction->trigger();
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(dovecot->remainingIndexes(), (QList<int>{1, 2}));
    EXPECT_EQ(lines(), QStringList{first.at(2)});

    // Delivered into the Maildir, read by another program: push shows both.
    dovecot->deliver(mailMessage("ny@test.example", "Ny", "n1"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == QStringList{first.at(2), QStringLiteral("ny@test.example   Ny")}; },
                                5000))
        << lines().join(QLatin1Char('|')).toStdString();
    dovecot->setFlags(2, QStringLiteral("S"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == QStringList{QStringLiteral("ny@test.example   Ny")}; }, 5000))
        << lines().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 1"));
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
}

namespace {

// The strip against a Dovecot that offers STLS with a certificate the
// system cannot verify, as a self-hosted server has it.
class DovecotTrustTest : public WatcherFixture {
protected:
    void SetUp() override
    {
        if (!DovecotServer::available())
            GTEST_SKIP() << "dovecot is not installed (tools/install-deps.sh installs it)";
        WatcherFixture::SetUp();
        net::setExtraTrustedCaFile(ca.caFile());
    }
    void TearDown() override
    {
        stripWindow.reset();
        dovecot.reset();
        net::CertificatePins::instance().clear();
        net::setExtraTrustedCaFile({});
        WatcherFixture::TearDown();
    }
    void serve(const TestCertificate& certificate)
    {
        dovecot = std::make_unique<DovecotServer>(QList<QByteArray>{mailMessage("kari@test.example", "Hei", "t1")},
                                                  DovecotTls{certificate.certificateFile, certificate.keyFile});
        writeSettings({{QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(dovecot->port())},
                       {QStringLiteral("ServerUser"), dovecot->user()},
                       {QStringLiteral("ServerPassword"), rt::scrambleText(dovecot->password())}});
    }
    QString storedFingerprint() const
    {
        rt::IniFile ini(rt::state().etcFolder + QStringLiteral("OLA.INI"));
        return ini.readString(net::kTrustSection, QStringLiteral("127.0.0.1/%1").arg(dovecot->port()), QString());
    }

    const TestCa ca;
    std::unique_ptr<DovecotServer> dovecot;
};

} // namespace

TEST_F(DovecotTrustTest, SelfSignedIsCheckedOnlyAfterTheUserTrustsIt)
{
    serve(ca.selfSigned());
    // Refused: the question comes, the answer is no, nothing is stored.
    guard.fake.answers = {false};
    app::StripWindow& f = makeStrip();
    f.showStrip();
    ASSERT_EQ(guard.fake.questions.size(), 1);
    EXPECT_TRUE(guard.fake.questions[0].text.contains(QStringLiteral("utstederen er ukjent")));
    EXPECT_EQ(errorTexts(), QStringList{QStringLiteral("Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent.")});
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS:"));
    EXPECT_TRUE(storedFingerprint().isEmpty());

    // The no holds for the run: the next check fails at once with the same
    // refusal instead of asking again.
    guard.fake.messages.clear();
    guard.fake.answers = {true};
    f.checkNowAction->trigger();
    EXPECT_EQ(guard.fake.questions.size(), 1);
    EXPECT_EQ(errorTexts(), QStringList{QStringLiteral("Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent.")});

    // After "Oppsett" the question comes again; trusted, the check goes
    // through and the fingerprint is kept for this server.
    f.openSettingsDialog = [] {};
    f.settingsAction->trigger();
    guard.fake.messages.clear();
    f.checkNowAction->trigger();
    EXPECT_EQ(guard.fake.questions.size(), 2);
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 1"));
    EXPECT_EQ(storedFingerprint().size(), 64);

    // Later checks ask nothing.
    f.checkNowAction->trigger();
    EXPECT_EQ(guard.fake.questions.size(), 2);
    EXPECT_TRUE(errorTexts().isEmpty());
}

TEST_F(DovecotTrustTest, AnotherCertificateOrAnExpiredOneIsRefused)
{
    struct Case {
        const char* name;
        const TestCertificate& served;
        bool otherPinned;  // another certificate is trusted for this server
        int questions;     // asked (and answered no)
        const char* text;
    };
    const Case cases[] = {
        {"a second certificate on the same server", ca.selfSigned(), true, 1,
         "Sertifikatet til 127.0.0.1 kan ikke godtas"},
        {"expired", ca.expired(), false, 0, "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serve(c.served);
        guard.fake.questions.clear();
        guard.fake.messages.clear();
        guard.fake.answers = {false};
        if (c.otherPinned)
            net::trustCertificate(QStringLiteral("127.0.0.1"), dovecot->port(), QString(64, QLatin1Char('a')));
        app::StripWindow& f = makeStrip();
        f.showStrip();
        EXPECT_EQ(guard.fake.questions.size(), c.questions);
        ASSERT_EQ(errorTexts().size(), 1);
        EXPECT_TRUE(errorTexts()[0].startsWith(QString::fromUtf8(c.text))) << errorTexts()[0].toStdString();
        EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS:"));
        stripWindow.reset();
        dovecot.reset();
        net::CertificatePins::instance().clear();
    }
}
