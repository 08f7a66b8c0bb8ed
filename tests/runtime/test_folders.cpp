// Named folders, the folder tree and the clean-up of temporary files.
#include "fakeplatform.h"
#include "folders.h"
#include "log.h"
#include "settingsaccess.h"
#include "startup.h"
#include "state.h"
#include "tempcleanup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <functional>
#include <iterator>

using namespace rt;
using testsupport::RuntimeFixtureGuard;

namespace {

class FolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        startLog();
        locateSettingsFile();
        state().logToFile = true;
    }
    QString root() const { return guard.fake.root.path() + QStringLiteral("/Tavlund/"); }
    QString folderOnDisk(const char* name) const
    {
        return IniFile(state().settingsFileName).readString(QStringLiteral("FOLDERS"), QString::fromUtf8(name) + QStringLiteral("_folder"));
    }
    void touch(const QString& path, const QByteArray& bytes = "x")
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    int linesStartingWith(const char* prefix) const
    {
        int n = 0;
        for (const QString& line : state().logLines)
            n += line.section(QLatin1Char(' '), 2).startsWith(QString::fromUtf8(prefix)) ? 1 : 0;
        return n;
    }

    RuntimeFixtureGuard guard;
};

} // namespace

TEST_F(FolderTest, EmptyNameIsTheRootAndWritesNothing)
{
    selectSection(QStringLiteral("Pop3"));
    EXPECT_EQ(namedFolder(QString()), root());
    EXPECT_FALSE(settingsFile().sectionExists(QStringLiteral("FOLDERS")) &&
                 settingsFile().keys(QStringLiteral("FOLDERS")).contains(QStringLiteral("_folder")));
    EXPECT_EQ(state().settingsSection, QStringLiteral("Pop3"));
}

TEST_F(FolderTest, DefaultFolderIsMadeRecordedAndSaved)
{
    selectSection(QStringLiteral("Pop3"));
    const QString tmp = namedFolder(QStringLiteral("tmp"));
    EXPECT_EQ(tmp, root() + QStringLiteral("tmp/"));
    EXPECT_TRUE(QFileInfo(tmp).isDir());
    EXPECT_EQ(folderOnDisk("tmp"), tmp);
    EXPECT_EQ(state().settingsSection, QStringLiteral("Pop3")) << "the caller's section is restored";
    ASSERT_FALSE(state().logLines.isEmpty());
    EXPECT_EQ(state().logLines.last().section(QLatin1Char(' '), 2),
              QStringLiteral("zt_reg.tavlundpath(tmp): Lager mappen ") + tmp);
}

TEST_F(FolderTest, ConfiguredFolderGetsItsSlashAndOutsideFoldersAreNotMade)
{
    const QString outside = guard.fake.root.path() + QStringLiteral("/annet/sted");
    settingsFile().writeString(QStringLiteral("FOLDERS"), QStringLiteral("images_folder"), outside);
    EXPECT_EQ(namedFolder(QStringLiteral("images")), outside + QLatin1Char('/'));
    EXPECT_FALSE(QFileInfo::exists(outside));
    EXPECT_EQ(folderOnDisk("images"), outside + QLatin1Char('/'));
}

TEST_F(FolderTest, BinIsNeverCreated)
{
    EXPECT_EQ(programFolder(), QStringLiteral("/opt/brevglimt/bin/"));
    settingsFile().writeString(QStringLiteral("FOLDERS"), QStringLiteral("bin_folder"), root() + QStringLiteral("bin"));
    EXPECT_EQ(namedFolder(QStringLiteral("bin")), root() + QStringLiteral("bin/"));
    EXPECT_FALSE(QFileInfo::exists(root() + QStringLiteral("bin")));
}

TEST_F(FolderTest, MissingConfiguredLogFolderFallsBackToTheDefault)
{
    settingsFile().writeString(QStringLiteral("FOLDERS"), QStringLiteral("log_folder"), QStringLiteral("/finnes/ikke/log/"));
    EXPECT_EQ(logFolderPath(), root() + QStringLiteral("log/"));
    EXPECT_TRUE(QFileInfo(root() + QStringLiteral("log")).isDir());
}

TEST_F(FolderTest, InstallFoldersBuildsTheTreeAndLeavesFoldersThereAlone)
{
    installFolders();
    for (const char* name : {"archive", "data/brekka", "export/html/varer", "maler/krossa", "tmp", "log"}) {
        EXPECT_TRUE(QFileInfo(root() + QString::fromUtf8(name)).isDir()) << name;
        EXPECT_EQ(settingsFile().readString(QStringLiteral("FOLDERS"), QString::fromUtf8(name) + QStringLiteral("_folder")),
                  root() + QString::fromUtf8(name) + QLatin1Char('/'));
    }
    EXPECT_EQ(settingsFile().readString(QStringLiteral("FOLDERS"), QStringLiteral("doc_folder")), QStringLiteral("/opt/brevglimt/doc/"));
    // etc was made when the settings file was located; a folder already
    // there is no failure.
    EXPECT_EQ(linesStartingWith("Oppretter mappen "), 23);
    EXPECT_EQ(linesStartingWith("FEIL: "), 0);

    // Again (-install over a complete tree): nothing to make, nothing failed.
    state().logLines.clear();
    installFolders();
    EXPECT_EQ(linesStartingWith("Oppretter mappen "), 0);
    EXPECT_EQ(linesStartingWith("FEIL: "), 0);
    EXPECT_EQ(settingsFile().readString(QStringLiteral("FOLDERS"), QStringLiteral("maler/docs_folder")),
              root() + QStringLiteral("maler/docs/"));
}

// Something other than a folder in a folder's place is still a failure.
TEST_F(FolderTest, InstallFoldersLogsEveryPlaceWhereNoFolderCanBe)
{
    struct Case {
        const char* folder;
        std::function<void(const QString& path)> plant;
    };
    const Case cases[] = {
        {"archive", [this](const QString& path) { touch(path); }},
        {"spool", [](const QString& path) { ASSERT_TRUE(QFile::link(path + QStringLiteral("-finnes-ikke"), path)); }},
    };
    for (const Case& c : cases)
        c.plant(root() + QString::fromUtf8(c.folder));
    state().logLines.clear();
    installFolders();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const QString line = QStringLiteral("FEIL: [mkdirsafe:17] kan ikke opprette mappen ") + root() + QString::fromUtf8(c.folder);
        EXPECT_EQ(linesStartingWith(line.toUtf8().constData()), 1);
    }
    EXPECT_EQ(linesStartingWith("FEIL: "), int(std::size(cases)));
    EXPECT_TRUE(QFileInfo(root() + QStringLiteral("data/brekka")).isDir()) << "the rest of the tree is made";
}

TEST_F(FolderTest, CleanfolderGuards)
{
    // Relative to the test's own folder, so a short path is still harmless.
    struct Case {
        const char* path;
        bool cleaned;
    };
    const Case cases[] = {
        {"abcdef", true},   // "abcdef/" is seven characters: the least that is cleaned
        {"abcdef/", true},
        {"abcde", false},   // six with the slash
        {"ab", false},
    };
    for (const Case& c : cases) {
        const QString victim = QString::fromUtf8(c.path) + QStringLiteral("/fil.txt");
        touch(victim);
        cleanFolder(QString::fromUtf8(c.path));
        EXPECT_EQ(!QFileInfo::exists(victim), c.cleaned) << c.path;
        EXPECT_TRUE(QFileInfo(QString::fromUtf8(c.path)).isDir()) << "the folder itself stays";
    }
    cleanFolder(QStringLiteral("finnes-ikke")); // a missing folder is no error
    EXPECT_EQ(linesStartingWith("FEIL: "), 0);
}

TEST_F(FolderTest, DeleteTreeEmptiesSubfoldersKeepsTheTopAndNeverFollowsLinks)
{
    const QString tmp = namedFolder(QStringLiteral("tmp"));
    const QString outside = guard.fake.root.path() + QStringLiteral("/utenfor/");
    touch(outside + QStringLiteral("skal-bli.txt"));
    touch(tmp + QStringLiteral("a.txt"));
    touch(tmp + QStringLiteral(".skjult"));
    touch(tmp + QStringLiteral("sub/dypere/b.txt"));
    QDir().mkpath(tmp + QStringLiteral("tom"));
    touch(tmp + QStringLiteral("ro.txt"));
    QFile::setPermissions(tmp + QStringLiteral("ro.txt"), QFileDevice::ReadOwner);
    ASSERT_TRUE(QFile::link(outside, tmp + QStringLiteral("lenke-mappe")));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("skal-bli.txt"), tmp + QStringLiteral("lenke-fil")));
    ASSERT_TRUE(QFile::link(tmp + QStringLiteral("borte"), tmp + QStringLiteral("brutt-lenke")));

    state().verboseLogging = true;
    cleanFolder(tmp);

    EXPECT_TRUE(QFileInfo(tmp).isDir());
    EXPECT_TRUE(QDir(tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty())
        << QDir(tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(QFileInfo::exists(outside + QStringLiteral("skal-bli.txt")));
    EXPECT_EQ(linesStartingWith("FEIL: "), 0);
    EXPECT_EQ(linesStartingWith("Sletter mappen "), 4); // top, sub, sub/dypere, tom
}

TEST_F(FolderTest, TempFilesCleanUpFollowsItsSettings)
{
    struct Case {
        const char* tmpFolder; // empty: the default
        bool system;
        bool tmpCleaned;
        bool systemCleaned;
    };
    const QString systemTemp = guard.fake.root.path() + QStringLiteral("/SysTemp");
    guard.fake.env[QStringLiteral("TEMP")] = systemTemp;
    guard.fake.env[QStringLiteral("WINDIR")] = guard.fake.root.path() + QStringLiteral("/win");
    const Case cases[] = {
        {"", false, true, false},
        {"", true, true, true},
        {"annet/", false, false, false}, // no "tmp" in the configured path (relative: the test root is under /tmp)
    };
    for (const Case& c : cases) {
        const QString tmp = QString::fromUtf8(c.tmpFolder).isEmpty() ? root() + QStringLiteral("tmp/")
                                                                     : QString::fromUtf8(c.tmpFolder);
        settingsFile().writeString(QStringLiteral("FOLDERS"), QStringLiteral("tmp_folder"), tmp);
        touch(tmp + QStringLiteral("x"));
        touch(systemTemp + QStringLiteral("/y"));
        touch(guard.fake.root.path() + QStringLiteral("/win/temp/z"));
        deleteTempFiles(c.system);
        EXPECT_EQ(!QFileInfo::exists(tmp + QStringLiteral("x")), c.tmpCleaned) << c.tmpFolder << c.system;
        EXPECT_EQ(!QFileInfo::exists(systemTemp + QStringLiteral("/y")), c.systemCleaned);
        EXPECT_EQ(!QFileInfo::exists(guard.fake.root.path() + QStringLiteral("/win/temp/z")), c.systemCleaned);
    }
}
