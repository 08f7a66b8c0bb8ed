#include "smtpsettings.h"

#include "inifile.h"
#include "settingsaccess.h"
#include "settingskeys.h"
#include "userfilescope.h"

namespace settings {

using namespace keys;

SmtpSettings readSmtpSettings()
{
    const UserFileScope file;
    const rt::IniFile& ini = rt::settingsFile();
    const QString section = kSmtpSection;
    SmtpSettings s;
    s.externalProgram = ini.readBool(section, kExternalProgram);
    s.mailProgram = ini.readString(section, kMailProgram);
    s.serverName = ini.readString(section, kServerName);
    s.user = ini.readString(section, kServerUser);
    s.password = ini.readString(section, kServerPassword);
    s.authenticationType = ini.readInteger(section, kSmtpAuthenticationType);
    s.logSmtp = ini.readBool(section, kLogSmtp);
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
    const rt::IniFile& ini = rt::settingsFile();
    const QString section = kSenderSection;
    SenderIdentity s;
    s.address = ini.readString(section, kPersonalEmail);
    s.name = ini.readString(section, kEmailName);
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
    rt::IniFile& ini = rt::settingsFile();
    const QString stored = ini.readString(kSmtpSection, kServerPassword);
    if (stored.isEmpty() || stored != password)
        return false;
    ini.writeString(kSmtpSection, kServerPassword, QString());
    return true;
}

QString readLastRecipients()
{
    const UserFileScope file;
    return rt::settingsFile().readString(kStandardSection, kLastEmailAddress);
}

void writeLastRecipients(const QString& recipients)
{
    const UserFileScope file;
    rt::settingsFile().writeString(kStandardSection, kLastEmailAddress, recipients);
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
