#include "smtpsettings.h"

#include "settingskeys.h"
#include "userfilescope.h"
#include "zt_reg.h"

namespace settings {

using namespace keys;

SmtpSettings readSmtpSettings()
{
    const UserFileScope file;
    rt::iniselect(kSmtpSection);
    SmtpSettings s;
    s.externalProgram = rt::inireadbool(kExternalProgram);
    s.mailProgram = rt::inireadstring(kMailProgram);
    s.serverName = rt::inireadstring(kServerName);
    s.user = rt::inireadstring(kServerUser);
    s.password = rt::inireadstring(kServerPassword);
    s.authenticationType = rt::inireadint(kSmtpAuthenticationType);
    s.logSmtp = rt::inireadbool(kLogSmtp);
    return s;
}

void writeSmtpSettings(const SmtpSettings& s)
{
    const UserFileScope file;
    rt::IniFileObj& ini = rt::IniFile();
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
    rt::iniselect(kSenderSection);
    SenderIdentity s;
    s.address = rt::inireadstring(kPersonalEmail);
    s.name = rt::inireadstring(kEmailName);
    return s;
}

void writeSenderIdentity(const SenderIdentity& s)
{
    const UserFileScope file;
    rt::IniFileObj& ini = rt::IniFile();
    const QString section = kSenderSection;
    ini.writeString(section, kPersonalEmail, s.address);
    ini.writeString(section, kEmailName, s.name);
}

bool clearStoredSmtpPassword(const QString& password)
{
    const UserFileScope file;
    rt::iniselect(kSmtpSection);
    const QString stored = rt::inireadstring(kServerPassword);
    if (stored.isEmpty() || stored != password)
        return false;
    rt::iniwritestring(kServerPassword, QString());
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
