// What the message layout tests and the SMTP session tests both read a
// laid-out message with: its header fields and body, its quoted-printable
// text, and the shape of its lines.
#pragma once

#include "outgoingmessage.h"

#include <Poco/Net/QuotedPrintableDecoder.h>
#include <Poco/StreamCopier.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <ostream>
#include <sstream>
#include <string>

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

inline void PrintTo(const QByteArray& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace testsupport {

inline QString u8(const char* text)
{
    return QString::fromUtf8(text);
}

inline net::OutgoingMail simpleMail()
{
    net::OutgoingMail m;
    m.sender = {u8("Kari Nordmann"), u8("kari@example.no")};
    m.recipients = {{u8("Ola"), u8("ola@example.no")}, {QString(), u8("per@example.no")}};
    m.subject = u8("Hei");
    m.bodyLines = {u8("Linje 1"), u8("Linje 2")};
    return m;
}

struct Parsed {
    QList<QPair<QByteArray, QByteArray>> headers; // name, raw value (folds kept)
    QByteArray body;

    QByteArray value(const char* name) const
    {
        for (const auto& [n, v] : headers) {
            if (n.compare(name, Qt::CaseInsensitive) == 0)
                return v;
        }
        return {};
    }
    int count(const char* name) const
    {
        int c = 0;
        for (const auto& h : headers)
            c += h.first.compare(name, Qt::CaseInsensitive) == 0 ? 1 : 0;
        return c;
    }
};

inline Parsed split(const QByteArray& message)
{
    Parsed p;
    const qsizetype end = message.indexOf("\r\n\r\n");
    const QByteArray head = message.left(end);
    p.body = message.mid(end + 4);
    for (const QByteArray& line : head.split('\n')) {
        QByteArray l = line;
        if (l.endsWith('\r'))
            l.chop(1);
        if (l.startsWith(' ') || l.startsWith('\t')) {
            if (p.headers.isEmpty()) {
                ADD_FAILURE() << "a folded line before any header: " << l.toStdString();
                continue;
            }
            p.headers.last().second += "\r\n" + l;
            continue;
        }
        const qsizetype colon = l.indexOf(':');
        p.headers.append({l.left(colon), l.mid(colon + 1).trimmed()});
    }
    return p;
}

inline QByteArray decodeQp(const QByteArray& text)
{
    std::istringstream in(text.toStdString());
    Poco::Net::QuotedPrintableDecoder decoder(in);
    std::string out;
    Poco::StreamCopier::copyToString(decoder, out);
    return QByteArray::fromStdString(out);
}

// Every line of a message on the wire: CR LF ended, 7-bit, at most 998
// characters (RFC 5322).
inline void expectWellFormedLines(const QByteArray& message)
{
    ASSERT_TRUE(message.endsWith("\r\n"));
    const QList<QByteArray> lines = message.chopped(2).split('\n');
    for (const QByteArray& line : lines) {
        const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
        EXPECT_TRUE(line.endsWith('\r') || &line == &lines.last()) << "bare LF before: " << l.toStdString();
        EXPECT_FALSE(l.contains('\r')) << "bare CR in: " << l.toStdString();
        EXPECT_LE(l.size(), 998);
        for (const char c : l)
            ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "8-bit byte in: " << l.toStdString();
    }
}

} // namespace testsupport
