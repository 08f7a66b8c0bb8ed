// Settings access: sections, the two settings files, the user name.
#include "fakeplatform.h"
#include "log.h"
#include "settingsaccess.h"
#include "startup.h"
#include "state.h"
#include "username.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace rt;
using testsupport::RuntimeFixtureGuard;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        textfilStart();
        locateIniFile();
        flushIniFile();
    }
    QString userFile() const { return state().EtcFolder + QStringLiteral("OLA.INI"); }

    RuntimeFixtureGuard guard;
};

QString valueOnDisk(const QString& file, const char* section, const char* key)
{
    return IniFileObj(file).readString(QString::fromUtf8(section), QString::fromUtf8(key));
}

} // namespace

TEST_F(SettingsTest, ReadsUseTheCurrentSectionAndItsDefaults)
{
    iniselect(QStringLiteral("Pop3"));
    iniwritestring(QStringLiteral("ServerName"), QStringLiteral("mail.firma.example"));
    iniwritebool(QStringLiteral("StartupCheck"), true);
    iniwriteint(QStringLiteral("ScheduleMinutes"), 5);
    EXPECT_EQ(inireadstring(QStringLiteral("servername")), QStringLiteral("mail.firma.example"));
    EXPECT_TRUE(inireadbool(QStringLiteral("StartupCheck")));
    EXPECT_EQ(inireadint(QStringLiteral("ScheduleMinutes")), 5);
    EXPECT_EQ(IniFile().readString(QStringLiteral("POP3"), QStringLiteral("StartupCheck")), QStringLiteral("1"));
    inistandard();
    EXPECT_EQ(state().IniSection, QStringLiteral("STANDARD"));
    EXPECT_EQ(inireadstring(QStringLiteral("ServerName")), QString());
    EXPECT_FALSE(inireadbool(QStringLiteral("StartupCheck")));
    EXPECT_EQ(inireadint(QStringLiteral("ScheduleMinutes")), 0);
}

TEST_F(SettingsTest, PerUserValuesReachOnlyThePerUserFile)
{
    const QByteArray mainBefore = [&] {
        QFile f(state().IniFileName);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    useuserini();
    EXPECT_EQ(IniFile().fileName(), userFile());
    iniselect(QStringLiteral("Email"));
    iniwritestring(QStringLiteral("EmailName"), QStringLiteral("Ola Nordmann"));
    inistandard();
    EXPECT_FALSE(QFile::exists(userFile())) << "nothing reaches the disk before the switch back";
    usemainini();
    EXPECT_EQ(IniFile().fileName(), state().IniFileName);
    EXPECT_EQ(valueOnDisk(userFile(), "Email", "EmailName"), QStringLiteral("Ola Nordmann"));
    QFile f(state().IniFileName);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), mainBefore);
    EXPECT_EQ(IniFile().readString(QStringLiteral("Email"), QStringLiteral("EmailName")), QString());
}

TEST_F(SettingsTest, SwitchingFilesKeepsTheCurrentSection)
{
    iniselect(QStringLiteral("Smtp"));
    useuserini();
    EXPECT_EQ(state().IniSection, QStringLiteral("Smtp"));
    usemainini();
    EXPECT_EQ(state().IniSection, QStringLiteral("Smtp"));
}

TEST_F(SettingsTest, AFailedSaveIsLoggedAndTheSettingsStayInMemory)
{
    state().LogToFile = true;
    useuserini();
    usemainini();
    QFile::setPermissions(userFile(), QFileDevice::ReadOwner);
    useuserini();
    iniselect(QStringLiteral("Pop3"));
    iniwritestring(QStringLiteral("ServerName"), QStringLiteral("pop.firma.example"));
    inistandard();
    usemainini(); // cannot write OLA.INI
    EXPECT_TRUE(state().LastLogLine.contains(QStringLiteral("ADVARSEL: kan ikke lagre innstillingene i ") + userFile()))
        << state().LastLogLine.toStdString();
    EXPECT_EQ(state().ErrorCount, 0);
    EXPECT_EQ(state().WarningCount, 1);
    EXPECT_EQ(valueOnDisk(userFile(), "Pop3", "ServerName"), QString());
    // The next switch to the per-user file still sees the value, and a
    // second failed save is not reported again...
    useuserini();
    EXPECT_EQ(IniFile().readString(QStringLiteral("Pop3"), QStringLiteral("ServerName")), QStringLiteral("pop.firma.example"));
    iniselect(QStringLiteral("Pop3"));
    iniwritestring(QStringLiteral("ServerUser"), QStringLiteral("ola"));
    inistandard();
    usemainini();
    EXPECT_EQ(state().WarningCount, 1);
    useuserini();
    // ...and it reaches the disk once the file can be written again.
    QFile::setPermissions(userFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    usemainini();
    EXPECT_EQ(valueOnDisk(userFile(), "Pop3", "ServerName"), QStringLiteral("pop.firma.example"));
}

TEST(UserName, SourcesInOrder)
{
    struct Case {
        const char* option;
        const char* login;
        const char* name;
        const char* cache;
    };
    const Case cases[] = {
        {"", "ola", "OLA", "ola"},
        {"kari", "ola", "KARI", "kari"},
        {"", "", "BRUKER", "BRUKER"},
        {"Åse", "", "ÅSE", "Åse"},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        guard.fake.user = QString::fromUtf8(c.login);
        state().OptionUser = QString::fromUtf8(c.option);
        EXPECT_EQ(username(), QString::fromUtf8(c.name)) << c.option << "/" << c.login;
        EXPECT_EQ(state().UserNameCache, QString::fromUtf8(c.cache));
        // Found once, kept for the run.
        guard.fake.user = QStringLiteral("annen");
        EXPECT_EQ(username(), QString::fromUtf8(c.name));
    }
}

TEST_F(SettingsTest, NoUserAnywhereGivesBrukerIni)
{
    guard.fake.user.clear();
    state().UserNameCache.clear();
    useuserini();
    EXPECT_EQ(IniFile().fileName(), state().EtcFolder + QStringLiteral("BRUKER.INI"));
    usemainini();
}
