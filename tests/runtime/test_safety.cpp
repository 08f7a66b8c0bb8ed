// What a hand-edited settings file, a planted file or the start folder must
// never achieve: deleting or writing outside the program's own folders,
// changing settings on save, or filling the log.
#include "errordisplay.h"
#include "fakeplatform.h"
#include "folders.h"
#include "inifile.h"
#include "log.h"
#include "safefile.h"
#include "settingsaccess.h"
#include "startup.h"
#include "state.h"
#include "tempcleanup.h"
#include "textfile.h"
#include "username.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

using namespace rt;
using testsupport::RuntimeFixtureGuard;

void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<mangler>");
}

// The log texts without their time stamps.
QStringList logTexts(const QStringList& lines)
{
    QStringList out;
    for (const QString& line : lines)
        out.append(line.section(QLatin1Char(' '), 2));
    return out;
}

QStringList linesStartingWith(const QStringList& texts, const QString& prefix)
{
    QStringList out;
    for (const QString& t : texts) {
        if (t.startsWith(prefix))
            out.append(t);
    }
    return out;
}

// Every section, key and value the reader sees, in its order.
QStringList model(const IniFile& ini)
{
    QStringList out;
    for (const QString& section : ini.sections()) {
        out.append(QLatin1Char('[') + section + QLatin1Char(']'));
        for (const QString& key : ini.keys(section))
            out.append(key + QLatin1Char('=') + ini.readString(section, key));
    }
    return out;
}

class SafetyTest : public ::testing::Test {
protected:
    void SetUp() override { QDir::setCurrent(guard.fake.root.path()); }
    QString base() const { return guard.fake.root.path(); }
    QString tavlund() const { return base() + QStringLiteral("/Tavlund/"); }
    RuntimeFixtureGuard guard;
};

} // namespace

// ---------------------------------------------------------------- clean-up

TEST(CleanUp, EmptiesOnlyAFolderInsideItsOwnTreeOrTheSystemTemporaryFolder)
{
    struct Case {
        const char* label;
        // The tmp folder as configured; {base} is the test's own folder.
        const char* configured;
        bool linkTmpToVictim; // Tavlund/tmp is a link to the victim folder
        const char* emptied;  // the folder that must end up empty, else the victim must stay whole
        const char* systemTemp = "{base}/systmp";
    };
    const Case cases[] = {
        {"dot-dot out of a tmp folder", "{base}/victim/tmp/..", false, nullptr},
        {"a link named tmp pointing out", "{base}/Tavlund/tmp", true, nullptr},
        {"outside with tmp in its name", "{base}/victim", false, nullptr},
        {"its own tmp folder", "{base}/Tavlund/tmp", false, "{base}/Tavlund/tmp"},
        {"inside the system temporary folder", "{base}/systmp/tmp-arbeid", false, "{base}/systmp/tmp-arbeid"},
        // "victim-tmp" begins with the name of the system temporary folder, "victim".
        {"beside the system temporary folder, its name plus more", "{base}/victim", false, nullptr, "{base}/victim"},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        const QString base = guard.fake.root.path();
        const auto expand = [&](const char* text) { return QString::fromUtf8(text).replace(QStringLiteral("{base}"), base); };
        guard.fake.env.insert(QStringLiteral("TMPDIR"), expand(c.systemTemp));
        QDir().mkpath(expand(c.systemTemp));
        QDir::setCurrent(base);
        // "victim" is named so that the old name test ("TMP" in the path) lets it through.
        const QString victim = base + QStringLiteral("/victim-tmp");
        const QString configured = expand(c.configured).replace(QStringLiteral("/victim"), QStringLiteral("/victim-tmp"));
        const QString target = c.emptied ? expand(c.emptied) : victim;
        for (const QString& folder : {victim, target}) {
            writeFile(folder + QStringLiteral("/brev.txt"), "data");
            writeFile(folder + QStringLiteral("/.skjult"), "data");
            writeFile(folder + QStringLiteral("/mappe/indre.txt"), "data");
        }
        QDir().mkpath(victim + QStringLiteral("/tmp"));
        if (c.linkTmpToVictim) {
            QDir().mkpath(base + QStringLiteral("/Tavlund"));
            ASSERT_TRUE(QFile::link(victim, base + QStringLiteral("/Tavlund/tmp")));
        }
        startLog();
        locateSettingsFile();
        state().logToFile = true;
        setNamedFolder(QStringLiteral("tmp"), configured);
        deleteTempFiles(false);

        const QStringList left = QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        const QStringList warnings = linesStartingWith(logTexts(state().logLines), QStringLiteral("ADVARSEL: "));
        if (c.emptied) {
            EXPECT_TRUE(left.isEmpty()) << c.label << ": " << left.join(QLatin1Char(' ')).toStdString();
            EXPECT_TRUE(QFileInfo(target).isDir()) << c.label << ": the folder itself stays";
            EXPECT_TRUE(warnings.isEmpty()) << c.label;
        } else {
            EXPECT_TRUE(left.contains(QStringLiteral("brev.txt")) && left.contains(QStringLiteral(".skjult"))
                        && left.contains(QStringLiteral("mappe")))
                << c.label << ": " << left.join(QLatin1Char(' ')).toStdString();
            ASSERT_EQ(warnings.size(), 1) << c.label;
            EXPECT_TRUE(warnings.first().startsWith(QStringLiteral("ADVARSEL: rydder ikke ") + configured)) << c.label << ": "
                << warnings.first().toStdString();
        }
    }
}

TEST_F(SafetyTest, CleanUpWritesItsDetailedLinesWhenTheSettingsAskForThem)
{
    writeFile(tavlund() + QStringLiteral("etc/tavlund.ini"),
              "[STANDARD]\r\nLogToFile=1\r\nVerboseLogging=1\r\nDeleteTemporaryFiles=1\r\n");
    writeFile(tavlund() + QStringLiteral("tmp/gammel.eml"), "x");
    QDir().mkpath(tavlund() + QStringLiteral("data"));
    runtimeStart({});
    const QStringList texts = logTexts(state().logLines);
    EXPECT_TRUE(texts.contains(QStringLiteral("Sletter mappen ") + tavlund() + QStringLiteral("tmp/")))
        << texts.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("Sletter ") + tavlund() + QStringLiteral("tmp/gammel.eml")));
    EXPECT_FALSE(QFile::exists(tavlund() + QStringLiteral("tmp/gammel.eml")));
    runtimeStop();
}

// ---------------------------------------------------------------- settings files

TEST(StartFolderSettings, UsedOnlyWhenTheUserAloneCanChangeIt)
{
    struct Case {
        const char* label;
        uid_t fileOwner; // (uid_t)-1: the user running the test
        mode_t fileMode;
        mode_t folderMode;
        bool link; // the start-folder file is a link to a good file
        bool used;
    };
    const uid_t me = uid_t(-1);
    const Case cases[] = {
        {"good", me, 0600, 0700, false, true},
        {"owned by another user", 65534, 0600, 0700, false, false},
        {"writable by others", me, 0666, 0700, false, false},
        {"writable by the group", me, 0620, 0700, false, false},
        {"in a folder writable by others", me, 0600, 0777, false, false},
        {"a link", me, 0600, 0700, true, false},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        const QString start = guard.fake.root.path() + QStringLiteral("/start");
        const QString local = start + QStringLiteral("/tavlund.ini");
        const QString etcIni = guard.fake.root.path() + QStringLiteral("/Tavlund/etc/tavlund.ini");
        writeFile(etcIni, "[STANDARD]\r\nLogToFile=1\r\n");
        const QString written = c.link ? guard.fake.root.path() + QStringLiteral("/ekte.ini") : local;
        writeFile(written, "[STANDARD]\r\nLogToFile=1\r\n");
        if (c.link) {
            QDir().mkpath(start);
            ASSERT_TRUE(QFile::link(written, local));
        }
        ::chmod(QFile::encodeName(written).constData(), c.fileMode);
        ::chmod(QFile::encodeName(start).constData(), c.folderMode);
        if (c.fileOwner != me && ::chown(QFile::encodeName(local).constData(), c.fileOwner, gid_t(-1)) != 0) {
            std::printf("[ skipped ] %s: only root can give the file away\n", c.label);
            continue;
        }
        QDir::setCurrent(start);
        runtimeStart({});
        const QString expected = c.used ? local : etcIni;
        EXPECT_EQ(state().settingsFileName, expected) << c.label;
        EXPECT_EQ(state().etcFolder, QFileInfo(expected).absolutePath() + QLatin1Char('/')) << c.label;
        const QStringList warnings = linesStartingWith(logTexts(state().logLines), QStringLiteral("ADVARSEL: bruker ikke ") + local);
        EXPECT_EQ(warnings.size(), c.used ? 0 : 1) << c.label;
        runtimeStop();
        if (!c.used) {
            EXPECT_EQ(fileBytes(written), QByteArray("[STANDARD]\r\nLogToFile=1\r\n")) << c.label << ": a refused file is never written";
        }
        ::chmod(QFile::encodeName(start).constData(), 0700);
    }
}

TEST(UserSettingsFile, AlwaysLiesInTheSettingsFolder)
{
    struct Case {
        QString user;
        const char* file;
    };
    const Case cases[] = {
        {QStringLiteral("ola"), "OLA.INI"},
        {QStringLiteral("../x"), "___X.INI"},
        {QStringLiteral("a/b"), "A_B.INI"},
        {QStringLiteral(".."), "__.INI"},
        {QStringLiteral("a\\b"), "A_B.INI"},
        {QString::fromUtf16(u"a\0b", 3), "A_B.INI"},
        {QStringLiteral("/etc/passwd"), "_ETC_PASSWD.INI"},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        QDir::setCurrent(guard.fake.root.path());
        state().logToFile = true;
        startLog();
        state().optionUser = c.user;
        locateSettingsFile();
        const QString expected = state().etcFolder + QString::fromUtf8(c.file);
        EXPECT_EQ(userSettingsFile(), expected) << c.file;
        // The file is really made there, and the name in the log is the user's own.
        useUserSettingsFile();
        settingsFile().writeString(QStringLiteral("Email"), QStringLiteral("EmailName"), QStringLiteral("x"));
        useMainSettingsFile();
        EXPECT_TRUE(QFileInfo(expected).isFile()) << c.file;
        EXPECT_EQ(userName(), c.user.toUpper()) << c.file;
    }
}

TEST(IniValues, BlanksAroundAndQuotesAreRemovedOnReadAndPutBackOnWrite)
{
    struct Case {
        const char* line;
        QString value;
    };
    const Case cases[] = {
        {"ServerPassword = zbdf2", QStringLiteral("zbdf2")},
        {"tmp_folder = /x/tmp/ ", QStringLiteral("/x/tmp/")},
        {"k=\t x\t", QStringLiteral("x")},
        {"k= a b ", QStringLiteral("a b")},
        {"k=\" a \"", QStringLiteral(" a ")},
        {"k= 'b' ", QStringLiteral("b")},
        {"k=\"\"", QString()},
        {"k=\"", QStringLiteral("\"")},
        {"k=\"a'", QStringLiteral("\"a'")},
        {"k=\"\"x\"\"", QStringLiteral("\"x\"")},
        {"k=", QString()},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        const QString file = dir.filePath(QStringLiteral("t.ini"));
        writeFile(file, QByteArray("[S]\r\n") + c.line + "\r\n");
        const QString key = QString::fromUtf8(c.line).section(QLatin1Char('='), 0, 0).trimmed();
        IniFile ini(file);
        EXPECT_EQ(ini.readString(QStringLiteral("S"), key), c.value) << c.line;
        // Written by the program, the value reads back the same.
        IniFile fresh(dir.filePath(QStringLiteral("w.ini")), QString());
        fresh.writeString(QStringLiteral("S"), key, c.value);
        ASSERT_TRUE(fresh.updateFile()) << fresh.errorString().toStdString();
        EXPECT_EQ(IniFile(fresh.fileName()).readString(QStringLiteral("S"), key), c.value) << c.line;
    }
}

TEST_F(SafetyTest, ReadOnlySettingsFileGivesOneWarningAndTheClosingLine)
{
    guard.fake.fixedTime = QStringLiteral("t t");
    const QString ini = tavlund() + QStringLiteral("etc/tavlund.ini");
    writeFile(ini, "[STANDARD]\r\nLogToFile=1\r\nVerboseLogging=1\r\n");
    ::chmod(QFile::encodeName(ini).constData(), 0400);
    runtimeStart({});
    // A run's worth of flushes and file switches.
    for (int i = 0; i < 3; ++i) {
        namedFolder(QStringLiteral("tmp"));
        useUserSettingsFile();
        useMainSettingsFile();
    }
    runtimeStop();
    const QStringList texts = logTexts(readTextLines(tavlund() + QStringLiteral("log/brevglimt.log")));
    EXPECT_EQ(linesStartingWith(texts, QStringLiteral("ADVARSEL: ")),
              (QStringList{QStringLiteral("ADVARSEL: kan ikke lagre innstillingene i %1 (filen er skrivebeskyttet)").arg(ini),
                           QStringLiteral("ADVARSEL: %1 er skrivebeskyttet og vil ikke bli lagret.").arg(ini)}));
    EXPECT_TRUE(linesStartingWith(texts, QStringLiteral("FEIL: ")).isEmpty());
    EXPECT_TRUE(linesStartingWith(texts, QStringLiteral("INI-CRASH")).isEmpty());
    ASSERT_FALSE(texts.isEmpty());
    EXPECT_EQ(texts.last(), QStringLiteral("AVSLUTTER PROGRAM. 0 feilmeldinger og 2 advarsler"));
}

TEST_F(SafetyTest, AnOversizedSettingsFileIsNeitherReadNorWritten)
{
    guard.fake.fixedTime = QStringLiteral("t t");
    writeFile(tavlund() + QStringLiteral("etc/tavlund.ini"), "[STANDARD]\r\nLogToFile=1\r\n");
    struct Case {
        const char* name;
        qint64 size;
        bool read;
    };
    const Case cases[] = {
        {"at the limit", kMaxIniFileBytes, true},
        {"one byte over", kMaxIniFileBytes + 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        runtimeStart({});
        const QString file = userSettingsFile();
        QByteArray bytes = "[Pop3]\r\nServerName=pop.example.no\r\n";
        while (bytes.size() < c.size)
            bytes += "; " + QByteArray(std::min<qint64>(78, c.size - bytes.size()), 'x') + "\r\n";
        bytes.truncate(c.size);
        writeFile(file, bytes);
        useUserSettingsFile();
        selectSection(QStringLiteral("Pop3"));
        EXPECT_EQ(readSetting(QStringLiteral("ServerName")), c.read ? QStringLiteral("pop.example.no") : QString());
        writeSetting(QStringLiteral("ServerUser"), QStringLiteral("ola"));
        selectStandardSection();
        useMainSettingsFile();
        if (!c.read) {
            useUserSettingsFile();
            useMainSettingsFile();
        }
        runtimeStop();

        const QStringList texts = logTexts(readTextLines(tavlund() + QStringLiteral("log/brevglimt.log")));
        const QStringList refused = linesStartingWith(texts, QStringLiteral("FEIL: INIFIL: leser ikke "));
        if (c.read) {
            EXPECT_TRUE(refused.isEmpty());
            EXPECT_TRUE(fileBytes(file).contains("ServerUser=ola"));
        } else {
            EXPECT_EQ(fileBytes(file), bytes) << "the file stays as it was";
            EXPECT_EQ(refused, QStringList{QStringLiteral("FEIL: INIFIL: leser ikke %1 og endrer den ikke: filen er "
                                                          "større enn 4 MiB, som er grensen for en innstillingsfil")
                                               .arg(file)});
            EXPECT_TRUE(linesStartingWith(texts, QStringLiteral("FEIL: kan ikke lagre")).isEmpty()) << "told once";
        }
        QFile::remove(file);
        QFile::remove(tavlund() + QStringLiteral("log/brevglimt.log"));
    }
}

// ---------------------------------------------------------------- files the program writes

TEST(PlantedFiles, NothingIsWrittenThroughALinkOrIntoAnOddFile)
{
    enum class Planted { Link, Fifo };
    struct Case {
        const char* label;
        Planted planted;
        // Writes through the path; true when the write reported a failure.
        std::function<bool(const QString& path)> write;
    };
    const Case cases[] = {
        {"settings file, link", Planted::Link, [](const QString& p) {
             IniFile ini(p);
             ini.writeString(QStringLiteral("Pop3"), QStringLiteral("ServerName"), QStringLiteral("ondsinnet"));
             return !ini.updateFile() && !ini.errorString().isEmpty();
         }},
        {"settings file, pipe", Planted::Fifo, [](const QString& p) {
             IniFile ini(p);
             ini.writeString(QStringLiteral("Pop3"), QStringLiteral("ServerName"), QStringLiteral("ondsinnet"));
             return !ini.updateFile();
         }},
        {"temp.eml, link", Planted::Link, [](const QString& p) { return !saveFileSafely(p, "From: server\r\n").isEmpty(); }},
        {"temp.eml, pipe", Planted::Fifo, [](const QString& p) { return !saveFileSafely(p, "From: server\r\n").isEmpty(); }},
        {"log at the end of the run, link", Planted::Link, [](const QString& p) {
             state().logFile = p;
             state().logToFile = true;
             writeLog(QStringLiteral("linje"));
             boundLogFile();
             const bool warned = state().warningCount == 1;
             endLog();
             return warned;
         }},
        {"log at the end of the run, pipe", Planted::Fifo, [](const QString& p) {
             state().logFile = p;
             state().logLines = {QStringLiteral("linje")};
             endLog();
             return true;
         }},
        {"log cleared, link", Planted::Link, [](const QString& p) {
             state().logFile = p;
             clearLog();
             return true;
         }},
        {"text file appended, link", Planted::Link, [](const QString& p) { return appendLine(p, QStringLiteral("x")) != 0; }},
        {"settings flushed, link", Planted::Link, [](const QString& p) {
             state().logToFile = true;
             state().settingsFile = std::make_unique<IniFile>(p);
             writeSetting(QStringLiteral("ServerName"), QStringLiteral("ondsinnet"));
             const bool failed = !flushSettingsFile() && !flushSettingsFile();
             return failed && state().warningCount == 1 && state().errorCount == 0;
         }},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        const QString dir = guard.fake.root.path();
        const QString target = dir + QStringLiteral("/.bashrc");
        writeFile(target, "urørt\n");
        const QString path = dir + QStringLiteral("/planted");
        if (c.planted == Planted::Link) {
            ASSERT_TRUE(QFile::link(target, path));
        } else {
            ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        EXPECT_TRUE(c.write(path)) << c.label << ": the refusal is reported";
        EXPECT_EQ(fileBytes(target), QByteArray("urørt\n")) << c.label;
        EXPECT_NE(pathKind(path), PathKind::Regular) << c.label << ": the planted name is left alone";
    }
}

TEST(SafeWrite, ReplacesAtOnceWithTheRightPermissions)
{
    QTemporaryDir dir;
    const QString eml = dir.filePath(QStringLiteral("temp.eml"));
    writeFile(eml, "gammel melding som er lengre enn den nye");
    ::chmod(QFile::encodeName(eml).constData(), 0644);
    EXPECT_EQ(saveFileSafely(eml, "ny"), QString());
    EXPECT_EQ(fileBytes(eml), QByteArray("ny"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(eml).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the message is the user's alone";

    const QString ini = dir.filePath(QStringLiteral("tavlund.ini"));
    writeFile(ini, "[S]\r\n");
    ::chmod(QFile::encodeName(ini).constData(), 0640);
    ASSERT_TRUE(writeFileAtomically(ini, "[S]\r\nk=1\r\n", FileMode::KeepExisting).ok());
    ASSERT_EQ(::stat(QFile::encodeName(ini).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "a settings file keeps the bits its owner chose";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2) << "no temporary file is left";

    EXPECT_FALSE(saveFileSafely(dir.filePath(QStringLiteral("finnes/ikke/temp.eml")), "x").isEmpty());
}

TEST(SaveThenLoad, OddLinesSurviveAndValuesStayTheSame)
{
    struct Case {
        const char* label;
        QByteArray file;
        // What the reader sees, before the saves and after them: each
        // section, then its keys with the value the program reads.
        QList<const char*> settings;
        QStringList keptLines; // lines that must be written back exactly
    };
    const Case cases[] = {
        {"a line with an empty key", "[Pop3]\r\nServerName=pop.firma.example\r\n =x\r\n =[Smtp]\r\n =ServerName=ondsinnet\r\nA=1\r\n",
         {"[Pop3]", "ServerName=pop.firma.example", "A=1"},
         {QStringLiteral(" =x"), QStringLiteral(" =[Smtp]"), QStringLiteral(" =ServerName=ondsinnet")}},
        {"a section without a name", "[Pop3]\r\nA=1\r\n[]\r\nB=2\r\n[Smtp]\r\nC=3\r\n",
         {"[Pop3]", "A=1", "[]", "B=2", "[Smtp]", "C=3"}, {QStringLiteral("[]")}},
        {"lines before the first section", "B=utenfor\r\n; merknad\r\njunk\r\n[S]\r\nA=1\r\n", {"[S]", "A=1"},
         {QStringLiteral("B=utenfor"), QStringLiteral("; merknad"), QStringLiteral("junk")}},
        // The last of repeated keys holds; a section named again in other
        // case is the same section.
        {"repeated sections and keys", "[S]\r\nA=1\r\nA=2\r\n[T]\r\nX=1\r\n[s]\r\nB=3\r\n",
         {"[S]", "A=2", "B=3", "[T]", "X=1"}, {QStringLiteral("[s]")}},
        // Not UTF-8 as a whole: read as Windows-1252.
        {"invalid UTF-8", "[S]\r\nA=\xE6\xF8\xE5\r\nB=\xC3\r\n", {"[S]", "A=æøå", "B=Ã"}, {}},
        // C0 8D: the two-byte form of a CR inside a value.
        {"a value ending in CR", "[S]\r\nA=x\xC0\x8D\r\n", {"[S]", "A=x\r"}, {}},
        {"blanks and comments kept", "[S]\r\n  A = 1 \r\n\r\n# kommentar\r\n\r\n[T]\r\nB=2\r\n",
         {"[S]", "A=1", "[T]", "B=2"}, {QStringLiteral("  A = 1 "), QStringLiteral("# kommentar")}},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        QStringList expected;
        for (const char* s : c.settings)
            expected.append(QString::fromUtf8(s));
        const QString file = dir.filePath(QStringLiteral("odd.ini"));
        writeFile(file, c.file);
        EXPECT_EQ(model(IniFile(file)), expected) << c.label;
        // A change elsewhere makes the save really write the file, three times over.
        for (int round = 0; round < 3; ++round) {
            IniFile ini(file);
            ini.writeString(QStringLiteral("Ekstra"), QStringLiteral("Runde"), QString::number(round));
            ASSERT_TRUE(ini.updateFile()) << c.label;
        }
        IniFile after(file);
        EXPECT_EQ(model(after), (expected + QStringList{QStringLiteral("[Ekstra]"), QStringLiteral("Runde=2")})) << c.label;
        for (const QString& kept : c.keptLines)
            EXPECT_TRUE(after.lines().contains(kept)) << c.label << ": " << kept.toStdString();
    }
}

TEST(SaveThenLoad, SpecificOddLinesDoNotChangeTheSettings)
{
    IniFile ini(QString(), QStringLiteral("[Pop3]\nServerName=pop.firma.example\n =[Smtp]\n =ServerName=ondsinnet\nA=1\n"));
    EXPECT_EQ(ini.sections(), QStringList{QStringLiteral("Pop3")});
    EXPECT_EQ(ini.readString(QStringLiteral("Pop3"), QStringLiteral("ServerName")), QStringLiteral("pop.firma.example"));
    EXPECT_EQ(ini.readString(QStringLiteral("Pop3"), QStringLiteral("A")), QStringLiteral("1"));
    // A value ending in CR, written and read back, keeps its CR.
    ini.writeString(QStringLiteral("Pop3"), QStringLiteral("Cr"), QStringLiteral("x\r"));
    IniFile again(QString(), ini.text());
    EXPECT_EQ(again.readString(QStringLiteral("Pop3"), QStringLiteral("Cr")), QStringLiteral("x\r"));
    // Keys under "[]" stay there and never join the section before.
    IniFile empty(QString(), QStringLiteral("[Pop3]\nA=1\n[]\nB=2\n"));
    EXPECT_EQ(empty.readString(QStringLiteral("Pop3"), QStringLiteral("B")), QString());
    EXPECT_EQ(IniFile(QString(), empty.text()).readString(QStringLiteral("Pop3"), QStringLiteral("B")), QString());
}

// ---------------------------------------------------------------- large files

TEST(LogBound, AnOversizedLogIsMovedAsideOnceAndANewOneStarted)
{
    struct Case {
        const char* label;
        qint64 size;
        bool olderGeneration;
        bool moved;
        qint64 limit = 1000; // 0: the program's own, 4 MiB
    };
    const Case cases[] = {
        {"under the limit", 100, false, false},
        {"at the limit", 1000, false, false},
        {"past the limit", 1001, false, true},
        {"past the limit, an older .old there", 5000, true, true},
        {"at the default limit", 4 * 1024 * 1024, false, false, 0},
        {"past the default limit", 4 * 1024 * 1024 + 1, false, true, 0},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        guard.fake.fixedTime = QStringLiteral("t t");
        startLog();
        const QString log = state().logFile;
        const QString old = log + QStringLiteral(".old");
        writeFile(log, QByteArray(c.size, 'g'));
        if (c.olderGeneration)
            writeFile(old, "eldst");
        if (c.limit > 0)
            boundLogFile(c.limit);
        else
            boundLogFile();
        if (c.moved) {
            EXPECT_TRUE(fileBytes(old) == QByteArray(c.size, 'g')) << c.label; // a 4 MiB file is not printed
            EXPECT_FALSE(QFile::exists(log)) << c.label;
            EXPECT_EQ(state().logLines, QStringList{QStringLiteral("t t LOGGFIL FLYTTET: den forrige loggen (%1 byte) ligger nå i %2.")
                                                        .arg(c.size)
                                                        .arg(old)})
                << c.label;
        } else {
            EXPECT_EQ(fileBytes(log).size(), c.size) << c.label;
            EXPECT_FALSE(QFile::exists(old)) << c.label;
            EXPECT_TRUE(state().logLines.isEmpty()) << c.label;
        }
        endLog();
        if (c.moved) {
            EXPECT_TRUE(fileBytes(log).startsWith("t t LOGGFIL FLYTTET:")) << c.label;
        }
    }
}

// An error box's text gets a full stop when its last character's code lies
// above the full stop's own (letters, digits, "/", "»"), and none after a
// full stop, "!", ",", ")" or a blank, nor for no text.
TEST(ErrorDisplayText, FullStopAfterACharacterCodeAboveTheFullStop)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Connection refused", "Connection refused."},
        {"kode 42", "kode 42."},
        {"mappe/", "mappe/."},
        {"«tekst»", "«tekst»."},
        {"Ferdig.", "Ferdig."},
        {"Feil!", "Feil!"},
        {"(se loggen)", "(se loggen)"},
        {"a, b,", "a, b,"},
        {"slutt med blank ", "slutt med blank "},
        {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(rt::errorDisplayText(QString::fromUtf8(in)), QString::fromUtf8(out)) << in;
}
