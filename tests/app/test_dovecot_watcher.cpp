// The watcher against a real Dovecot POP3 server: check, open, delete.
#include "dovecotserver.h"
#include "watcherfixture.h"

#include <QFile>

using namespace testsupport;

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
                       {QStringLiteral("ServerPassword"), rt::ScrambleText(dovecot->password())}});
    }
    void TearDown() override
    {
        form.reset();
        dovecot.reset();
        WatcherFixture::TearDown();
    }
    std::unique_ptr<DovecotServer> dovecot;
};

} // namespace

TEST_F(DovecotWatcherTest, ChecksOpensAndDeletes)
{
    app::TBrevglimtForm& f = makeForm();
    f.showForm();
    ASSERT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 3"));
    EXPECT_EQ(lines(), (QStringList{
        QStringLiteral("Ærlig Øyvind <oyvind@test.example>   Møte på fredag"),
        QStringLiteral("\"Hansen, Per\" <per@test.example>   Regning"),
        QStringLiteral("kari@test.example   Hei"),
    }));

    f.messageList->setCurrentRow(1);
    f.onListDoubleClicked();
    ASSERT_EQ(guard.fake.opened.size(), 1);
    QFile saved(guard.fake.opened[0].value(0));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), dovecot->messages().at(1));

    f.messageList->setCurrentRow(0);
    f.deleteAction->trigger();
    EXPECT_TRUE(errorTexts().isEmpty()) << errorTexts().join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(dovecot->remainingIndexes(), (QList<int>{1, 2}));
    EXPECT_EQ(f.statusLabel->text(), QStringLiteral("INNBOKS: 2"));
    EXPECT_EQ(lines().first(), QStringLiteral("\"Hansen, Per\" <per@test.example>   Regning"));
}

TEST_F(DovecotWatcherTest, ARecheckAfterMailCameAndWentShowsTheMailboxAsItIs)
{
    app::TBrevglimtForm& f = makeForm();
    f.showForm();
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
    makeForm().showForm();
    EXPECT_EQ(lines(), (QStringList{first.at(0), first.at(2), QStringLiteral("ny@test.example   Ny 1"),
                                    QStringLiteral("ny@test.example   Ny 2")}));
}
