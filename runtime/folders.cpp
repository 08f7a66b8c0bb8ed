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

QString approot()
{
    return platform().appDataRoot() + QStringLiteral("/Tavlund/");
}

QString tavlundpath(const QString& name)
{
    const QString root = approot();
    if (name.isEmpty())
        return root;
    RuntimeState& s = state();
    const QString remembered = s.IniSection;
    QString folder = IniFile().readString(kFolders, name + QStringLiteral("_folder"));
    if (folder.isEmpty())
        folder = root + name + QLatin1Char('/');
    // Only folders under the root are made here, never the program's own.
    if (!folderExists(folder) && name != QLatin1String("bin") && folder.contains(root)) {
        WriteLog(QStringLiteral("zt_reg.tavlundpath(%1): Lager mappen %2").arg(name, folder));
        makePath(folder);
    }
    folder = withSlash(folder);
    setfolder(name, folder);
    flushIniFile();
    s.IniSection = remembered;
    return folder;
}

void setfolder(const QString& name, const QString& path)
{
    RuntimeState& s = state();
    const QString remembered = s.IniSection;
    iniselect(kFolders);
    iniwritestring(name + QStringLiteral("_folder"), withSlash(path));
    s.IniSection = remembered;
}

void mkdirsafe(const QString& path)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0) {
        WriteLog(QStringLiteral("Oppretter mappen ") + path);
        return;
    }
    const int code = errno;
    // A folder already in its place is what was wanted; anything else there
    // (a file, a dangling link) or any other failure is one.
    if (code == EEXIST && folderExists(path))
        return;
    WriteLog(QStringLiteral("FEIL: [mkdirsafe:%1] kan ikke opprette mappen %2").arg(code).arg(path));
}

QString binpath()
{
    setfolder(QStringLiteral("bin"), QFileInfo(platform().programFile()).absolutePath());
    return tavlundpath(QStringLiteral("bin"));
}

QString logpath()
{
    const QString log = QStringLiteral("log");
    if (!folderExists(tavlundpath(log))) {
        // A configured log folder outside the root that is missing: back to the default.
        setfolder(log, approot() + QStringLiteral("log/"));
        makePath(tavlundpath(log));
    }
    return tavlundpath(log);
}

void installfolders()
{
    const QString bin = binpath();
    setfolder(QStringLiteral("doc"), QDir::cleanPath(bin + QStringLiteral("../doc")));
    const QString root = approot();
    if (!folderExists(root))
        makePath(root);
    // Parents come before their children: mkdirsafe makes one level only.
    for (const char* name : kInstallFolders) {
        const QString folderName = QLatin1String(name);
        mkdirsafe(root + folderName);
        setfolder(folderName, root + folderName);
    }
}

} // namespace rt
