#include "ftpsettings.h"

namespace servers {

QString defaultFtpServer()
{
    return QStringLiteral("ftp.tavlund.example");
}

FtpTransferSettings& ftpSettings()
{
    static FtpTransferSettings settings;
    return settings;
}

void resetFtpSettings()
{
    ftpSettings() = FtpTransferSettings{};
}

} // namespace servers
