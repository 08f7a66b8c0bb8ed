#include "mailboxsettings.h"

#include "felles.h"
#include "hostport.h"
#include "zt_reg.h"

#include <QRandomGenerator>

#include <algorithm>
#include <array>

namespace settings {

namespace {

constexpr qsizetype kCacheKeyBytes = 32;

// The user's key for the list cache, made (and written to the current
// section) when the file has none or a damaged one.
QByteArray cacheKey()
{
    const QString key = QStringLiteral("ListCacheKey");
    QByteArray bytes = QByteArray::fromHex(rt::inireadstring(key).toLatin1());
    if (bytes.size() == kCacheKeyBytes && bytes.toHex() == rt::inireadstring(key).toLatin1().toLower())
        return bytes;
    std::array<quint32, kCacheKeyBytes / sizeof(quint32)> words;
    QRandomGenerator::system()->generate(words.begin(), words.end());
    bytes = QByteArray(reinterpret_cast<const char*>(words.data()), kCacheKeyBytes);
    rt::iniwritestring(key, QString::fromLatin1(bytes.toHex()));
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

MailboxSettings readMailboxSettings()
{
    MailboxSettings s;
    rt::useuserini();
    rt::iniselect(QStringLiteral("Pop3"));
    s.protocol = protocolFromText(rt::inireadstring(QStringLiteral("Protocol")));
    const net::HostPort server =
        net::splitHostPort(rt::inireadstring(QStringLiteral("ServerName")), defaultPort(s.protocol));
    s.host = server.host;
    s.port = server.port;
    s.user = rt::inireadstring(QStringLiteral("ServerUser"));
    s.password = rt::UnscrambleText(rt::inireadstring(QStringLiteral("ServerPassword")));
    s.startupCheck = rt::inireadbool(QStringLiteral("StartupCheck"));
    s.showOnNew = rt::inireadbool(QStringLiteral("ShowOnNew"));
    s.showListOnNew = rt::inireadbool(QStringLiteral("ShowListOnNew"));
    s.beepOnMail = rt::inireadbool(QStringLiteral("BeepOnMail"));
    s.hideWhenEmpty = rt::inireadbool(QStringLiteral("HideWindow"));
    s.scheduler = rt::inireadbool(QStringLiteral("Scheduler"));
    s.scheduleMs = std::clamp(rt::inireadint(QStringLiteral("ScheduleMinutes")), 0, kMaxScheduleMinutes) * 60000;
    s.showList = rt::inireadbool(QStringLiteral("ShowList"));
    s.notifyOnNew = rt::inireadstring(QStringLiteral("NotifyOnNew")).isEmpty()
                    || rt::inireadbool(QStringLiteral("NotifyOnNew"));
    s.cacheKey = cacheKey();
    rt::inistandard();
    rt::usemainini();
    s.cacheFolder = rt::tavlundpath(QStringLiteral("tmp"));
    return s;
}

} // namespace settings
