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
            s.LogToFile = true;
            s.VerboseLogging = true;
        } else if (a == QLatin1String("-install")) {
            s.LogToFile = true;
            s.VerboseLogging = true;
            s.OptionInstall = true;
        } else if (a == QLatin1String("-ip")) {
            s.OptionIp = next;
        } else if (a == QLatin1String("--caption")) {
            s.OptionCaption = next;
        } else if (a == QLatin1String("--user")) {
            s.OptionUser = next;
        }
    }
}

QString computername()
{
    return platform().hostName();
}

QString domainname()
{
    return platform().dnsDomain();
}

QString ipaddress()
{
    if (!state().OptionIp.isEmpty())
        return state().OptionIp;
    if (domainname().isEmpty())
        return {};
    const QString address = platform().firstIPv4Address();
    return address.isEmpty() ? QStringLiteral("0.0.0.0") : address;
}

QString spooldir()
{
    return platform().spoolFolder();
}

QString tempdir()
{
    return platform().environment("TEMP");
}

void loglogin()
{
    WriteLog(QStringLiteral("LOGIN: ") + registryuser() + QStringLiteral("  node: ") + computername()
             + QLatin1Char('.') + domainname() + QStringLiteral(" IP:") + ipaddress());
}

} // namespace rt
