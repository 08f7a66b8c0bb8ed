#include "benchmail.h"

#include "inifile.h"
#include "passwordscramble.h"
#include "state.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QTimeZone>

#include <algorithm>
#include <cstdio>

namespace benchmail {

QByteArray benchMessage(int i)
{
    static const char* const names[] = {
        "Kari Nordmann", "=?UTF-8?Q?Bj=C3=B8rn_S=C3=A6ther?=", "\"Hansen, Per\"", "=?ISO-8859-1?Q?=C5se_Lie?=",
        "Ingrid Berg",
    };
    static const char* const subjects[] = {
        "=?UTF-8?Q?M=C3=B8tereferat?=", "Faktura", "Re: Prosjektplan for neste kvartal",
        "=?UTF-8?B?U3R5cmVtw7h0ZSBpIG1vcmdlbg==?=", "Ukesrapport",
    };
    const QByteArray n = QByteArray::number(i);
    const QDateTime when = QDateTime(QDate(2026, 12, 9), QTime(8, 0), QTimeZone(3600))
                               .addSecs(-qint64(i) * 97);
    const QByteArray date = QLocale::c().toString(when, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss +0100")).toLatin1();
    const QByteArray id = QByteArray::number(0x5f3a0000 + i, 16);

    QByteArray m;
    m += "Return-Path: <a" + n + "@eksempel.no>\r\n";
    m += "Received: from mx" + QByteArray::number(i % 7) + ".eksempel.no ([192.0.2." + QByteArray::number(i % 250 + 1)
        + "])\r\n\tby post.firma.example with ESMTP id " + id + "; " + date + "\r\n";
    m += "From: " + QByteArray(names[i % 5]) + " <a" + n + "@eksempel.no>\r\n";
    m += "To: Ola Nordmann <ola@firma.example>\r\n";
    m += "Subject: " + QByteArray(subjects[i % 5]) + " " + n + "\r\n";
    m += "Date: " + date + "\r\n";
    m += "Message-ID: <" + id + "." + n + "@eksempel.no>\r\n";
    m += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n";
    m += "\r\nHei Ola,\r\n\r\nHer er det vi snakket om i dag.\r\n\r\nHilsen\r\n" + n + "\r\n";
    return m;
}

QList<QByteArray> mailbox(int n)
{
    QList<QByteArray> out;
    out.reserve(n);
    for (int i = 1; i <= n; ++i)
        out.append(benchMessage(i));
    return out;
}

Memory readMemory(long long pid)
{
    Memory m;
    QFile status(pid > 0 ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return m;
    for (const QByteArray& line : status.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() < 2)
            continue;
        if (words.at(0) == "VmHWM:")
            m.peakKb = words.at(1).toLongLong();
        else if (words.at(0) == "VmRSS:")
            m.residentKb = words.at(1).toLongLong();
    }
    return m;
}

void printMemory(const char* label, const Memory& m)
{
    std::printf("%s: VmHWM %.1f MiB (%lld kB), VmRSS %.1f MiB (%lld kB)\n", label, double(m.peakKb) / 1024.0,
                m.peakKb, double(m.residentKb) / 1024.0, m.residentKb);
}

bool writeBenchSettings(const QString& host, std::uint16_t port, const QString& user, const QString& password)
{
    // The fake platform's log-in user is "ola": its per-user file.
    rt::IniFile ini(rt::state().etcFolder + QStringLiteral("OLA.INI"));
    ini.eraseSection(QStringLiteral("Pop3"));
    const QString section = QStringLiteral("Pop3");
    ini.writeString(section, QStringLiteral("ServerName"), QStringLiteral("%1:%2").arg(host).arg(port));
    ini.writeString(section, QStringLiteral("ServerUser"), user);
    ini.writeString(section, QStringLiteral("ServerPassword"), rt::scrambleText(password));
    ini.writeString(section, QStringLiteral("StartupCheck"), QStringLiteral("1"));
    ini.writeString(section, QStringLiteral("ShowList"), QStringLiteral("1"));
    if (!ini.updateFile()) {
        std::printf("ERROR: cannot write %s: %s\n", qPrintable(ini.fileName()), qPrintable(ini.errorString()));
        return false;
    }
    return true;
}

namespace {

QtMessageHandler defaultHandler = nullptr;

void messageFilter(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg && text == QLatin1String("This plugin does not support setting window masks"))
        return;
    defaultHandler(type, context, text);
}

} // namespace

void offscreenWithoutMaskWarnings()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(messageFilter);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace benchmail
