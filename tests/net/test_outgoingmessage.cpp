// The layout of an outgoing message: its header fields in 7-bit text that
// reads back as written, folding, the body and an attachment byte for byte,
// and the addresses as they go on the wire.
#include "addresslist.h"
#include "encodedwords.h"
#include "laidoutmessage.h"
#include "neterrortext.h"
#include "outgoingmessage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

using net::Mailbox;
using net::NetError;
using net::OutgoingMail;
using testing::HasSubstr;
using testsupport::decodeQp;
using testsupport::expectWellFormedLines;
using testsupport::Parsed;
using testsupport::simpleMail;
using testsupport::split;
using testsupport::u8;

namespace {

using testsupport::netError;

TEST(LayoutMessage, PlainTextMessage)
{
    OutgoingMail m = simpleMail();
    m.bodyLines = {u8("From the first line"), u8("Hei på deg, blåbærsyltetøy!"), u8("= er likhetstegn"),
                   u8("slutt med blank "), QString(), u8(".en prikk"), u8("."), u8("From a later line")};
    const QByteArray message = net::layoutMessage(m);
    expectWellFormedLines(message);
    const Parsed p = split(message);

    EXPECT_EQ(p.value("From"), "Kari Nordmann <kari@example.no>");
    EXPECT_EQ(p.value("To"), "Ola <ola@example.no>, per@example.no");
    EXPECT_EQ(p.value("Subject"), "Hei");
    EXPECT_EQ(p.value("MIME-Version"), "1.0");
    EXPECT_EQ(p.value("Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(p.value("Content-Transfer-Encoding"), "quoted-printable");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[A-Z][a-z]{2}, \\d{1,2} [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}$"))
                    .match(QString::fromLatin1(p.value("Date")))
                    .hasMatch())
        << p.value("Date").toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^<[^<>@\\s]+@example\\.no>$"))
                    .match(QString::fromLatin1(p.value("Message-ID")))
                    .hasMatch())
        << p.value("Message-ID").toStdString();
    for (const char* once : {"Date", "Message-ID", "From", "To", "Subject", "MIME-Version", "Content-Type"})
        EXPECT_EQ(p.count(once), 1) << once;

    EXPECT_EQ(QString::fromUtf8(decodeQp(p.body)),
              u8("From the first line\r\nHei på deg, blåbærsyltetøy!\r\n= er likhetstegn\r\nslutt med blank \r\n\r\n"
                 ".en prikk\r\n.\r\nFrom a later line\r\n"));
    // No line of the body starts "From " for a mailbox file to change.
    EXPECT_FALSE(p.body.startsWith("From ") || p.body.contains("\nFrom ")) << p.body.toStdString();
}

// A line holding a line break (text pasted from elsewhere) must not put a
// bare CR or LF on the wire; an LF ends a line, a CR goes.
TEST(LayoutMessage, LineBreaksInsideABodyLine)
{
    OutgoingMail m = simpleMail();
    m.bodyLines = {u8("første\nFrom andre"), u8("tredje\r\nfjerde\rfemte"), u8("\n")};
    const QByteArray message = net::layoutMessage(m);
    expectWellFormedLines(message);
    EXPECT_EQ(QString::fromUtf8(decodeQp(split(message).body)),
              u8("første\r\nFrom andre\r\ntredje\r\nfjerdefemte\r\n\r\n\r\n"));
}

TEST(LayoutMessage, EachMessageGetsItsOwnId)
{
    const OutgoingMail m = simpleMail();
    EXPECT_NE(split(net::layoutMessage(m)).value("Message-ID"), split(net::layoutMessage(m)).value("Message-ID"));
}

TEST(LayoutMessage, SenderWithoutAddressGivesNoFromAndAnIdOfOurOwn)
{
    OutgoingMail m = simpleMail();
    m.sender = {u8("Kari"), QString()};
    const Parsed p = split(net::layoutMessage(m));
    EXPECT_EQ(p.count("From"), 0);
    EXPECT_THAT(p.value("Message-ID").toStdString(), testing::EndsWith("@brevglimt.invalid>"));
}

struct HeaderCase {
    const char* name;
    OutgoingMail mail;
    const char* header;
    QString decoded; // as the header reader of this program reads it back
    QByteArray rawContains; // empty: not checked
};

std::ostream& operator<<(std::ostream& os, const HeaderCase& c)
{
    return os << c.name;
}

class LayoutHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(LayoutHeaders, AreSevenBitAndReadBack)
{
    const HeaderCase& c = GetParam();
    const QByteArray message = net::layoutMessage(c.mail);
    expectWellFormedLines(message);
    const Parsed p = split(message);
    const QByteArray raw = p.value(c.header);
    // RFC 2047: a line holding encoded words is at most 76 characters; and
    // no line of a folded header is blanks alone (RFC 5322).
    for (const QByteArray& line : (QByteArray(c.header) + ": " + raw).split('\n')) {
        EXPECT_LE(line.trimmed().size(), 76) << raw.toStdString();
        EXPECT_FALSE(line.trimmed().isEmpty()) << raw.toStdString();
    }
    QString decoded;
    if (QByteArray(c.header) == "Subject")
        decoded = net::decodeHeaderText(raw);
    else if (QByteArray(c.header) == "To")
        decoded = net::addressListText(net::parseAddressList(net::decodeHeaderText(raw)));
    else
        decoded = net::fromDisplayText(raw);
    EXPECT_EQ(decoded, c.decoded) << raw.toStdString();
    if (!c.rawContains.isEmpty()) {
        EXPECT_THAT(raw.toStdString(), HasSubstr(c.rawContains.toStdString()));
    }
}

OutgoingMail withSubject(const QString& subject)
{
    OutgoingMail m = simpleMail();
    m.subject = subject;
    return m;
}

OutgoingMail withSender(const QString& name)
{
    OutgoingMail m = simpleMail();
    m.sender.name = name;
    return m;
}

OutgoingMail withRecipients(const QString& list)
{
    OutgoingMail m = simpleMail();
    m.recipients = net::parseAddressList(list);
    return m;
}

const QString kLongSubject = u8("Referat fra møtet om budsjettet for neste år, med alle vedleggene og kommentarene "
                                 "fra avdelingene i Bergen, Trondheim og Tromsø");
const QString kLongAscii = u8("Referat fra motet om budsjettet for neste aar, med alle vedleggene og kommentarene "
                               "fra avdelingene i Bergen,  Trondheim og Tromso");

INSTANTIATE_TEST_SUITE_P(
    Subjects, LayoutHeaders,
    ::testing::Values(
        HeaderCase{"norwegian letters", withSubject(u8("Møte på fredag: Æ Ø Å")), "Subject", u8("Møte på fredag: Æ Ø Å"),
                   "=?UTF-8?Q?"},
        HeaderCase{"text that looks like an encoded word", withSubject(u8("=?utf-8?Q?abc?=")), "Subject",
                   u8("=?utf-8?Q?abc?="), {}},
        HeaderCase{"long text is split into words", withSubject(kLongSubject), "Subject", kLongSubject, "\r\n "},
        HeaderCase{"long ascii text is folded at spaces", withSubject(kLongAscii), "Subject", kLongAscii, "\r\n "},
        HeaderCase{"emoji outside the basic plane", withSubject(u8("Kake \xF0\x9F\x8E\x82 i dag")), "Subject",
                   u8("Kake \xF0\x9F\x8E\x82 i dag"), {}},
        HeaderCase{"a line break cannot start a new header", withSubject(u8("To\r\nBcc: x@example.no")), "Subject",
                   u8("To\r\nBcc: x@example.no"), {}},
        HeaderCase{"empty subject", withSubject(QString()), "Subject", QString(), {}}));

INSTANTIATE_TEST_SUITE_P(
    Names, LayoutHeaders,
    ::testing::Values(
        HeaderCase{"plain name", withSender(u8("Kari Nordmann")), "From", u8("Kari Nordmann <kari@example.no>"),
                   "Kari Nordmann <kari@example.no>"},
        HeaderCase{"a long run of blanks in a name", withSender(u8("Kari") + QString(200, u' ') + u8("Nordmann")),
                   "From", u8("Kari Nordmann <kari@example.no>"), {}},
        HeaderCase{"norwegian name", withSender(u8("Åse Bjørnstad")), "From", u8("Åse Bjørnstad <kari@example.no>"),
                   "=?UTF-8?Q?"},
        HeaderCase{"name with comma and dot is quoted", withSender(u8("Nordmann, Kari A.")), "From",
                   u8("\"Nordmann, Kari A.\" <kari@example.no>"), "\"Nordmann, Kari A.\""},
        HeaderCase{"quotes and backslash are escaped", withSender(u8("Kari \"K\\N\" N")), "From",
                   u8("\"Kari \\\"K\\\\N\\\" N\" <kari@example.no>"), {}},
        HeaderCase{"recipients with names holding commas and letters",
                   withRecipients(u8("\"Nordmann, Ola\" <ola@example.no>, Åse Bjørnstad <ase@example.no>, "
                                     "per@example.no, Kari Jensen <kari.jensen@example.no>")),
                   "To",
                   u8("\"Nordmann, Ola\" <ola@example.no>, Åse Bjørnstad <ase@example.no>, per@example.no, "
                      "Kari Jensen <kari.jensen@example.no>"),
                   "\r\n "},
        HeaderCase{"domain beyond ASCII in its ASCII form", withRecipients(u8("Ola <ola@blåbær.no>")), "To",
                   u8("Ola <ola@xn--blbr-roah.no>"), {}}));

// The Subject line as written, its folds kept.
QByteArray rawSubject(const QByteArray& message)
{
    const qsizetype start = message.indexOf("\r\nSubject:") + 10;
    qsizetype end = start;
    while ((end = message.indexOf("\r\n", end)) >= 0 && (message[end + 2] == ' ' || message[end + 2] == '\t'))
        end += 2;
    return message.mid(start, end - start);
}

// Blanks in a subject: a fold goes only where text stands on both sides, so
// no line is blanks alone; every blank survives; a run too long for one line
// goes in encoded words.
TEST(LayoutMessage, SubjectBlanksFoldOnlyBetweenText)
{
    const QString blanks(300, u' ');
    struct Case {
        const char* what;
        QString subject;
        bool encoded;
    };
    const Case cases[] = {
        {"a run of blanks inside", u8("Ord") + blanks.left(120) + u8("ord"), false},
        {"many words each after a run of blanks", (u8("ord") + blanks.left(30)).repeated(8) + u8("slutt"), false},
        {"blanks at the end", u8("Hei") + blanks, false},
        {"blanks at the start", blanks + u8("Hei"), false},
        {"blanks only", blanks, false},
        {"a run too long for a line", u8("a") + blanks.repeated(4) + u8("b"), true},
        {"a word too long for a line", QString(1200, u'x'), true},
        {"blanks beside letters that need encoding", u8("Møte") + blanks.left(150) + u8("på fredag"), true},
    };
    for (const Case& c : cases) {
        const QByteArray message = net::layoutMessage(withSubject(c.subject));
        expectWellFormedLines(message);
        const QByteArray raw = rawSubject(message);
        const QList<QByteArray> lines = ("Subject:" + raw).split('\n');
        for (const QByteArray& line : lines)
            EXPECT_FALSE(line.trimmed().isEmpty()) << c.what << ": " << raw.toStdString();
        EXPECT_EQ(raw.contains("=?UTF-8?Q?"), c.encoded) << c.what;
        if (!c.encoded) {
            // Unfolding takes the line breaks away and gives back the text.
            QByteArray unfolded = raw;
            unfolded.replace("\r\n", "");
            EXPECT_EQ(QString::fromLatin1(unfolded.mid(1)), c.subject) << c.what;
        }
        EXPECT_EQ(net::decodeHeaderText(raw), c.subject.trimmed()) << c.what;
    }
}

// Entries without text among the recipients (the send refuses them, the
// layout must still not write a line of blanks only).
TEST(LayoutMessage, EmptyRecipientsLeaveNoLineOfBlanks)
{
    OutgoingMail m = simpleMail();
    for (int i = 0; i < 40; ++i)
        m.recipients.append(i % 8 == 0 ? Mailbox{u8("Kari Nordmann"), u8("kari@example.no")} : Mailbox{});
    const QByteArray message = net::layoutMessage(m);
    expectWellFormedLines(message);
    for (const QByteArray& line : message.left(message.indexOf("\r\n\r\n")).split('\n'))
        EXPECT_FALSE(line.trimmed().isEmpty()) << message.toStdString();
}

TEST(LayoutMessage, AttachmentKeepsEveryByte)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Every byte value, line ends of every kind, a lone dot line.
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes += char(i);
    bytes += "\r\n.\r\n\n.\r\rslutt";
    const QString path = dir.filePath(u8("årsrapport \"2024\".bin"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();

    OutgoingMail m = simpleMail();
    m.attachmentPath = path;
    const QByteArray message = net::layoutMessage(m);
    expectWellFormedLines(message);
    const Parsed p = split(message);
    EXPECT_THAT(p.value("Content-Type").toStdString(), testing::StartsWith("multipart/mixed; boundary="));
    EXPECT_THAT(message.toStdString(), HasSubstr("Content-Type: text/plain; charset=UTF-8\r\n"));
    EXPECT_THAT(message.toStdString(), HasSubstr("Content-Disposition: attachment; filename=\"=?UTF-8?Q?"));

    // The base64 part between its blank line and the closing boundary.
    const qsizetype part = message.indexOf("Content-Transfer-Encoding: base64");
    ASSERT_GE(part, 0);
    const qsizetype start = message.indexOf("\r\n\r\n", part) + 4;
    const qsizetype end = message.indexOf("\r\n--", start);
    const QByteArray decoded = QByteArray::fromBase64(message.mid(start, end - start));
    EXPECT_EQ(decoded, bytes);
    // The name reads back with its quotes and letters.
    const QByteArray filename = message.mid(message.indexOf("filename=\"", part) + 10);
    EXPECT_EQ(net::decodeHeaderText(filename.left(filename.indexOf('"'))), u8("årsrapport \"2024\".bin"));
}

TEST(LayoutMessage, AttachmentThatCannotBeRead)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        const char* what;
        QString path;
        const char* text;
    };
    const Case cases[] = {
        {"missing file", dir.filePath(QStringLiteral("borte.txt")), "Finner ikke vedlegget"},
        {"a folder", dir.path(), "er ikke en vanlig fil"},
        {"a device", QStringLiteral("/dev/zero"), "er ikke en vanlig fil"},
    };
    for (const Case& c : cases) {
        OutgoingMail m = simpleMail();
        m.attachmentPath = c.path;
        const auto error = netError([&] { net::layoutMessage(m); });
        ASSERT_TRUE(error) << c.what;
        EXPECT_THAT(error->toStdString(), HasSubstr(c.text)) << c.what;
        EXPECT_THAT(error->toStdString(), HasSubstr(c.path.toStdString())) << c.what;
    }
}

TEST(WireAddress, KeepsUsableAddressesAndRefusesBrokenOnes)
{
    EXPECT_EQ(net::wireAddress(u8("ola@example.no")), "ola@example.no");
    EXPECT_EQ(net::wireAddress(u8("\"ola nordmann\"@example.no")), "\"ola nordmann\"@example.no");
    EXPECT_EQ(net::wireAddress(u8("ola@blåbær.no")), "ola@xn--blbr-roah.no");
    EXPECT_EQ(net::wireAddress(u8("postmaster")), "postmaster");
    EXPECT_EQ(net::wireAddress(QString()), "");
    for (const char* bad : {"ola@example.no>\r\nRCPT TO:<x@example.no", "ola\n@example.no", "ola nordmann@example.no",
                            "<ola@example.no>", "\"ola@example.no", "ola,kari@example.no",
                            "\"ola\\\nRCPT TO:<x@example.no>\"@example.no", "\"ola\\\r\"@example.no"}) {
        EXPECT_TRUE(netError([&] { net::wireAddress(u8(bad)); })) << bad;
    }
}

} // namespace
