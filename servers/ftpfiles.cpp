#include "ftpfiles.h"

#include "log.h"
#include "neterror.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace servers {

QString filePart(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString folderPart(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString backupPath(const QString& path)
{
    return path + QStringLiteral(".old");
}

std::optional<QString> openForUpload(QFile& file)
{
    const QFileInfo info(file.fileName());
    if (!info.exists())
        return QStringLiteral("filen finnes ikke");
    // A folder, a pipe or a device is no file to send (and opening a pipe
    // would wait for a writer).
    if (!info.isFile())
        return QStringLiteral("det er ikke en vanlig fil");
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("kan ikke lese den: ") + file.errorString();
    return std::nullopt;
}

void keepPermissions(const QString& target, QFile& temporary)
{
    struct stat old {};
    if (::stat(QFile::encodeName(target).constData(), &old) != 0 || !S_ISREG(old.st_mode))
        return;
    if (::fchmod(temporary.handle(), old.st_mode & 07777) != 0)
        throw net::NetError(QStringLiteral("Kan ikke gi %1 rettighetene til %2: %3")
                                .arg(temporary.fileName(), target, QString::fromLocal8Bit(std::strerror(errno))));
}

FtpResult putInPlace(const QString& target, const QString& temporary, const QString& backup)
{
    // QFile::rename never replaces an existing file.
    if (QFile::remove(backup))
        rt::writeLog(QStringLiteral("FTP: slettet midlertidig fil: ") + backup);
    const bool kept = QFile::rename(target, backup);
    if (kept)
        rt::writeLog(QStringLiteral("FTP: endret navn på ") + target + QStringLiteral(" til ") + backup);
    if (QFile::rename(temporary, target)) {
        rt::writeLog(QStringLiteral("FTP: endret navn på ") + temporary + QStringLiteral(" til ") + target);
        return FtpResult::Done;
    }
    // The old file goes back where it was, so target is not left missing.
    if (kept && QFile::rename(backup, target))
        rt::writeLog(QStringLiteral("FTP: endret navn på ") + backup + QStringLiteral(" til ") + target);
    rt::writeLog(QStringLiteral("FEIL: FTP: Feil nr. %1, kan ikke sette den nye filen på plass som %2; "
                                "den ligger i %3")
                     .arg(QString::number(errorNumber(FtpResult::NotPutInPlace)), target, temporary));
    return FtpResult::NotPutInPlace;
}

} // namespace servers
