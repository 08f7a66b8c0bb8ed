// The log, its levels and counters, and the text-file helpers.
#include "desktopopener.h"
#include "fakeplatform.h"
#include "filehelpers.h"
#include "log.h"
#include "state.h"
#include "textfile.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <gtest/gtest.h>

using namespace rt;
using testsupport::RuntimeFixtureGuard;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        guard.fake.fixedTime = QStringLiteral("30.10.2011 13:17:13");
        startLog();
        QDir().mkpath(state().logFolder);
    }
    RuntimeFixtureGuard guard;
};

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

TEST(DateTimeText, NorwegianSettingsGiveDayMonthYearAndSeconds)
{
    const QDateTime when(QDate(2011, 10, 30), QTime(13, 17, 13));
    EXPECT_EQ(formatDateTime(when, QLocale(QLocale::NorwegianBokmal, QLocale::Norway)),
              QStringLiteral("30.10.2011 13:17:13"));
    // A locale whose short date has a two-digit year still gets four digits and 24 hours.
    const QString us = formatDateTime(QDateTime(QDate(2011, 3, 4), QTime(21, 5, 9)), QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_TRUE(us.contains(QStringLiteral("2011"))) << us.toStdString();
    EXPECT_TRUE(us.endsWith(QStringLiteral(" 21:05:09"))) << us.toStdString();
}

TEST_F(LogTest, FileNameFollowsTheProgramFile)
{
    EXPECT_EQ(state().logFile, guard.fake.root.path() + QStringLiteral("/Tavlund/log/brevglimt.log"));
    EXPECT_EQ(state().logFolder, guard.fake.root.path() + QStringLiteral("/Tavlund/log/"));
}

TEST_F(LogTest, NothingIsRecordedWhileLoggingIsOff)
{
    EXPECT_EQ(writeLog(QStringLiteral("FEIL: noe")), -1);
    EXPECT_TRUE(state().logLines.isEmpty());
    EXPECT_TRUE(state().lastLogLine.isEmpty());
    EXPECT_EQ(state().errorCount, 0);
}

TEST_F(LogTest, LevelsAreCountedOnlyAtTheStartAndCaseSensitive)
{
    struct Case {
        const char* text;
        int errors, warnings, hints;
    };
    const Case cases[] = {
        {"FEIL: disk full", 1, 0, 0},     {"ERROR: x", 1, 0, 0},        {"ADVARSEL: y", 0, 1, 0},
        {"WARNING: y", 0, 1, 0},          {"HINT: z", 0, 0, 1},         {"SMTP: FEIL: nei", 0, 0, 0},
        {" FEIL: innrykket", 0, 0, 0},    {"feil: små bokstaver", 0, 0, 0}, {"FEIL uten kolon", 0, 0, 0},
        {"SMTP: Kan ikke sende melding til ", 0, 0, 0},
    };
    state().logToFile = true;
    for (const Case& c : cases) {
        const qint32 e = state().errorCount, w = state().warningCount, h = state().hintCount;
        EXPECT_EQ(writeLog(QString::fromUtf8(c.text)), 0);
        EXPECT_EQ(state().errorCount - e, c.errors) << c.text;
        EXPECT_EQ(state().warningCount - w, c.warnings) << c.text;
        EXPECT_EQ(state().hintCount - h, c.hints) << c.text;
        EXPECT_EQ(state().lastLogLine, QStringLiteral("30.10.2011 13:17:13 ") + QString::fromUtf8(c.text));
    }
    EXPECT_EQ(state().logLines.size(), qsizetype(std::size(cases)));
}

TEST_F(LogTest, EmptyTextGivesTimeStampAndOneSpace)
{
    state().logToFile = true;
    writeLog(QString());
    EXPECT_EQ(state().logLines.value(0), QStringLiteral("30.10.2011 13:17:13 "));
}

TEST_F(LogTest, WriteThroughAppendsEachLineAtOnce)
{
    state().logToFile = true;
    state().logWriteThrough = true;
    EXPECT_EQ(writeLog(QStringLiteral("en")), 0);
    EXPECT_EQ(writeLog(QStringLiteral("to")), 0);
    EXPECT_EQ(fileBytes(state().logFile), QByteArray("30.10.2011 13:17:13 en\r\n30.10.2011 13:17:13 to\r\n"));
}

TEST_F(LogTest, ClearLogLeavesOneLineAndResetsOnlyTheErrorCount)
{
    state().logToFile = true;
    writeLog(QStringLiteral("FEIL: a"));
    writeLog(QStringLiteral("ADVARSEL: b"));
    writeLog(QStringLiteral("HINT: c"));
    state().logToFile = false; // the line is recorded whether or not logging is on
    clearLog();
    const QString line = QStringLiteral("30.10.2011 13:17:13 LOGGFIL TØMT (TextFile.ClearLog).");
    EXPECT_EQ(state().logLines, QStringList{line});
    EXPECT_EQ(fileBytes(state().logFile), line.toUtf8() + "\r\n");
    EXPECT_EQ(state().errorCount, 0);
    EXPECT_EQ(state().warningCount, 1);
    EXPECT_EQ(state().hintCount, 1);
}

TEST_F(LogTest, EndAppendsTheLinesOfTheRunToTheFile)
{
    QFile old(state().logFile);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("gammel linje\r\n");
    old.close();
    state().logLines = QStringList{QStringLiteral("a"), QStringLiteral("blåbær")};
    const QString file = state().logFile;
    endLog();
    EXPECT_EQ(fileBytes(file), QByteArray("gammel linje\r\na\r\nbl\xC3\xA5" "b\xC3\xA6r\r\n"));
    EXPECT_TRUE(state().logFile.isEmpty());
    EXPECT_TRUE(state().logLines.isEmpty());
}

TEST_F(LogTest, EndWithLoggingOffStillCreatesTheFile)
{
    const QString file = state().logFile;
    endLog();
    EXPECT_EQ(fileBytes(file), QByteArray());
}

TEST_F(LogTest, AppendLineInAMissingFolderShowsTwoBoxesAndCountsThree)
{
    const QString file = guard.fake.root.path() + QStringLiteral("/finnes/ikke/x.txt");
    EXPECT_NE(appendLine(file, QStringLiteral("linje")), 0);
    EXPECT_EQ(state().errorCount, 3);
    ASSERT_EQ(guard.fake.messages.size(), 2);
    EXPECT_EQ(guard.fake.messages[0].caption, QStringLiteral("FEIL"));
    EXPECT_EQ(guard.fake.messages[0].text, QStringLiteral("Feil under oppretting av ny fil: %1  (2)").arg(file));
    EXPECT_EQ(guard.fake.messages[0].icon, MsgIcon::None);
    EXPECT_EQ(guard.fake.messages[1].text, QStringLiteral("Feil under lukking av fil"));
}

TEST_F(LogTest, AppendLineAddsToAnExistingFile)
{
    const QString file = guard.fake.root.filePath(QStringLiteral("x.txt"));
    EXPECT_EQ(appendLine(file, QStringLiteral("første")), 0);
    EXPECT_EQ(appendLine(file, QStringLiteral("andre")), 0);
    EXPECT_EQ(fileBytes(file), QStringLiteral("første\r\nandre\r\n").toUtf8());
    EXPECT_TRUE(guard.fake.messages.isEmpty());
    EXPECT_EQ(state().errorCount, 0);
}

TEST(ChangeExtension, ReplacesAfterTheFirstDotOfTheWholeText)
{
    struct Case {
        const char* name;
        const char* extension;
        const char* result;
    };
    const Case cases[] = {
        {"report.txt", "old", "report.old"},
        {"a.b.c", "tmp", "a.tmp"},
        {"readme", "tmp", "readme.tmp"},
        {"C:\\my.dir\\file.txt", "tmp", "C:\\my.tmp"},
        {"/srv/data/priser.txt", "old", "/srv/data/priser.old"},
        {"slutt.", "tmp", "slutt.tmp"},
        {"", "tmp", ".tmp"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(changeExtension(QString::fromUtf8(c.name), QString::fromUtf8(c.extension)), QString::fromUtf8(c.result))
            << c.name;
    }
}

TEST(FileSizeOf, SizesAndFailures)
{
    RuntimeFixtureGuard guard;
    const QString dir = guard.fake.root.path();
    auto make = [&](const char* name, const QByteArray& bytes) {
        QFile f(dir + QLatin1Char('/') + QLatin1String(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    };
    EXPECT_EQ(fileSizeOf(dir + QStringLiteral("/mangler")), -1);
    EXPECT_FALSE(QFile::exists(dir + QStringLiteral("/mangler"))) << "asking for a size must not create the file";
    EXPECT_EQ(fileSizeOf(make("tom", {})), 0);
    EXPECT_EQ(fileSizeOf(make("tre", "abc")), 3);
    const QString ro = make("ro", "abc");
    QFile::setPermissions(ro, QFileDevice::ReadOwner);
    EXPECT_EQ(fileSizeOf(ro), -1);
    EXPECT_EQ(fileSizeOf(dir), -1);
}

TEST(ShellOpen, GoesToThePlatformsOpener)
{
    RuntimeFixtureGuard guard;
    shellOpen(QStringLiteral("/tmp/temp.eml"), QString(), QString());
    ASSERT_EQ(guard.fake.opened.size(), 1);
    EXPECT_EQ(guard.fake.opened[0].value(0), QStringLiteral("/tmp/temp.eml"));
}
