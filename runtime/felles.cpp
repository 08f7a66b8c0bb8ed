#include "felles.h"

#include "platform.h"

#include <QFile>

namespace rt {

qint64 FileSizeOf(const QString& fileName)
{
    if (platform().isMarkedReadOnly(fileName))
        return -1;
    QFile f(fileName);
    if (!f.exists() || !f.open(QIODevice::ReadWrite))
        return -1;
    return f.size();
}

QString ChangeExtension(const QString& fileName, const QString& extension)
{
    const qsizetype dot = fileName.indexOf(QLatin1Char('.'));
    if (dot < 0)
        return fileName + QLatin1Char('.') + extension;
    return fileName.left(dot + 1) + extension;
}

void ShellOpen(const QString& file, const QString& parameters, const QString& folder,
               const std::function<void(bool opened)>& done)
{
    platform().shellOpen(file, parameters, folder, done);
}

QString ScrambleText(const QString& plain)
{
    QString out;
    out.reserve(plain.size() + 2);
    out.append(QLatin1Char('z'));
    for (qsizetype i = 0; i < plain.size(); ++i)
        out.append(QChar(char16_t(plain.at(i).unicode() + (i + 1))));
    out.append(QLatin1Char('2'));
    return out;
}

QString UnscrambleText(const QString& stored)
{
    if (stored.size() < 2)
        return {};
    QString out;
    out.reserve(stored.size() - 2);
    for (qsizetype i = 1; i < stored.size() - 1; ++i)
        out.append(QChar(char16_t(stored.at(i).unicode() - i)));
    return out;
}

} // namespace rt
