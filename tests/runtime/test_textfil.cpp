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
        textfilStart();
        QDir().mkpath(state().LogFolder);
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
    EXPECT_EQ(state().LogFile, guard.fake.root.path() + QStringLiteral("/Tavlund/log/brevglimt.log"));
    EXPECT_EQ(state().LogFolder, guard.fake.root.path() + QStringLiteral("/Tavlund/log/"));
}

TEST_F(LogTest, NothingIsRecordedWhileLoggingIsOff)
{
    EXPECT_EQ(WriteLog(QStringLiteral("FEIL: noe")), -1);
    EXPECT_TRUE(state().LogLines.isEmpty());
    EXPECT_TRUE(state().LastLogLine.isEmpty());
    EXPECT_EQ(state().ErrorCount, 0);
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
    state().LogToFile = true;
    for (const Case& c : cases) {
        const qint32 e = state().ErrorCount, w = state().WarningCount, h = state().HintCount;
        EXPECT_EQ(WriteLog(QString::fromUtf8(c.text)), 0);
        EXPECT_EQ(state().ErrorCount - e, c.errors) << c.text;
        EXPECT_EQ(state().WarningCount - w, c.warnings) << c.text;
        EXPECT_EQ(state().HintCount - h, c.hints) << c.text;
        EXPECT_EQ(state().LastLogLine, QStringLiteral("30.10.2011 13:17:13 ") + QString::fromUtf8(c.text));
    }
    EXPECT_EQ(state().LogLines.size(), qsizetype(std::size(cases)));
}

TEST_F(LogTest, EmptyTextGivesTimeStampAndOneSpace)
{
    state().LogToFile = true;
    WriteLog(QString());
    EXPECT_EQ(state().LogLines.value(0), QStringLiteral("30.10.2011 13:17:13 "));
}

TEST_F(LogTest, WriteThroughAppendsEachLineAtOnce)
{
    state().LogToFile = true;
    state().LogWriteThrough = true;
    EXPECT_EQ(WriteLog(QStringLiteral("en")), 0);
    EXPECT_EQ(WriteLog(QStringLiteral("to")), 0);
    EXPECT_EQ(fileBytes(state().LogFile), QByteArray("30.10.2011 13:17:13 en\r\n30.10.2011 13:17:13 to\r\n"));
}

TEST_F(LogTest, ClearLogLeavesOneLineAndResetsOnlyTheErrorCount)
{
    state().LogToFile = true;
    WriteLog(QStringLiteral("FEIL: a"));
    WriteLog(QStringLiteral("ADVARSEL: b"));
    WriteLog(QStringLiteral("HINT: c"));
    state().LogToFile = false; // the line is recorded whether or not logging is on
    ClearLog();
    const QString line = QStringLiteral("30.10.2011 13:17:13 LOGGFIL TØMT (TextFile.ClearLog).");
    EXPECT_EQ(state().LogLines, QStringList{line});
    EXPECT_EQ(fileBytes(state().LogFile), line.toUtf8() + "\r\n");
    EXPECT_EQ(state().ErrorCount, 0);
    EXPECT_EQ(state().WarningCount, 1);
    EXPECT_EQ(state().HintCount, 1);
}

TEST_F(LogTest, EndAppendsTheLinesOfTheRunToTheFile)
{
    QFile old(state().LogFile);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("gammel linje\r\n");
    old.close();
    state().LogLines = QStringList{QStringLiteral("a"), QStringLiteral("blåbær")};
    const QString file = state().LogFile;
    textfilEnd();
    EXPECT_EQ(fileBytes(file), QByteArray("gammel linje\r\na\r\nbl\xC3\xA5" "b\xC3\xA6r\r\n"));
    EXPECT_TRUE(state().LogFile.isEmpty());
    EXPECT_TRUE(state().LogLines.isEmpty());
}

TEST_F(LogTest, EndWithLoggingOffStillCreatesTheFile)
{
    const QString file = state().LogFile;
    textfilEnd();
    EXPECT_EQ(fileBytes(file), QByteArray());
}

TEST_F(LogTest, AppendLineInAMissingFolderShowsTwoBoxesAndCountsThree)
{
    const QString file = guard.fake.root.path() + QStringLiteral("/finnes/ikke/x.txt");
    EXPECT_NE(AppendLine(file, QStringLiteral("linje")), 0);
    EXPECT_EQ(state().ErrorCount, 3);
    ASSERT_EQ(guard.fake.messages.size(), 2);
    EXPECT_EQ(guard.fake.messages[0].caption, QStringLiteral("FEIL"));
    EXPECT_EQ(guard.fake.messages[0].text, QStringLiteral("Feil under oppretting av ny fil: %1  (2)").arg(file));
    EXPECT_EQ(guard.fake.messages[0].icon, MsgIcon::None);
    EXPECT_EQ(guard.fake.messages[1].text, QStringLiteral("Feil under lukking av fil"));
}

TEST_F(LogTest, AppendLineAddsToAnExistingFile)
{
    const QString file = guard.fake.root.filePath(QStringLiteral("x.txt"));
    EXPECT_EQ(AppendLine(file, QStringLiteral("første")), 0);
    EXPECT_EQ(AppendLine(file, QStringLiteral("andre")), 0);
    EXPECT_EQ(fileBytes(file), QStringLiteral("første\r\nandre\r\n").toUtf8());
    EXPECT_TRUE(guard.fake.messages.isEmpty());
    EXPECT_EQ(state().ErrorCount, 0);
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
        EXPECT_EQ(ChangeExtension(QString::fromUtf8(c.name), QString::fromUtf8(c.extension)), QString::fromUtf8(c.result))
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
    EXPECT_EQ(FileSizeOf(dir + QStringLiteral("/mangler")), -1);
    EXPECT_FALSE(QFile::exists(dir + QStringLiteral("/mangler"))) << "asking for a size must not create the file";
    EXPECT_EQ(FileSizeOf(make("tom", {})), 0);
    EXPECT_EQ(FileSizeOf(make("tre", "abc")), 3);
    const QString ro = make("ro", "abc");
    QFile::setPermissions(ro, QFileDevice::ReadOwner);
    EXPECT_EQ(FileSizeOf(ro), -1);
    EXPECT_EQ(FileSizeOf(dir), -1);
}

TEST(ShellOpen, GoesToThePlatformsOpener)
{
    RuntimeFixtureGuard guard;
    ShellOpen(QStringLiteral("/tmp/temp.eml"), QString(), QString());
    ASSERT_EQ(guard.fake.opened.size(), 1);
    EXPECT_EQ(guard.fake.opened[0].value(0), QStringLiteral("/tmp/temp.eml"));
}
