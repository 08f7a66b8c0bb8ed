// What the tests look at in a message aiosmtpd accepted, and the message
// both the sender's and the composer's tests write.
#pragma once

#include "sendfixture.h"
#include "smtpserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <gtest/gtest.h>

namespace testsupport {

inline QStringList strings(const QJsonValue& array)
{
    QStringList out;
    for (const QJsonValue& v : array.toArray())
        out.append(v.toString());
    return out;
}

inline QJsonObject part(const SinkMessage& m, int i)
{
    return m.info.value(QStringLiteral("parts")).toArray().at(i).toObject();
}

inline QString partText(const SinkMessage& m, int i)
{
    return part(m, i).value(QStringLiteral("text")).toString().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

inline QByteArray partBytes(const SinkMessage& m, int i)
{
    return QByteArray::fromBase64(part(m, i).value(QStringLiteral("payload_base64")).toString().toLatin1());
}

// What a reader expects of every message we send (from Kari Nordmann).
inline void expectSoundMessage(const SinkMessage& m)
{
    EXPECT_TRUE(m.info.value(QStringLiteral("defects")).toArray().isEmpty())
        << QJsonDocument(m.info.value(QStringLiteral("defects")).toArray()).toJson().toStdString();
    EXPECT_EQ(m.info.value(QStringLiteral("mail_from")).toString(), QStringLiteral("kari@example.no"));
    EXPECT_EQ(m.header(QStringLiteral("From")), u8("Kari Nordmann <kari@example.no>"));
    for (const char* once : {"Date", "Message-ID", "From", "To", "Subject", "MIME-Version"})
        EXPECT_EQ(m.headerCount(QLatin1String(once)), 1) << once;
    EXPECT_TRUE(m.header(QStringLiteral("Message-ID")).endsWith(QStringLiteral("@example.no>")));
    for (const char c : m.raw)
        ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "the message is not 7-bit";
}

// Dots at line starts, a line mail programs like to change, letters beyond
// ASCII in names, subject and text.
inline const QString kSubject = u8("Møte på fredag – æøå ÆØÅ");
inline const QStringList kBody = {u8("Hei Ola og Åse,"), u8("blåbærsyltetøy på fredag?"), u8("."),
                                  u8(".. to prikker"), u8("From a line that mail programs like to change"),
                                  u8("Hilsen Kari")};
inline const QString kRecipients = u8("\"Nordmann, Ola\" <ola@example.no>, Åse Bjørnstad <ase@example.no>");

// A file that has every byte value, and CR, LF and dots where a careless
// layout would take them for line ends or the end of the data.
inline QByteArray awkwardBytes()
{
    QByteArray bytes;
    for (int round = 0; round < 300; ++round) {
        for (int i = 0; i < 256; ++i)
            bytes += char((i * 7 + round) & 0xFF);
        bytes += "\r\n.\r\n.\n\r";
    }
    return bytes;
}

// The two messages of a send to kRecipients with kSubject, kBody and one
// attached file of these bytes, as the server took them in: each sound,
// each to both recipients, each with its own Message-ID.
inline void expectTwoWithAttachment(const QList<SinkMessage>& got, const QByteArray& bytes)
{
    ASSERT_EQ(got.size(), 2);
    for (const SinkMessage& m : got) {
        expectSoundMessage(m);
        EXPECT_EQ(strings(m.info.value(QStringLiteral("rcpt_tos"))),
                  (QStringList{u8("ola@example.no"), u8("ase@example.no")}));
        EXPECT_EQ(m.header(QStringLiteral("Subject")), kSubject);
        EXPECT_EQ(m.info.value(QStringLiteral("content_type")).toString(), QStringLiteral("multipart/mixed"));
        ASSERT_EQ(m.info.value(QStringLiteral("parts")).toArray().size(), 2);
        EXPECT_EQ(part(m, 0).value(QStringLiteral("content_type")).toString(), QStringLiteral("text/plain"));
        EXPECT_EQ(partText(m, 0), kBody.join(u'\n') + u'\n');
        EXPECT_EQ(part(m, 1).value(QStringLiteral("disposition")).toString(), QStringLiteral("attachment"));
        EXPECT_EQ(part(m, 1).value(QStringLiteral("filename")).toString(), u8("Årsrapport 2024.pdf"));
        EXPECT_EQ(partBytes(m, 1), bytes);
    }
    EXPECT_NE(got[0].header(QStringLiteral("Message-ID")), got[1].header(QStringLiteral("Message-ID")));
}

} // namespace testsupport
