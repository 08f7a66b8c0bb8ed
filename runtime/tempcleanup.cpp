#include "tempcleanup.h"

#include "folders.h"
#include "log.h"
#include "machinefacts.h"
#include "platform.h"
#include "safefile.h"
#include "state.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace rt {

void deleteTempFiles(bool system)
{
    writeLog(QStringLiteral("Sletter midlertidige filer opprettet av Tavlund programmer"));
    // The name tests keep a stray setting from pointing the clean-up elsewhere;
    // cleanFolder also checks where the folder really lies.
    const QString tmp = namedFolder(QStringLiteral("tmp"));
    if (tmp.size() > 3 && tmp.toUpper().contains(QLatin1String("TMP")))
        cleanFolder(tmp);
    if (!system)
        return;
    const QString temp = tempFolder() + QLatin1Char('/');
    if (temp.size() > 3 && temp.toUpper().contains(QLatin1String("TEMP"))) {
        writeLog(QStringLiteral("Sletter midlertidige filer i Windows"));
        cleanFolder(temp);
        cleanFolder(platform().environment("WINDIR") + QStringLiteral("/temp/"));
    }
    const QString spool = spoolFolderPath();
    if (spool.toUpper().contains(QLatin1String("SPOOL"))) {
        writeLog(QStringLiteral("Sletter skriverkøer"));
        cleanFolder(spool);
    }
}

QString cleanupRefusal(const QString& path)
{
    QString bare = path;
    while (bare.size() > 1 && bare.endsWith(QLatin1Char('/')))
        bare.chop(1);
    if (pathKind(bare) == PathKind::SymLink)
        return QStringLiteral("mappen er en symbolsk lenke");
    const QString canonical = QFileInfo(bare).canonicalFilePath();
    if (canonical.isEmpty())
        return QStringLiteral("mappen finnes ikke");
    const auto inside = [&](const QString& folder, bool itself) {
        const QString top = folder.isEmpty() ? QString() : QFileInfo(folder).canonicalFilePath();
        if (top.isEmpty() || top == QLatin1String("/"))
            return false;
        return (itself && canonical == top) || canonical.startsWith(top + QLatin1Char('/'));
    };
    if (inside(dataRoot(), false) || inside(platform().systemTempFolder(), true))
        return {};
    return QStringLiteral("mappen ligger utenfor Tavlund-mappen og systemets midlertidige mappe");
}

void cleanFolder(QString path)
{
    path = withSlash(path);
    if (path.size() < 7 || !folderExists(path))
        return;
    if (const QString refusal = cleanupRefusal(path); !refusal.isEmpty()) {
        writeLog(QStringLiteral("ADVARSEL: rydder ikke %1: %2").arg(path, refusal));
        return;
    }
    // The clean-up works on the folder's real path: no "..", no links.
    const QString real = withSlash(QFileInfo(path).canonicalFilePath());
    state().cleanTop = real;
    deleteTree(real);
}

void deleteTree(const QString& folder)
{
    RuntimeState& s = state();
    BusyCursor busy;
    if (s.verboseLogging)
        writeLog(QStringLiteral("Sletter mappen ") + folder);
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString path = folder + entry.fileName();
        // A link is removed as a link: the clean-up never follows one out.
        if (entry.isDir() && !entry.isSymLink()) {
            deleteTree(path + QLatin1Char('/'));
            continue;
        }
        if (!entry.isSymLink() && platform().isMarkedReadOnly(path))
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (s.verboseLogging)
            writeLog(QStringLiteral("Sletter ") + path);
        if (!QFile::remove(path))
            writeLog(QStringLiteral("FEIL: kan ikke slette filen ") + path);
    }
    if (folder != s.cleanTop && !QDir().rmdir(folder))
        writeLog(QStringLiteral("FEIL: kan ikke slette mappen ") + folder);
}

} // namespace rt
