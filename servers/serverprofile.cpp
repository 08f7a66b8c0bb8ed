#include "serverprofile.h"

#include "ftpsettings.h"
#include "inifile.h"
#include "passwordscramble.h"
#include "settingsaccess.h"

namespace servers {

namespace {

const QString kNameKey = QStringLiteral("name");
const QString kServerKey = QStringLiteral("server");
const QString kFolderKey = QStringLiteral("folder");
const QString kUserKey = QStringLiteral("username");
const QString kPasswordKey = QStringLiteral("password");
const QString kPortKey = QStringLiteral("port");
const QString kSslKey = QStringLiteral("SSL");

} // namespace

QString profileSection(const QString& kind)
{
    return QStringLiteral("SERVER-SETTING-") + kind;
}

QString defaultPort(const QString& kind)
{
    static const struct {
        const char* kind;
        const char* port;
    } table[] = {
        {"FTP", "21"}, {"HTTP", "80"}, {"LOG", "80"}, {"CFG", "21"}, {"SMB", "445"}, {"MAIL", "80"}, {"RDP", "3389"},
    };
    for (const auto& row : table) {
        if (kind == QLatin1String(row.kind))
            return QLatin1String(row.port);
    }
    return {};
}

ServerProfile readServerProfile(const QString& kind)
{
    ServerProfile p;
    rt::selectSection(profileSection(kind));
    p.name = rt::readSetting(kNameKey);
    p.server = rt::readSetting(kServerKey);
    p.folder = rt::readSetting(kFolderKey);
    p.user = rt::readSetting(kUserKey);
    p.password = rt::unscrambleText(rt::readSetting(kPasswordKey));
    p.port = rt::readSetting(kPortKey);
    p.ssl = rt::readBoolSetting(kSslKey);
    rt::selectStandardSection();
    return p;
}

void writeServerProfile(const QString& kind, const ServerProfile& profile)
{
    rt::selectSection(profileSection(kind));
    rt::writeSetting(kNameKey, profile.name);
    rt::writeSetting(kServerKey, profile.server);
    rt::writeSetting(kFolderKey, profile.folder);
    rt::writeSetting(kUserKey, profile.user);
    rt::writeSetting(kPasswordKey, rt::scrambleText(profile.password));
    rt::writeSetting(kPortKey, profile.port);
    rt::writeBoolSetting(kSslKey, profile.ssl);
    rt::selectStandardSection();
}

void readFtpProfile()
{
    FtpTransferSettings& s = ftpSettings();
    rt::selectSection(profileSection(QStringLiteral("FTP")));
    s.server = rt::readSetting(kServerKey);
    s.user = rt::readSetting(kUserKey);
    s.password = rt::unscrambleText(rt::readSetting(kPasswordKey));
    qint32 number = 0;
    const bool valid = rt::parseIniInteger(rt::readSetting(kPortKey), number) && number >= 1 && number <= 65535;
    s.port = valid ? std::uint16_t(number) : std::uint16_t(21);
    s.explicitTls = rt::readBoolSetting(kSslKey);
    rt::selectStandardSection();
}

void writeDefaultFtpProfile()
{
    rt::selectSection(profileSection(QStringLiteral("FTP")));
    rt::writeSetting(kNameKey, QStringLiteral("Tavlund FTP-server"));
    rt::writeSetting(kServerKey, defaultFtpServer());
    rt::writeSetting(kFolderKey, QString());
    rt::writeSetting(kUserKey, QStringLiteral("anonymous"));
    rt::writeSetting(kPasswordKey, rt::scrambleText(QStringLiteral("kvistgang")));
    rt::writeIntSetting(kPortKey, 21);
    rt::selectStandardSection();
}

} // namespace servers
