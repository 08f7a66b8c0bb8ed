#include "mailboxsettings.h"

#include "felles.h"
#include "hostport.h"
#include "settingskeys.h"
#include "userfilescope.h"
#include "zt_reg.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace settings {

using namespace keys;

namespace {

constexpr qsizetype kCacheKeyBytes = 32;

// The user's key for the list cache, made (and written to the current
// section) when the file has none or a damaged one.
QByteArray cacheKey()
{
    QByteArray bytes = QByteArray::fromHex(rt::inireadstring(kListCacheKey).toLatin1());
    if (bytes.size() == kCacheKeyBytes && bytes.toHex() == rt::inireadstring(kListCacheKey).toLatin1().toLower())
        return bytes;
    std::array<quint32, kCacheKeyBytes / sizeof(quint32)> words;
    QRandomGenerator::system()->generate(words.begin(), words.end());
    bytes = QByteArray(reinterpret_cast<const char*>(words.data()), kCacheKeyBytes);
    rt::iniwritestring(kListCacheKey, QString::fromLatin1(bytes.toHex()));
    return bytes;
}

} // namespace

MailProtocol protocolFromText(const QString& text)
{
    return text.trimmed().compare(QLatin1String("IMAP"), Qt::CaseInsensitive) == 0 ? MailProtocol::Imap
                                                                                   : MailProtocol::Pop3;
}

QString protocolText(MailProtocol protocol)
{
    return protocol == MailProtocol::Imap ? QStringLiteral("IMAP") : QStringLiteral("POP3");
}

std::uint16_t defaultPort(MailProtocol protocol)
{
    return protocol == MailProtocol::Imap ? 143 : 110;
}

StoredMailboxSettings readStoredMailboxSettings()
{
    const UserFileScope file;
    rt::iniselect(kMailboxSection);
    StoredMailboxSettings s;
    s.protocol = protocolFromText(rt::inireadstring(kProtocol));
    s.serverName = rt::inireadstring(kServerName);
    s.user = rt::inireadstring(kServerUser);
    const QString password = rt::inireadstring(kServerPassword);
    if (!password.isEmpty())
        s.password = rt::UnscrambleText(password);
    s.startupCheck = rt::inireadbool(kStartupCheck);
    s.scheduler = rt::inireadbool(kScheduler);
    s.scheduleMinutes = rt::inireadstring(kScheduleMinutes);
    s.showList = rt::inireadbool(kShowList);
    s.hideWhenEmpty = rt::inireadbool(kHideWindow);
    s.beepOnMail = rt::inireadbool(kBeepOnMail);
    s.showOnNew = rt::inireadbool(kShowOnNew);
    s.showListOnNew = rt::inireadbool(kShowListOnNew);
    return s;
}

void writeMailboxSettings(const StoredMailboxSettings& s)
{
    const UserFileScope file;
    rt::IniFileObj& ini = rt::IniFile();
    const QString section = kMailboxSection;
    if (s.protocol == MailProtocol::Imap || ini.valueExists(section, kProtocol))
        ini.writeString(section, kProtocol, protocolText(s.protocol));
    ini.writeString(section, kServerName, s.serverName);
    ini.writeString(section, kServerUser, s.user);
    ini.writeString(section, kServerPassword, s.password ? rt::ScrambleText(*s.password) : QString());
    ini.writeBool(section, kStartupCheck, s.startupCheck);
    ini.writeBool(section, kScheduler, s.scheduler);
    ini.writeString(section, kScheduleMinutes, s.scheduleMinutes);
    ini.writeBool(section, kShowList, s.showList);
    ini.writeBool(section, kHideWindow, s.hideWhenEmpty);
    ini.writeBool(section, kBeepOnMail, s.beepOnMail);
    ini.writeBool(section, kShowOnNew, s.showOnNew);
    ini.writeBool(section, kShowListOnNew, s.showListOnNew);
}

MailboxSettings mailboxSettingsFrom(const StoredMailboxSettings& stored)
{
    MailboxSettings s;
    s.protocol = stored.protocol;
    const net::HostPort server = net::splitHostPort(stored.serverName, defaultPort(stored.protocol));
    s.host = server.host;
    s.port = server.port;
    s.user = stored.user;
    s.password = stored.password.value_or(QString());
    s.startupCheck = stored.startupCheck;
    s.showOnNew = stored.showOnNew;
    s.showListOnNew = stored.showListOnNew;
    s.beepOnMail = stored.beepOnMail;
    s.hideWhenEmpty = stored.hideWhenEmpty;
    s.showList = stored.showList;
    s.scheduler = stored.scheduler;
    // Read as the settings file reads a whole number.
    qint32 minutes = 0;
    if (!rt::parseIniInteger(stored.scheduleMinutes, minutes))
        minutes = 0;
    s.scheduleMs = std::clamp(minutes, 0, kMaxScheduleMinutes) * 60000;
    return s;
}

MailboxSettings readMailboxSettings()
{
    MailboxSettings s;
    {
        const UserFileScope file;
        s = mailboxSettingsFrom(readStoredMailboxSettings());
        rt::iniselect(kMailboxSection);
        s.notifyOnNew = rt::inireadstring(kNotifyOnNew).isEmpty() || rt::inireadbool(kNotifyOnNew);
        s.cacheKey = cacheKey();
    }
    s.cacheFolder = rt::tavlundpath(QStringLiteral("tmp"));
    return s;
}

bool sameAccount(const MailboxSettings& a, const MailboxSettings& b)
{
    return a.host == b.host && a.port == b.port && a.user == b.user && a.password == b.password;
}

bool clearStoredMailboxPassword(const QString& password)
{
    const UserFileScope file;
    rt::iniselect(kMailboxSection);
    const QString stored = rt::inireadstring(kServerPassword);
    if (stored.isEmpty() || rt::UnscrambleText(stored) != password)
        return false;
    rt::iniwritestring(kServerPassword, QString());
    return true;
}

} // namespace settings
