#include "smtpsettings.h"

#include "settingsaccess.h"
#include "settingskeys.h"
#include "userfilescope.h"

namespace settings {

using namespace keys;

SmtpSettings readSmtpSettings()
{
    const UserFileScope file;
    rt::selectSection(kSmtpSection);
    SmtpSettings s;
    s.externalProgram = rt::readBoolSetting(kExternalProgram);
    s.mailProgram = rt::readSetting(kMailProgram);
    s.serverName = rt::readSetting(kServerName);
    s.user = rt::readSetting(kServerUser);
    s.password = rt::readSetting(kServerPassword);
    s.authenticationType = rt::readIntSetting(kSmtpAuthenticationType);
    s.logSmtp = rt::readBoolSetting(kLogSmtp);
    return s;
}

void writeSmtpSettings(const SmtpSettings& s)
{
    const UserFileScope file;
    rt::IniFile& ini = rt::settingsFile();
    const QString section = kSmtpSection;
    ini.writeBool(section, kExternalProgram, s.externalProgram);
    ini.writeString(section, kMailProgram, s.mailProgram);
    ini.writeString(section, kServerName, s.serverName);
    ini.writeString(section, kServerUser, s.user);
    ini.writeString(section, kServerPassword, s.password);
    ini.writeInteger(section, kSmtpAuthenticationType, s.authenticationType);
    ini.writeBool(section, kLogSmtp, s.logSmtp);
}

SenderIdentity readSenderIdentity()
{
    const UserFileScope file;
    rt::selectSection(kSenderSection);
    SenderIdentity s;
    s.address = rt::readSetting(kPersonalEmail);
    s.name = rt::readSetting(kEmailName);
    return s;
}

void writeSenderIdentity(const SenderIdentity& s)
{
    const UserFileScope file;
    rt::IniFile& ini = rt::settingsFile();
    const QString section = kSenderSection;
    ini.writeString(section, kPersonalEmail, s.address);
    ini.writeString(section, kEmailName, s.name);
}

bool clearStoredSmtpPassword(const QString& password)
{
    const UserFileScope file;
    rt::selectSection(kSmtpSection);
    const QString stored = rt::readSetting(kServerPassword);
    if (stored.isEmpty() || stored != password)
        return false;
    rt::writeSetting(kServerPassword, QString());
    return true;
}

QString smtpServerProposal(const QString& mailServer)
{
    const QString text = mailServer.trimmed();
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        return close < 0 ? text : text.left(close + 1);
    }
    const qsizetype colons = text.count(QLatin1Char(':'));
    if (colons == 1)
        return text.left(text.indexOf(QLatin1Char(':')));
    // More than one colon: a bare IPv6 address, which has no port.
    if (colons > 1)
        return QLatin1Char('[') + text + QLatin1Char(']');
    return text;
}

} // namespace settings
