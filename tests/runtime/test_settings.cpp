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
        startLog();
        locateSettingsFile();
        flushSettingsFile();
    }
    QString userFile() const { return state().etcFolder + QStringLiteral("OLA.INI"); }

    RuntimeFixtureGuard guard;
};

QString valueOnDisk(const QString& file, const char* section, const char* key)
{
    return IniFile(file).readString(QString::fromUtf8(section), QString::fromUtf8(key));
}

} // namespace

TEST_F(SettingsTest, ReadsUseTheCurrentSectionAndItsDefaults)
{
    selectSection(QStringLiteral("Pop3"));
    writeSetting(QStringLiteral("ServerName"), QStringLiteral("mail.firma.example"));
    writeBoolSetting(QStringLiteral("StartupCheck"), true);
    writeIntSetting(QStringLiteral("ScheduleMinutes"), 5);
    EXPECT_EQ(readSetting(QStringLiteral("servername")), QStringLiteral("mail.firma.example"));
    EXPECT_TRUE(readBoolSetting(QStringLiteral("StartupCheck")));
    EXPECT_EQ(readIntSetting(QStringLiteral("ScheduleMinutes")), 5);
    EXPECT_EQ(settingsFile().readString(QStringLiteral("POP3"), QStringLiteral("StartupCheck")), QStringLiteral("1"));
    selectStandardSection();
    EXPECT_EQ(state().settingsSection, QStringLiteral("STANDARD"));
    EXPECT_EQ(readSetting(QStringLiteral("ServerName")), QString());
    EXPECT_FALSE(readBoolSetting(QStringLiteral("StartupCheck")));
    EXPECT_EQ(readIntSetting(QStringLiteral("ScheduleMinutes")), 0);
}

TEST_F(SettingsTest, PerUserValuesReachOnlyThePerUserFile)
{
    const QByteArray mainBefore = [&] {
        QFile f(state().settingsFileName);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    useUserSettingsFile();
    EXPECT_EQ(settingsFile().fileName(), userFile());
    selectSection(QStringLiteral("Email"));
    writeSetting(QStringLiteral("EmailName"), QStringLiteral("Ola Nordmann"));
    selectStandardSection();
    EXPECT_FALSE(QFile::exists(userFile())) << "nothing reaches the disk before the switch back";
    useMainSettingsFile();
    EXPECT_EQ(settingsFile().fileName(), state().settingsFileName);
    EXPECT_EQ(valueOnDisk(userFile(), "Email", "EmailName"), QStringLiteral("Ola Nordmann"));
    QFile f(state().settingsFileName);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), mainBefore);
    EXPECT_EQ(settingsFile().readString(QStringLiteral("Email"), QStringLiteral("EmailName")), QString());
}

TEST_F(SettingsTest, SwitchingFilesKeepsTheCurrentSection)
{
    selectSection(QStringLiteral("Smtp"));
    useUserSettingsFile();
    EXPECT_EQ(state().settingsSection, QStringLiteral("Smtp"));
    useMainSettingsFile();
    EXPECT_EQ(state().settingsSection, QStringLiteral("Smtp"));
}

TEST_F(SettingsTest, AFailedSaveIsLoggedAndTheSettingsStayInMemory)
{
    state().logToFile = true;
    useUserSettingsFile();
    useMainSettingsFile();
    QFile::setPermissions(userFile(), QFileDevice::ReadOwner);
    useUserSettingsFile();
    selectSection(QStringLiteral("Pop3"));
    writeSetting(QStringLiteral("ServerName"), QStringLiteral("pop.firma.example"));
    selectStandardSection();
    useMainSettingsFile(); // cannot write OLA.INI
    EXPECT_TRUE(state().lastLogLine.contains(QStringLiteral("ADVARSEL: kan ikke lagre innstillingene i ") + userFile()))
        << state().lastLogLine.toStdString();
    EXPECT_EQ(state().errorCount, 0);
    EXPECT_EQ(state().warningCount, 1);
    EXPECT_EQ(valueOnDisk(userFile(), "Pop3", "ServerName"), QString());
    // The next switch to the per-user file still sees the value, and a
    // second failed save is not reported again...
    useUserSettingsFile();
    EXPECT_EQ(settingsFile().readString(QStringLiteral("Pop3"), QStringLiteral("ServerName")), QStringLiteral("pop.firma.example"));
    selectSection(QStringLiteral("Pop3"));
    writeSetting(QStringLiteral("ServerUser"), QStringLiteral("ola"));
    selectStandardSection();
    useMainSettingsFile();
    EXPECT_EQ(state().warningCount, 1);
    useUserSettingsFile();
    // ...and it reaches the disk once the file can be written again.
    QFile::setPermissions(userFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    useMainSettingsFile();
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
        state().optionUser = QString::fromUtf8(c.option);
        EXPECT_EQ(userName(), QString::fromUtf8(c.name)) << c.option << "/" << c.login;
        EXPECT_EQ(state().userNameCache, QString::fromUtf8(c.cache));
        // Found once, kept for the run.
        guard.fake.user = QStringLiteral("annen");
        EXPECT_EQ(userName(), QString::fromUtf8(c.name));
    }
}

TEST_F(SettingsTest, NoUserAnywhereGivesBrukerIni)
{
    guard.fake.user.clear();
    state().userNameCache.clear();
    useUserSettingsFile();
    EXPECT_EQ(settingsFile().fileName(), state().etcFolder + QStringLiteral("BRUKER.INI"));
    useMainSettingsFile();
}
