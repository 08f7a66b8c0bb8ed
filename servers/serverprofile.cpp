#include "serverprofile.h"

#include "felles.h"
#include "ftpsettings.h"
#include "inifile.h"
#include "zt_reg.h"

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
    rt::iniselect(profileSection(kind));
    p.name = rt::inireadstring(kNameKey);
    p.server = rt::inireadstring(kServerKey);
    p.folder = rt::inireadstring(kFolderKey);
    p.user = rt::inireadstring(kUserKey);
    p.password = rt::UnscrambleText(rt::inireadstring(kPasswordKey));
    p.port = rt::inireadstring(kPortKey);
    p.ssl = rt::inireadbool(kSslKey);
    rt::inistandard();
    return p;
}

void writeServerProfile(const QString& kind, const ServerProfile& profile)
{
    rt::iniselect(profileSection(kind));
    rt::iniwritestring(kNameKey, profile.name);
    rt::iniwritestring(kServerKey, profile.server);
    rt::iniwritestring(kFolderKey, profile.folder);
    rt::iniwritestring(kUserKey, profile.user);
    rt::iniwritestring(kPasswordKey, rt::ScrambleText(profile.password));
    rt::iniwritestring(kPortKey, profile.port);
    rt::iniwritebool(kSslKey, profile.ssl);
    rt::inistandard();
}

void readFtpProfile()
{
    FtpTransferSettings& s = ftpSettings();
    rt::iniselect(profileSection(QStringLiteral("FTP")));
    s.server = rt::inireadstring(kServerKey);
    s.user = rt::inireadstring(kUserKey);
    s.password = rt::UnscrambleText(rt::inireadstring(kPasswordKey));
    qint32 number = 0;
    const bool valid = rt::parseIniInteger(rt::inireadstring(kPortKey), number) && number >= 1 && number <= 65535;
    s.port = valid ? std::uint16_t(number) : std::uint16_t(21);
    s.explicitTls = rt::inireadbool(kSslKey);
    rt::inistandard();
}

void writeDefaultFtpProfile()
{
    rt::iniselect(profileSection(QStringLiteral("FTP")));
    rt::iniwritestring(kNameKey, QStringLiteral("Tavlund FTP-server"));
    rt::iniwritestring(kServerKey, defaultFtpServer());
    rt::iniwritestring(kFolderKey, QString());
    rt::iniwritestring(kUserKey, QStringLiteral("anonymous"));
    rt::iniwritestring(kPasswordKey, rt::ScrambleText(QStringLiteral("kvistgang")));
    rt::iniwriteint(kPortKey, 21);
    rt::inistandard();
}

} // namespace servers
