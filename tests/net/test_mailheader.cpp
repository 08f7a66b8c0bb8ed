#include "addresslist.h"
#include "encodedwords.h"
#include "mailheader.h"

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include <ostream>

namespace {

struct TextCase {
    const char* what;
    QByteArray raw;
    QString expected;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.what; }

QString u8(const char* text) { return QString::fromUtf8(text); }

// ---------------------------------------------------------------------------
// decodeHeaderText

class DecodeHeaderText : public ::testing::TestWithParam<TextCase> {};

TEST_P(DecodeHeaderText, Decodes)
{
    const TextCase& c = GetParam();
    EXPECT_EQ(net::decodeHeaderText(c.raw), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeHeaderText,
    ::testing::Values(
        TextCase{"plain ascii", "Hei der", u8("Hei der")},
        TextCase{"fold keeps the white space", "Et langt\r\n emne", u8("Et langt emne")},
        TextCase{"fold with LF only and a tab", "Et langt\n\temne", u8("Et langt\temne")},
        TextCase{"latin-1 Q, underscore is space", "=?ISO-8859-1?Q?M=F8te_p=E5_fredag?=", u8("Møte på fredag")},
        TextCase{"latin-1 B, lower-case charset and encoding", "=?iso-8859-1?b?Tfh0ZSBw5SBmcmVkYWc=?=",
                 u8("Møte på fredag")},
        TextCase{"utf-8 B", "=?UTF-8?B?TcO4dGUgcMOlIGZyZWRhZw==?=", u8("Møte på fredag")},
        TextCase{"lower-case hex in Q", "=?utf-8?q?M=c3=b8te?=", u8("Møte")},
        TextCase{"plain text around an encoded word keeps its spaces", "Re: =?utf-8?Q?M=C3=B8te?= i morgen",
                 u8("Re: Møte i morgen")},
        TextCase{"adjacent words across a fold lose the white space between them",
                 "=?utf-8?Q?M=C3=B8te_?=\r\n =?utf-8?Q?p=C3=A5_fredag?=", u8("Møte på fredag")},
        TextCase{"adjacent words in different charsets", "=?iso-8859-1?Q?=C6rlig?=  =?utf-8?Q?_=C3=98yvind?=",
                 u8("Ærlig Øyvind")},
        TextCase{"a character split over two words", "=?utf-8?Q?=C3?= =?UTF-8?Q?=98yvind?=", u8("Øyvind")},
        TextCase{"language suffix on the charset", "=?ISO-8859-1*no?Q?=C6rlig?=", u8("Ærlig")},
        TextCase{"iso-8859-15 has the euro where latin-1 has the currency sign",
                 "=?ISO-8859-15?Q?Pris_=A4?= =?ISO-8859-1?Q?_=A4?=", u8("Pris € ¤")},
        TextCase{"windows-1252 quotes", "=?windows-1252?Q?=93Hei=94?=", u8("“Hei”")},
        TextCase{"koi8-r", "=?KOI8-R?B?8NLJ18XU?=", u8("Привет")},
        TextCase{"shift_jis", "=?Shift_JIS?B?grGC8YLJgr+CzQ==?=", u8("こんにちは")},
        TextCase{"unknown charset is kept literally", "=?x-ukjent?Q?abc?= tekst", u8("=?x-ukjent?Q?abc?= tekst")},
        TextCase{"unknown encoding letter is kept literally", "=?utf-8?X?abc?=", u8("=?utf-8?X?abc?=")},
        TextCase{"broken Q escape is kept literally", "=?utf-8?Q?M=G8te?= ok", u8("=?utf-8?Q?M=G8te?= ok")},
        TextCase{"Q escape cut at the end is kept literally", "=?utf-8?Q?abc=C?=", u8("=?utf-8?Q?abc=C?=")},
        TextCase{"broken base64 is kept literally", "=?utf-8?B?w5h*?=", u8("=?utf-8?B?w5h*?=")},
        TextCase{"a broken word next to a good one keeps the space", "=?utf-8?B?w5h*?= =?utf-8?Q?ok?=",
                 u8("=?utf-8?B?w5h*?= ok")},
        TextCase{"text that only looks like the start of a word", "Hvem =? hva", u8("Hvem =? hva")},
        TextCase{"raw windows-1252 bytes", "M\xF8te \x80 5 p\xE5 fredag", u8("Møte € 5 på fredag")},
        TextCase{"raw utf-8 bytes", "M\xC3\xB8te p\xC3\xA5 fredag", u8("Møte på fredag")},
        TextCase{"utf-8 word holding latin-1 bytes reads them as windows-1252", "=?utf-8?Q?M=F8te_=80?=",
                 u8("Møte €")},
        TextCase{"us-ascii word holding 8-bit bytes", "=?us-ascii?Q?M=F8te?=", u8("Møte")},
        TextCase{"empty", "", QString()}));

// ---------------------------------------------------------------------------
// fromDisplayText

class FromDisplayText : public ::testing::TestWithParam<TextCase> {};

TEST_P(FromDisplayText, Shows)
{
    const TextCase& c = GetParam();
    EXPECT_EQ(net::fromDisplayText(c.raw), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, FromDisplayText,
    ::testing::Values(
        TextCase{"name and address", "Ola Nordmann <ola@example.no>", u8("Ola Nordmann <ola@example.no>")},
        TextCase{"bare address", "ola@example.no", u8("ola@example.no")},
        TextCase{"address in angle brackets", " <ola@example.no> ", u8("ola@example.no")},
        TextCase{"comment as the name", "ola@example.no (Ola Nordmann)", u8("Ola Nordmann <ola@example.no>")},
        TextCase{"comment beside a name is not the name", "Ola <ola@example.no> (jobb)", u8("Ola <ola@example.no>")},
        TextCase{"comment inside the brackets", "Ola <ola@example.no (jobb)>", u8("Ola <ola@example.no>")},
        TextCase{"first mailbox of a list", "Ola <ola@example.no>, Kari <kari@example.no>",
                 u8("Ola <ola@example.no>")},
        TextCase{"first mailbox of a list of bare addresses", "ola@example.no, kari@example.no",
                 u8("ola@example.no")},
        TextCase{"names without address stay with the first address", "Nordmann, Ola, jr <ola@example.no>, k@example.no",
                 u8("\"Nordmann, Ola, jr\" <ola@example.no>")},
        TextCase{"commas in front of the only address", ",,, , <ola@example.no>", u8("\",,, ,\" <ola@example.no>")},
        TextCase{"group takes its first mailbox", "Team: ola@example.no, kari@example.no;", u8("ola@example.no")},
        TextCase{"group with names", "Team: Kari <kari@example.no>, Ola <ola@example.no>;",
                 u8("Kari <kari@example.no>")},
        TextCase{"folded value", "Ola\r\n Nordmann\r\n <ola@example.no>", u8("Ola Nordmann <ola@example.no>")},
        TextCase{"missing closing bracket", "Ola <ola@example.no", u8("Ola <ola@example.no>")},
        TextCase{"source route is dropped", "Ola <@relay.example.no,@b.example.no:ola@example.no>",
                 u8("Ola <ola@example.no>")},
        TextCase{"quoted local part stays quoted", "\"ola nordmann\"@example.no",
                 u8("\"ola nordmann\"@example.no")}));

INSTANTIATE_TEST_SUITE_P(
    Names, FromDisplayText,
    ::testing::Values(
        TextCase{"encoded name", "=?ISO-8859-1?Q?=C6rlig_=D8yvind?= <oyvind@example.no>",
                 u8("Ærlig Øyvind <oyvind@example.no>")},
        TextCase{"quoted encoded name", "\"=?UTF-8?B?w4ZybGlnIMOYeXZpbmQ=?=\" <oyvind@example.no>",
                 u8("Ærlig Øyvind <oyvind@example.no>")},
        TextCase{"encoded name in two words", "=?utf-8?Q?=C3=86rlig?= =?utf-8?Q?_=C3=98yvind?= <o@example.no>",
                 u8("Ærlig Øyvind <o@example.no>")},
        TextCase{"encoded comment as the name", "oyvind@example.no (=?utf-8?Q?=C3=98yvind?=)",
                 u8("Øyvind <oyvind@example.no>")},
        TextCase{"raw windows-1252 name", "\xC6rlig \xD8yvind <oyvind@example.no>",
                 u8("Ærlig Øyvind <oyvind@example.no>")},
        TextCase{"raw utf-8 name", "\xC3\x86rlig \xC3\x98yvind <oyvind@example.no>",
                 u8("Ærlig Øyvind <oyvind@example.no>")},
        TextCase{"letters of other scripts need no quotes", "=?UTF-8?B?0JjQstCw0L0g0J/QtdGC0YDQvtCy?= <i@example.ru>",
                 u8("Иван Петров <i@example.ru>")},
        TextCase{"a letter outside the basic plane needs no quotes", "\xF0\xA0\x80\x80 Li <li@example.cn>",
                 u8("\xF0\xA0\x80\x80 Li <li@example.cn>")},
        TextCase{"an emoji is not a letter", "Ola \xF0\x9F\x99\x82 <ola@example.no>",
                 u8("\"Ola \xF0\x9F\x99\x82\" <ola@example.no>")},
        TextCase{"comma is quoted", "\"Nordmann, Ola\" <ola@example.no>", u8("\"Nordmann, Ola\" <ola@example.no>")},
        TextCase{"unquoted comma in a name is kept with the name", "Nordmann, Ola <ola@example.no>",
                 u8("\"Nordmann, Ola\" <ola@example.no>")},
        TextCase{"dot is quoted", "Ola N. Nordmann <ola@example.no>", u8("\"Ola N. Nordmann\" <ola@example.no>")},
        TextCase{"only allowed specials stay unquoted", "\"O'Neil #1 & {co} +/=?_`|~!$%*-\" <o@example.no>",
                 u8("O'Neil #1 & {co} +/=?_`|~!$%*- <o@example.no>")},
        TextCase{"escaped quotes inside a quoted name", "\"Ola \\\"Knotten\\\" Nordmann\" <ola@example.no>",
                 u8("\"Ola \\\"Knotten\\\" Nordmann\" <ola@example.no>")},
        TextCase{"backslash is escaped", "\"C:\\\\Temp\" <t@example.no>", u8("\"C:\\\\Temp\" <t@example.no>")},
        TextCase{"name equal to the address", "ola@example.no <ola@example.no>", u8("ola@example.no")},
        TextCase{"quoted name equal to the address in other case", "\"OLA@Example.no\" <ola@example.no>",
                 u8("ola@example.no")},
        TextCase{"empty quoted name", "\"\" <ola@example.no>", u8("ola@example.no")}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, FromDisplayText,
    ::testing::Values(
        TextCase{"empty", "", QString()},
        TextCase{"name without address", "Ola Nordmann", u8("Ola Nordmann")},
        TextCase{"encoded name without address", "=?utf-8?Q?=C3=98yvind?=", u8("Øyvind")},
        TextCase{"unclosed quote", "\"Ola <ola@example.no>", u8("\"Ola <ola@example.no>")},
        TextCase{"empty group", "Team:;", u8("Team:;")},
        TextCase{"empty brackets", "Ola <>", u8("Ola <>")}));

// Input that fits no rule must still give text and never crash (the suite
// runs under the address and undefined-behaviour sanitizers).
TEST(FromDisplayText, OddInputGivesText)
{
    const QByteArray odd[] = {
        "<", ">", "\"", "(", ")", "\\", "((ola", "ola@", "@", ":", ";", ",", "<<<>>>", "a\\", "\"a\\",
        "=?", "=?utf-8?", "=?utf-8?Q?", "=?utf-8?Q?=", "[1.2.3", "x@[1.2.3.4]", "Team: ;", "\r\n", "\x80\xFF",
    };
    for (const QByteArray& raw : odd) {
        const QString text = net::fromDisplayText(raw);
        if (!raw.trimmed().isEmpty()) {
            EXPECT_FALSE(text.isEmpty()) << raw.constData();
        }
    }
}

// ---------------------------------------------------------------------------
// parseAddressList and addressListText

struct ListCase {
    const char* what;
    QString text;
    QList<net::Mailbox> expected;
    QString rendered; // addressListText of the parsed list
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.what; }

net::Mailbox box(const char* name, const char* address) { return {u8(name), u8(address)}; }

class AddressList : public ::testing::TestWithParam<ListCase> {};

TEST_P(AddressList, ParsesAndRenders)
{
    const ListCase& c = GetParam();
    const QList<net::Mailbox> list = net::parseAddressList(c.text);
    ASSERT_EQ(list.size(), c.expected.size()) << c.what << ": " << net::addressListText(list).toStdString();
    for (qsizetype i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].name, c.expected[i].name) << c.what << " #" << i;
        EXPECT_EQ(list[i].address, c.expected[i].address) << c.what << " #" << i;
    }
    EXPECT_EQ(net::addressListText(list), c.rendered) << c.what;
    // What the log shows reads back as the same addresses.
    auto addresses = [](const QList<net::Mailbox>& l) {
        QStringList out;
        for (const net::Mailbox& m : l)
            out.append(m.address);
        return out;
    };
    if (!addresses(list).contains(QString())) {
        EXPECT_EQ(addresses(net::parseAddressList(net::addressListText(list))), addresses(list)) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, AddressList,
    ::testing::Values(
        ListCase{"one bare address", u8("ola@example.no"), {box("", "ola@example.no")}, u8("ola@example.no")},
        ListCase{"names and bare addresses", u8("Ola Nordmann <ola@example.no>,kari@example.no ,  <per@example.no>"),
                 {box("Ola Nordmann", "ola@example.no"), box("", "kari@example.no"), box("", "per@example.no")},
                 u8("Ola Nordmann <ola@example.no>, kari@example.no, per@example.no")},
        ListCase{"quoted name holding a comma", u8("\"Nordmann, Ola\" <ola@example.no>, kari@example.no"),
                 {box("Nordmann, Ola", "ola@example.no"), box("", "kari@example.no")},
                 u8("\"Nordmann, Ola\" <ola@example.no>, kari@example.no")},
        ListCase{"unquoted name holding a comma before < >", u8("kari@example.no, Nordmann, Ola <ola@example.no>"),
                 {box("", "kari@example.no"), box("Nordmann, Ola", "ola@example.no")},
                 u8("kari@example.no, \"Nordmann, Ola\" <ola@example.no>")},
        ListCase{"a run of unquoted names joins the entry with < > after it",
                 u8("kari@example.no, Nordmann, Ola, jr <ola@example.no>, per@example.no"),
                 {box("", "kari@example.no"), box("Nordmann, Ola, jr", "ola@example.no"), box("", "per@example.no")},
                 u8("kari@example.no, \"Nordmann, Ola, jr\" <ola@example.no>, per@example.no")},
        ListCase{"names followed by a bare address stay apart", u8("Ola N, Kari H, kari@example.no"),
                 {box("Ola N", ""), box("Kari H", ""), box("", "kari@example.no")}, u8("Ola N, Kari H, kari@example.no")},
        ListCase{"an entry of comments only is dropped between joined names",
                 u8("Nordmann, (merknad), Ola <ola@example.no>"), {box("Nordmann, Ola", "ola@example.no")},
                 u8("\"Nordmann, Ola\" <ola@example.no>")},
        ListCase{"a local address before a name in < > keeps its own entry",
                 u8("postmaster; abuse; Kari <kari@example.no>, drift; per@example.no"),
                 {box("", "postmaster"), box("", "abuse"), box("Kari", "kari@example.no"), box("", "drift"),
                  box("", "per@example.no")},
                 u8("<postmaster>, <abuse>, Kari <kari@example.no>, drift, per@example.no")},
        ListCase{"semicolons separate too", u8("ola@example.no; kari@example.no;"),
                 {box("", "ola@example.no"), box("", "kari@example.no")}, u8("ola@example.no, kari@example.no")},
        ListCase{"a group gives its members", u8("Team: ola@example.no, Kari <kari@example.no>;, per@example.no"),
                 {box("", "ola@example.no"), box("Kari", "kari@example.no"), box("", "per@example.no")},
                 u8("ola@example.no, Kari <kari@example.no>, per@example.no")},
        ListCase{"empty entries are skipped", u8(" , ola@example.no,,  ,"), {box("", "ola@example.no")},
                 u8("ola@example.no")},
        ListCase{"comma inside a source route", u8("<@a.example,@b.example:ola@example.no>, kari@example.no"),
                 {box("", "ola@example.no"), box("", "kari@example.no")}, u8("ola@example.no, kari@example.no")},
        ListCase{"comment as the name", u8("ola@example.no (Ola), kari@example.no (Kari N.)"),
                 {box("Ola", "ola@example.no"), box("Kari N.", "kari@example.no")},
                 u8("Ola <ola@example.no>, \"Kari N.\" <kari@example.no>")},
        ListCase{"a single word is a local address", u8("drift.vakt (Vakta), postmaster"),
                 {box("Vakta", "drift.vakt"), box("", "postmaster")}, u8("Vakta <drift.vakt>, postmaster")},
        ListCase{"quoted local part", u8("\"ola nordmann\"@example.no"), {box("", "\"ola nordmann\"@example.no")},
                 u8("\"ola nordmann\"@example.no")},
        ListCase{"nothing", QString(), {}, QString()}));

INSTANTIATE_TEST_SUITE_P(
    Names, AddressList,
    ::testing::Values(
        ListCase{"Norwegian letters as typed", u8("Ærlig Øyvind <oyvind@example.no>, Åse <ase@example.no>"),
                 {box("Ærlig Øyvind", "oyvind@example.no"), box("Åse", "ase@example.no")},
                 u8("Ærlig Øyvind <oyvind@example.no>, Åse <ase@example.no>")},
        ListCase{"encoded name", u8("=?ISO-8859-1?Q?=C6rlig_=D8yvind?= <oyvind@example.no>"),
                 {box("Ærlig Øyvind", "oyvind@example.no")}, u8("Ærlig Øyvind <oyvind@example.no>")},
        ListCase{"escaped quote in a name", u8("\"Ola \\\"Knotten\\\"\" <ola@example.no>"),
                 {box("Ola \"Knotten\"", "ola@example.no")}, u8("\"Ola \\\"Knotten\\\"\" <ola@example.no>")},
        ListCase{"name equal to the address is shown once", u8("ola@example.no <ola@example.no>"),
                 {box("ola@example.no", "ola@example.no")}, u8("ola@example.no")}));

INSTANTIATE_TEST_SUITE_P(
    Malformed, AddressList,
    ::testing::Values(
        ListCase{"a name without address", u8("Ola Nordmann, kari@example.no"),
                 {box("Ola Nordmann", ""), box("", "kari@example.no")}, u8("Ola Nordmann, kari@example.no")},
        ListCase{"empty brackets", u8("Ola <>"), {box("Ola", "")}, u8("Ola")},
        ListCase{"unclosed bracket", u8("Ola <ola@example.no"), {box("Ola", "ola@example.no")},
                 u8("Ola <ola@example.no>")},
        ListCase{"unclosed quote swallows the rest", u8("\"Ola, <ola@example.no>"), {box("Ola, <ola@example.no>", "")},
                 u8("Ola, <ola@example.no>")}));

// Input that fits no rule must give a list without crashing.
TEST(AddressList, OddInputDoesNotCrash)
{
    const char* odd[] = {"<", ">", "<>", ",", ";", ":", "<<,>>", "\"", "\"\"", "(", "a,(b", "=?utf-8?Q?", "@", "a@",
                         "Team:", ":;:;", "<@a,@b:>", "\\"};
    for (const char* text : odd) {
        const QList<net::Mailbox> list = net::parseAddressList(u8(text));
        for (const net::Mailbox& m : list)
            EXPECT_FALSE(m.name.isEmpty() && m.address.isEmpty()) << text;
    }
}

// ---------------------------------------------------------------------------
// parseHeader and listLine

TEST(ParseHeader, ReadsTheFieldsOfACrLfHeader)
{
    const QByteArray raw = "Return-Path: <ola@example.no>\r\n"
                           "from: =?ISO-8859-1?Q?=C6rlig_=D8yvind?= <oyvind@example.no>\r\n"
                           "SUBJECT: =?utf-8?Q?M=C3=B8te_?=\r\n"
                           "\t=?utf-8?Q?p=C3=A5_fredag?=\r\n"
                           "Message-Id: <abc.123@example.no>\r\n"
                           "Date: Fri, 6 Jun 2025 09:15:00\r\n"
                           " +0200\r\n"
                           "\r\n"
                           "Subject: dette er brodteksten\r\n";
    const net::HeaderInfo info = net::parseHeader(raw);
    EXPECT_EQ(info.from, u8("Ærlig Øyvind <oyvind@example.no>"));
    EXPECT_EQ(info.subject, u8("Møte på fredag"));
    EXPECT_EQ(info.messageId, u8("<abc.123@example.no>"));
    EXPECT_EQ(info.date, u8("Fri, 6 Jun 2025 09:15:00 +0200"));
    EXPECT_EQ(net::listLine(info), u8("Ærlig Øyvind <oyvind@example.no>   Møte på fredag"));
}

TEST(ParseHeader, FirstOccurrenceWinsAndLfLinesWork)
{
    const QByteArray raw = "Subject: Den f\xC3\xB8rste\n"
                           "From: Ola <ola@example.no>\n"
                           "Subject: Den andre\n"
                           "FROM: Kari <kari@example.no>\n"
                           "X-Subject: nei\n";
    const net::HeaderInfo info = net::parseHeader(raw);
    EXPECT_EQ(info.subject, u8("Den første"));
    EXPECT_EQ(info.from, u8("Ola <ola@example.no>"));
}

TEST(ParseHeader, MissingFieldsAreEmpty)
{
    const net::HeaderInfo info = net::parseHeader("Received: by example.no\r\n"
                                                  "Subject \r\n"
                                                  "\r\n");
    EXPECT_TRUE(info.from.isEmpty());
    EXPECT_TRUE(info.subject.isEmpty());
    EXPECT_TRUE(info.messageId.isEmpty());
    EXPECT_TRUE(info.date.isEmpty());
}

TEST(ParseHeader, HeaderWithoutFinalLineBreak)
{
    const net::HeaderInfo info = net::parseHeader("Subject:Siste linje\r\n folded");
    EXPECT_EQ(info.subject, u8("Siste linje folded"));
}

// What a sender puts in encoded words must not break the list line, hide
// text or turn it around: the parsed fields, and so the list line, show line
// breaks and tabs as blanks and other control characters and direction
// changes as a mark.
TEST(ParseHeader, ControlCharactersAreShownVisibly)
{
    struct Case {
        const char* what;
        QByteArray from, subject;
        QString shownFrom, shownSubject;
    };
    const QString mark = QString(QChar::ReplacementCharacter);
    const Case cases[] = {
        {"line break and a header after it", "ola@example.no", "=?utf-8?Q?Hei=0D=0ABcc:_x@example.no?=",
         u8("ola@example.no"), u8("Hei  Bcc: x@example.no")},
        {"tab, a raw one and an encoded one", "ola@example.no", "a	b =?utf-8?Q?c=09d?=", u8("ola@example.no"),
         u8("a b c d")},
        {"NUL and an escape sequence", "ola@example.no", "=?utf-8?Q?a=00b=1B[31mc=7F?=", u8("ola@example.no"),
         u8("a") + mark + u8("b") + mark + u8("[31mc") + mark},
        {"C1 controls from latin-1 and utf-8", "=?iso-8859-1?Q?Ola=9BN?= <ola@example.no>",
         "=?utf-8?Q?x=C2=9By?=", u8("\"Ola") + mark + u8("N\" <ola@example.no>"), u8("x") + mark + u8("y")},
        {"right-to-left override in the name", "=?utf-8?Q?Bank=E2=80=AEon.knab?= <svindel@example.com>",
         "=?utf-8?Q?=E2=80=AAa=E2=80=ABb=E2=80=ACc=E2=80=ADd?=",
         u8("\"Bank") + mark + u8("on.knab\" <svindel@example.com>"),
         mark + u8("a") + mark + u8("b") + mark + u8("c") + mark + u8("d")},
        {"isolates and the line separators", "ola@example.no", "=?utf-8?Q?=E2=81=A6a=E2=81=A9=E2=80=A8b=E2=80=A9c?=",
         u8("ola@example.no"), mark + u8("a") + mark + u8(" b c")},
        {"letters of any script and their own direction stay", "=?utf-8?B?16nXnNeV150=?= <s@example.il>",
         "=?utf-8?Q?=D8=B3=D9=84=D8=A7=D9=85_=E2=80=8F_M=C3=B8te?=", u8("שלום <s@example.il>"),
         u8("سلام \u200F Møte")},
    };
    for (const Case& c : cases) {
        const net::HeaderInfo info = net::parseHeader("From: " + c.from + "\r\nSubject: " + c.subject + "\r\n\r\n");
        EXPECT_EQ(info.from, c.shownFrom) << c.what;
        EXPECT_EQ(info.subject, c.shownSubject) << c.what;
        EXPECT_EQ(net::listLine(info), c.shownFrom + u8("   ") + c.shownSubject) << c.what;
    }
    // A header made by other means is made visible on its way to the list.
    net::HeaderInfo made;
    made.from = u8("a\u202Eb");
    made.subject = u8("c\nd");
    EXPECT_EQ(net::listLine(made), u8("a") + mark + u8("b   c d"));
}

TEST(ListLine, JoinsSenderAndSubjectWithThreeSpaces)
{
    struct Case {
        QString from, subject, expected;
    };
    const Case cases[] = {
        {u8("Ola <ola@example.no>"), u8("Møte på fredag"), u8("Ola <ola@example.no>   Møte på fredag")},
        {QString(), u8("Møte på fredag"), u8("   Møte på fredag")},
        {u8("ola@example.no"), QString(), u8("ola@example.no   ")},
    };
    for (const Case& c : cases) {
        net::HeaderInfo info;
        info.from = c.from;
        info.subject = c.subject;
        EXPECT_EQ(net::listLine(info), c.expected);
    }
}

TEST(ListLine, MissingFromAndSubjectInAParsedHeader)
{
    EXPECT_EQ(net::listLine(net::parseHeader("Subject: Hei\r\n\r\n")), u8("   Hei"));
    EXPECT_EQ(net::listLine(net::parseHeader("From: ola@example.no\r\n\r\n")), u8("ola@example.no   "));
}

} // namespace
