#include "mailboxsettings.h"

#include "folders.h"
#include "hostport.h"
#include "inifile.h"
#include "passwordscramble.h"
#include "settingsaccess.h"
#include "settingskeys.h"
#include "userfilescope.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace settings {

using namespace keys;

namespace {

constexpr qsizetype kCacheKeyBytes = 32;

// The user's key for the list cache, made (and written) when the file has
// none or a damaged one.
QByteArray cacheKey(rt::IniFile& ini)
{
    const QByteArray stored = ini.readString(kMailboxSection, kListCacheKey).toLatin1();
    QByteArray bytes = QByteArray::fromHex(stored);
    if (bytes.size() == kCacheKeyBytes && bytes.toHex() == stored.toLower())
        return bytes;
    std::array<quint32, kCacheKeyBytes / sizeof(quint32)> words;
    QRandomGenerator::system()->generate(words.begin(), words.end());
    bytes = QByteArray(reinterpret_cast<const char*>(words.data()), kCacheKeyBytes);
    ini.writeString(kMailboxSection, kListCacheKey, QString::fromLatin1(bytes.toHex()));
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
    const rt::IniFile& ini = rt::settingsFile();
    const QString section = kMailboxSection;
    StoredMailboxSettings s;
    s.protocol = protocolFromText(ini.readString(section, kProtocol));
    s.serverName = ini.readString(section, kServerName);
    s.user = ini.readString(section, kServerUser);
    const QString password = ini.readString(section, kServerPassword);
    if (!password.isEmpty())
        s.password = rt::unscrambleText(password);
    s.startupCheck = ini.readBool(section, kStartupCheck);
    s.scheduler = ini.readBool(section, kScheduler);
    s.scheduleMinutes = ini.readString(section, kScheduleMinutes);
    s.showList = ini.readBool(section, kShowList);
    s.hideWhenEmpty = ini.readBool(section, kHideWindow);
    s.beepOnMail = ini.readBool(section, kBeepOnMail);
    s.showOnNew = ini.readBool(section, kShowOnNew);
    s.showListOnNew = ini.readBool(section, kShowListOnNew);
    return s;
}

void writeMailboxSettings(const StoredMailboxSettings& s)
{
    const UserFileScope file;
    rt::IniFile& ini = rt::settingsFile();
    const QString section = kMailboxSection;
    if (s.protocol == MailProtocol::Imap || ini.valueExists(section, kProtocol))
        ini.writeString(section, kProtocol, protocolText(s.protocol));
    ini.writeString(section, kServerName, s.serverName);
    ini.writeString(section, kServerUser, s.user);
    ini.writeString(section, kServerPassword, s.password ? rt::scrambleText(*s.password) : QString());
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
        rt::IniFile& ini = rt::settingsFile();
        s.notifyOnNew = ini.readString(kMailboxSection, kNotifyOnNew).isEmpty()
                        || ini.readBool(kMailboxSection, kNotifyOnNew);
        s.cacheKey = cacheKey(ini);
    }
    s.cacheFolder = rt::namedFolder(QStringLiteral("tmp"));
    return s;
}

bool sameAccount(const MailboxSettings& a, const MailboxSettings& b)
{
    return a.host == b.host && a.port == b.port && a.user == b.user && a.password == b.password;
}

bool clearStoredMailboxPassword(const QString& password)
{
    const UserFileScope file;
    rt::IniFile& ini = rt::settingsFile();
    const QString stored = ini.readString(kMailboxSection, kServerPassword);
    if (stored.isEmpty() || rt::unscrambleText(stored) != password)
        return false;
    ini.writeString(kMailboxSection, kServerPassword, QString());
    return true;
}

} // namespace settings
