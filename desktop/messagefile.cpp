#include "messagefile.h"

#include "safefile.h"

namespace desktop {

MessageFile writeMessageFile(const QString& folder, const QByteArray& message)
{
    const QString name = QStringLiteral("temp.eml");
    MessageFile file;
    file.path = folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
    const QString reason = rt::saveFileSafely(file.path, message);
    if (!reason.isEmpty())
        file.error = QStringLiteral("Kan ikke lagre meldingen i %1: %2").arg(file.path, reason);
    return file;
}

} // namespace desktop
