#include "folders.h"

#include "log.h"
#include "platform.h"
#include "settingsaccess.h"
#include "state.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace rt {

namespace {

const QString kFolders = QStringLiteral("FOLDERS");

void makePath(const QString& path)
{
    QDir().mkpath(path);
}

const char* const kInstallFolders[] = {
    "archive", "backup", "data", "data/brekka", "data/sildra", "data/krossa", "data/docs", "data/vindel",
    "etc", "export", "export/xml", "export/pdf", "export/csv", "export/html", "export/html/varer", "import",
    "images", "spool", "tmp", "xml", "log", "maler", "maler/docs", "maler/krossa",
};

} // namespace

QString withSlash(QString path)
{
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

bool folderExists(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

QString dataRoot()
{
    return platform().appDataRoot() + QStringLiteral("/Tavlund/");
}

QString namedFolder(const QString& name)
{
    const QString root = dataRoot();
    if (name.isEmpty())
        return root;
    RuntimeState& s = state();
    const QString remembered = s.settingsSection;
    QString folder = settingsFile().readString(kFolders, name + QStringLiteral("_folder"));
    if (folder.isEmpty())
        folder = root + name + QLatin1Char('/');
    // Only folders under the root are made here, never the program's own.
    if (!folderExists(folder) && name != QLatin1String("bin") && folder.contains(root)) {
        writeLog(QStringLiteral("zt_reg.tavlundpath(%1): Lager mappen %2").arg(name, folder));
        makePath(folder);
    }
    folder = withSlash(folder);
    setNamedFolder(name, folder);
    flushSettingsFile();
    s.settingsSection = remembered;
    return folder;
}

void setNamedFolder(const QString& name, const QString& path)
{
    RuntimeState& s = state();
    const QString remembered = s.settingsSection;
    selectSection(kFolders);
    writeSetting(name + QStringLiteral("_folder"), withSlash(path));
    s.settingsSection = remembered;
}

void makeFolder(const QString& path)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0) {
        writeLog(QStringLiteral("Oppretter mappen ") + path);
        return;
    }
    const int code = errno;
    // A folder already in its place is what was wanted; anything else there
    // (a file, a dangling link) or any other failure is one.
    if (code == EEXIST && folderExists(path))
        return;
    writeLog(QStringLiteral("FEIL: [mkdirsafe:%1] kan ikke opprette mappen %2").arg(code).arg(path));
}

QString programFolder()
{
    setNamedFolder(QStringLiteral("bin"), QFileInfo(platform().programFile()).absolutePath());
    return namedFolder(QStringLiteral("bin"));
}

QString logFolderPath()
{
    const QString log = QStringLiteral("log");
    if (!folderExists(namedFolder(log))) {
        // A configured log folder outside the root that is missing: back to the default.
        setNamedFolder(log, dataRoot() + QStringLiteral("log/"));
        makePath(namedFolder(log));
    }
    return namedFolder(log);
}

void installFolders()
{
    const QString bin = programFolder();
    setNamedFolder(QStringLiteral("doc"), QDir::cleanPath(bin + QStringLiteral("../doc")));
    const QString root = dataRoot();
    if (!folderExists(root))
        makePath(root);
    // Parents come before their children: makeFolder makes one level only.
    for (const char* name : kInstallFolders) {
        const QString folderName = QLatin1String(name);
        makeFolder(root + folderName);
        setNamedFolder(folderName, root + folderName);
    }
}

} // namespace rt
