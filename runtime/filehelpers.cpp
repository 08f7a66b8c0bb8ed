#include "filehelpers.h"

#include "platform.h"

#include <QFile>

namespace rt {

qint64 fileSizeOf(const QString& fileName)
{
    if (platform().isMarkedReadOnly(fileName))
        return -1;
    QFile f(fileName);
    if (!f.exists() || !f.open(QIODevice::ReadWrite))
        return -1;
    return f.size();
}

QString changeExtension(const QString& fileName, const QString& extension)
{
    const qsizetype dot = fileName.indexOf(QLatin1Char('.'));
    if (dot < 0)
        return fileName + QLatin1Char('.') + extension;
    return fileName.left(dot + 1) + extension;
}

} // namespace rt
