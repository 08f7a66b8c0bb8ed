// The runtime's start-up order, switches, machine facts and shutdown.
#include "fakeplatform.h"
#include "log.h"
#include "machinefacts.h"
#include "settingsaccess.h"
#include "startup.h"
#include "state.h"
#include "termination.h"
#include "textfile.h"
#include "username.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>

using namespace rt;
using testsupport::RuntimeFixtureGuard;

namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { QDir::setCurrent(guard.fake.root.path()); }
    QString root() const { return guard.fake.root.path() + QStringLiteral("/Tavlund/"); }
    QString iniFile() const { return root() + QStringLiteral("etc/tavlund.ini"); }
    void writeIni(const QByteArray& bytes)
    {
        QDir().mkpath(root() + QStringLiteral("etc"));
        QFile f(iniFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    // Log texts without their time stamps.
    QStringList texts() const
    {
        QStringList out;
        for (const QString& line : state().logLines)
            out.append(line.mid(QStringLiteral("30.10.2011 13:17:13 ").size()));
        return out;
    }
    RuntimeFixtureGuard guard;
};

} // namespace

TEST(Switches, OrderAndValues)
{
    struct Case {
        QStringList args;
        bool log, verbose, install;
        const char* user;
        const char* ip;
    };
    const Case cases[] = {
        {{QStringLiteral("--user"), QStringLiteral("--debug")}, true, true, false, "--debug", ""},
        {{QStringLiteral("--DEBUG")}, false, false, false, "", ""},
        {{QStringLiteral("-install")}, true, true, true, "", ""},
        {{QStringLiteral("-ip"), QStringLiteral("10.0.0.9"), QStringLiteral("--user"), QStringLiteral("kari")}, false, false, false, "kari", "10.0.0.9"},
        {{QStringLiteral("--user")}, false, false, false, "", ""},
        {{QStringLiteral("ukjent"), QStringLiteral("-ip")}, false, false, false, "", ""},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        applySwitches(c.args);
        const std::string label = c.args.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(state().logToFile, c.log) << label;
        EXPECT_EQ(state().verboseLogging, c.verbose) << label;
        EXPECT_EQ(state().optionInstall, c.install) << label;
        EXPECT_EQ(state().optionUser, QString::fromUtf8(c.user)) << label;
        EXPECT_EQ(state().optionIp, QString::fromUtf8(c.ip)) << label;
    }
    RuntimeFixtureGuard guard;
    applySwitches({QStringLiteral("--user"), QStringLiteral("--debug")});
    EXPECT_EQ(userName(), QStringLiteral("--DEBUG"));
}

TEST(MachineFacts, IpAddressFallbacks)
{
    struct Case {
        const char* option;
        const char* domain;
        const char* address;
        const char* result;
    };
    const Case cases[] = {
        {"10.1.1.1", "", "", "10.1.1.1"},
        {"", "", "192.0.2.7", ""}, // no domain: no address looked up
        {"", "firma.example", "192.0.2.7", "192.0.2.7"},
        {"", "firma.example", "", "0.0.0.0"},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        state().optionIp = QString::fromUtf8(c.option);
        guard.fake.domain = QString::fromUtf8(c.domain);
        guard.fake.ipv4 = QString::fromUtf8(c.address);
        EXPECT_EQ(ipAddress(), QString::fromUtf8(c.result)) << c.option << c.domain << c.address;
    }
}

TEST(MachineFacts, LoginLineUsesTheSystemUserNotTheSwitch)
{
    RuntimeFixtureGuard guard;
    guard.fake.fixedTime = QStringLiteral("t");
    state().logToFile = true;
    state().optionUser = QStringLiteral("kari");
    logLogin();
    EXPECT_EQ(state().lastLogLine, QStringLiteral("t LOGIN: ola  node: arbeid.firma.example IP:192.0.2.7"));
}

// Sets an environment variable (or removes it, for a null value) for a
// scope and puts back what was there before.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (value)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

TEST(MachineFacts, AppDataRootAndLoginUserFollowTheEnvironment)
{
    Platform system;
    {
        ScopedEnv appData("APPDATA", "/srv/appdata/");
        EXPECT_EQ(system.appDataRoot(), QStringLiteral("/srv/appdata"));
    }
    {
        ScopedEnv appData("APPDATA", nullptr);
        ScopedEnv xdg("XDG_DATA_HOME", "/srv/xdg");
        EXPECT_EQ(system.appDataRoot(), QStringLiteral("/srv/xdg"));
    }
    {
        ScopedEnv appData("APPDATA", nullptr);
        ScopedEnv xdg("XDG_DATA_HOME", nullptr);
        EXPECT_EQ(system.appDataRoot(), QDir::homePath() + QStringLiteral("/.local/share"));
    }
    {
        ScopedEnv user("USERNAME", "kari");
        EXPECT_EQ(system.loginUser(), QStringLiteral("kari"));
    }
    {
        ScopedEnv user("USERNAME", nullptr);
        EXPECT_FALSE(system.loginUser().isEmpty());
    }
}

TEST_F(StartupTest, FirstStartBuildsEverythingAndLogsItsOpeningLines)
{
    guard.fake.fixedTime = QStringLiteral("30.10.2011 13:17:13");
    writeIni("[STANDARD]\r\nLogToFile=1\r\nVerboseLogging=1\r\n");
    runtimeStart({});
    EXPECT_TRUE(QFileInfo(root() + QStringLiteral("data/vindel")).isDir());
    EXPECT_EQ(state().settingsFileName, iniFile());
    EXPECT_TRUE(state().verboseLogging);
    const QStringList t = texts();
    ASSERT_GE(t.size(), 4);
    EXPECT_EQ(t.mid(t.size() - 4), (QStringList{
        QStringLiteral("START: /opt/brevglimt/bin/brevglimt"),
        QStringLiteral("INIFIL: ") + iniFile(),
        QStringLiteral("BRUKER: OLA"),
        QStringLiteral("LOGIN: ola  node: arbeid.firma.example IP:192.0.2.7"),
    }));
    runtimeStop();
    const QStringList onDisk = readTextLines(root() + QStringLiteral("log/brevglimt.log"));
    ASSERT_GE(onDisk.size(), 2);
    EXPECT_EQ(onDisk.at(onDisk.size() - 2), QStringLiteral("30.10.2011 13:17:13 Oppdaterer ") + iniFile());
    EXPECT_EQ(onDisk.last(), QStringLiteral("30.10.2011 13:17:13 AVSLUTTER PROGRAM. 0 feilmeldinger og 0 advarsler"));
}

TEST_F(StartupTest, AuditHeaderCreatedOnceAndModifiedEveryStart)
{
    guard.fake.fixedTime = QStringLiteral("første");
    runtimeStart({});
    runtimeStop();
    IniFile first(iniFile());
    const QString self = QStringLiteral("INI_SELF");
    for (const char* group : {"CREATED", "MODIFIED"}) {
        const QString g = QString::fromUtf8(group);
        EXPECT_EQ(first.readString(self, g + QStringLiteral("_TIME")), QStringLiteral("første"));
        EXPECT_EQ(first.readString(self, g + QStringLiteral("_NAME")), iniFile());
        EXPECT_EQ(first.readString(self, g + QStringLiteral("_PROGRAM")), QStringLiteral("/opt/brevglimt/bin/brevglimt"));
        EXPECT_EQ(first.readString(self, g + QStringLiteral("_USER")), QStringLiteral("OLA"));
        EXPECT_EQ(first.readString(self, g + QStringLiteral("_INIVERSION")), QStringLiteral("5.36"));
    }
    resetState();
    guard.fake.fixedTime = QStringLiteral("andre");
    runtimeStart({QStringLiteral("--user"), QStringLiteral("kari")});
    runtimeStop();
    IniFile second(iniFile());
    EXPECT_EQ(second.readString(self, QStringLiteral("CREATED_TIME")), QStringLiteral("første"));
    EXPECT_EQ(second.readString(self, QStringLiteral("CREATED_USER")), QStringLiteral("OLA"));
    EXPECT_EQ(second.readString(self, QStringLiteral("MODIFIED_TIME")), QStringLiteral("andre"));
    EXPECT_EQ(second.readString(self, QStringLiteral("MODIFIED_USER")), QStringLiteral("KARI"));
}

TEST_F(StartupTest, IniInTheStartFolderWins)
{
    QFile f(guard.fake.root.filePath(QStringLiteral("tavlund.ini")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    runtimeStart({});
    EXPECT_EQ(state().settingsFileName, guard.fake.root.filePath(QStringLiteral("tavlund.ini")));
    EXPECT_EQ(state().etcFolder, guard.fake.root.path() + QLatin1Char('/'));
    runtimeStop();
}

TEST_F(StartupTest, DebugSwitchAloneIsOverruledByTheSetting)
{
    runtimeStart({QStringLiteral("--debug")});
    EXPECT_FALSE(state().logToFile);
    EXPECT_TRUE(state().verboseLogging);
    runtimeStop();
}

TEST_F(StartupTest, OldLogStaysOnDiskAndIsClearedWhenAsked)
{
    QDir().mkpath(root() + QStringLiteral("log"));
    QFile log(root() + QStringLiteral("log/brevglimt.log"));
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.write("gammel 1\r\ngammel 2\r\n");
    log.close();
    QDir().mkpath(root() + QStringLiteral("data"));

    writeIni("[STANDARD]\r\nLogToFile=1\r\n");
    runtimeStart({});
    EXPECT_EQ(texts().size(), 3) << "the old lines stay on disk, not in memory";
    runtimeStop();
    const QStringList kept = readTextLines(root() + QStringLiteral("log/brevglimt.log"));
    ASSERT_EQ(kept.size(), 5) << "two old lines and START, INIFIL, BRUKER";
    EXPECT_EQ(kept.value(0), QStringLiteral("gammel 1"));
    EXPECT_TRUE(kept.value(2).contains(QStringLiteral(" START: ")));

    resetState();
    writeIni("[STANDARD]\r\nLogToFile=1\r\nClearLogFileOnStartup=1\r\n");
    runtimeStart({});
    EXPECT_TRUE(state().logLines.value(0).endsWith(QStringLiteral(" LOGGFIL TØMT (TextFile.ClearLog).")));
    EXPECT_EQ(state().logLines.size(), 4);
    runtimeStop();
    const QStringList cleared = readTextLines(root() + QStringLiteral("log/brevglimt.log"));
    ASSERT_EQ(cleared.size(), 4) << "the clear line once, then START, INIFIL, BRUKER";
    EXPECT_TRUE(cleared.value(0).endsWith(QStringLiteral(" LOGGFIL TØMT (TextFile.ClearLog).")));
}

TEST_F(StartupTest, ReadOnlySettingsFileIsNotSavedAndItsWarningIsCounted)
{
    guard.fake.fixedTime = QStringLiteral("t");
    QDir().mkpath(root() + QStringLiteral("data"));
    writeIni("[STANDARD]\r\nLogToFile=1\r\nVerboseLogging=1\r\n");
    runtimeStart({});
    QFile::setPermissions(iniFile(), QFileDevice::ReadOwner);
    const QByteArray before = [&] { QFile f(iniFile()); f.open(QIODevice::ReadOnly); return f.readAll(); }();
    settingsFile().writeString(QStringLiteral("STANDARD"), QStringLiteral("Ny"), QStringLiteral("1"));
    runtimeStop();
    QFile f(iniFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);
    const QStringList lines = readTextLines(root() + QStringLiteral("log/brevglimt.log"));
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.at(lines.size() - 2), QStringLiteral("t ADVARSEL: %1 er skrivebeskyttet og vil ikke bli lagret.").arg(iniFile()));
    EXPECT_EQ(lines.last(), QStringLiteral("t AVSLUTTER PROGRAM. 0 feilmeldinger og 1 advarsler"));
}

TEST_F(StartupTest, ClosingLinesReportHints)
{
    guard.fake.fixedTime = QStringLiteral("t");
    QDir().mkpath(root() + QStringLiteral("data"));
    writeIni("[STANDARD]\r\nLogToFile=1\r\nVerboseLogging=1\r\n");
    runtimeStart({});
    writeLog(QStringLiteral("HINT: se her"));
    writeLog(QStringLiteral("FEIL: noe gikk galt"));
    runtimeStop();
    const QStringList lines = readTextLines(root() + QStringLiteral("log/brevglimt.log"));
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.at(lines.size() - 2), QStringLiteral("t AVSLUTTER PROGRAM. 1 feilmeldinger og 0 advarsler"));
    EXPECT_EQ(lines.last(), QStringLiteral("t Det ble gitt 1 hint i programmet"));
}

TEST(Termination, SignalsEndTheEventLoop)
{
    int argc = 1;
    char name[] = "runtime_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    installTerminationHandler();
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        bool timedOut = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            timedOut = true;
            QCoreApplication::quit();
        });
        watchdog.start(5000);
        QTimer::singleShot(0, &watchdog, [sig] { ::raise(sig); });
        QCoreApplication::exec();
        EXPECT_FALSE(timedOut) << "signal " << sig;
        // A network step waiting for a server ends at once too.
        EXPECT_TRUE(cancelRequested()) << "signal " << sig;
        clearCancel();
    }
}
