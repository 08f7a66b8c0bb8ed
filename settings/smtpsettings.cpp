#include "smtpsettings.h"

#include "zt_reg.h"

namespace settings {

SmtpSettings readSmtpSettings()
{
    SmtpSettings s;
    rt::useuserini();
    rt::iniselect(QStringLiteral("Smtp"));
    s.externalProgram = rt::inireadbool(QStringLiteral("ExternalProgram"));
    s.mailProgram = rt::inireadstring(QStringLiteral("MailProgram"));
    s.serverName = rt::inireadstring(QStringLiteral("ServerName"));
    s.user = rt::inireadstring(QStringLiteral("ServerUser"));
    s.password = rt::inireadstring(QStringLiteral("ServerPassword"));
    s.authenticationType = rt::inireadint(QStringLiteral("SMTPAuthenticationType"));
    s.logSmtp = rt::inireadbool(QStringLiteral("LogSMTP"));
    rt::inistandard();
    rt::usemainini();
    return s;
}

SenderIdentity readSenderIdentity()
{
    SenderIdentity s;
    rt::useuserini();
    rt::iniselect(QStringLiteral("Email"));
    s.address = rt::inireadstring(QStringLiteral("PersonalEmail"));
    s.name = rt::inireadstring(QStringLiteral("EmailName"));
    rt::inistandard();
    rt::usemainini();
    return s;
}

} // namespace settings
