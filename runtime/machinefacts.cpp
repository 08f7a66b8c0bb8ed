#include "machinefacts.h"

#include "log.h"
#include "platform.h"
#include "state.h"
#include "username.h"

namespace rt {

void applySwitches(const QStringList& args)
{
    RuntimeState& s = state();
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const QString next = args.value(i + 1);
        if (a == QLatin1String("--debug")) {
            s.logToFile = true;
            s.verboseLogging = true;
        } else if (a == QLatin1String("-install")) {
            s.logToFile = true;
            s.verboseLogging = true;
            s.optionInstall = true;
        } else if (a == QLatin1String("-ip")) {
            s.optionIp = next;
        } else if (a == QLatin1String("--caption")) {
            s.optionCaption = next;
        } else if (a == QLatin1String("--user")) {
            s.optionUser = next;
        }
    }
}

QString computerName()
{
    return platform().hostName();
}

QString domainName()
{
    return platform().dnsDomain();
}

QString ipAddress()
{
    if (!state().optionIp.isEmpty())
        return state().optionIp;
    if (domainName().isEmpty())
        return {};
    const QString address = platform().firstIPv4Address();
    return address.isEmpty() ? QStringLiteral("0.0.0.0") : address;
}

QString spoolFolderPath()
{
    return platform().spoolFolder();
}

QString tempFolder()
{
    return platform().environment("TEMP");
}

void logLogin()
{
    writeLog(QStringLiteral("LOGIN: ") + loginUserName() + QStringLiteral("  node: ") + computerName()
             + QLatin1Char('.') + domainName() + QStringLiteral(" IP:") + ipAddress());
}

} // namespace rt
