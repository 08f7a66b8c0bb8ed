// The IMAP response reader on bytes in memory: what each kind of response
// reads as, and the limits and syntax errors that stop it.
#include "imapresponse.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

using net::ImapBufferSource;
using net::ImapLimits;
using net::ImapResponse;
using net::ImapResponseReader;
using net::ImapValue;
using net::NetError;
using testing::HasSubstr;

namespace {

QByteArray lit(const QByteArray& bytes)
{
    return '{' + QByteArray::number(bytes.size()) + "}\r\n" + bytes;
}

// Bytes as the dump shows them: controls, quotes and backslashes escaped.
std::string escaped(const QByteArray& bytes)
{
    std::string out;
    for (const char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\0')
            out += "\\0";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else
            out += c;
    }
    return out;
}

std::string dumpValue(const ImapValue& v)
{
    switch (v.type) {
    case ImapValue::Type::Atom:
        return v.text.toStdString();
    case ImapValue::Type::String:
        return '"' + escaped(v.text) + '"';
    case ImapValue::Type::Nil:
        return "NIL";
    case ImapValue::Type::List: {
        std::string out = "(";
        for (std::size_t i = 0; i < v.items.size(); ++i)
            out += (i ? " " : "") + dumpValue(v.items[i]);
        return out + ")";
    }
    }
    return "?";
}

// One line for everything the reader made of a response:
//   <* | + | tag> [number] name [[CODE codeText]] [«text»] values... [#n,n,n]
std::string dump(const ImapResponse& r)
{
    std::string out = r.kind == ImapResponse::Kind::Untagged        ? "*"
                      : r.kind == ImapResponse::Kind::Continuation ? "+"
                                                                   : r.tag.toStdString();
    if (r.number)
        out += ' ' + std::to_string(*r.number);
    if (!r.name.isEmpty())
        out += ' ' + r.name.toStdString();
    if (!r.code.isEmpty())
        out += " [" + r.code.toStdString() + (r.codeText.isEmpty() ? "" : ' ' + r.codeText.toStdString()) + ']';
    if (!r.text.isEmpty())
        out += " «" + escaped(r.text) + "»";
    for (const ImapValue& v : r.values)
        out += ' ' + dumpValue(v);
    if (!r.searchNumbers.isEmpty()) {
        out += " #";
        for (qsizetype i = 0; i < r.searchNumbers.size(); ++i)
            out += (i ? "," : "") + std::to_string(r.searchNumbers.at(i));
    }
    return out;
}

struct ReadCase {
    const char* name;
    QByteArray input;
    std::string expected;
};

std::ostream& operator<<(std::ostream& os, const ReadCase& c)
{
    return os << c.name;
}

class ImapReadTest : public testing::TestWithParam<ReadCase> {};

// Each input holds one response and a next one ("Z1 OK next"), which must
// be left whole for the following read.
TEST_P(ImapReadTest, ReadsOneResponseAndNoMore)
{
    const ReadCase& c = GetParam();
    ImapBufferSource source(c.input + "Z1 OK next\r\n");
    const ImapResponseReader reader(QStringLiteral("imap.example.no"));
    const ImapResponse r = reader.read(source);
    EXPECT_EQ(dump(r), c.expected);
    EXPECT_EQ(dump(reader.read(source)), "Z1 OK «next»");
    EXPECT_TRUE(source.atEnd());
}

INSTANTIATE_TEST_SUITE_P(
    Responses, ImapReadTest,
    testing::Values(
        ReadCase{"TaggedWithCode", "A1 OK [READ-WRITE] SELECT completed\r\n",
                 "A1 OK [READ-WRITE] «SELECT completed»"},
        ReadCase{"TaggedRefusal", "A2 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n",
                 "A2 NO [AUTHENTICATIONFAILED] «Authentication failed.»"},
        ReadCase{"TaggedBare", "A3 BAD\r\n", "A3 BAD"},
        ReadCase{"LowerCaseNames", "a4 ok done\r\n", "a4 OK «done»"},
        ReadCase{"LineEndWithoutCr", "A5 OK plain LF\n", "A5 OK «plain LF»"},
        ReadCase{"UntaggedCodeWithArgument", "* OK [UIDVALIDITY 3857529045] UIDs valid\r\n",
                 "* OK [UIDVALIDITY 3857529045] «UIDs valid»"},
        ReadCase{"CodeWithList", "* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Limited\r\n",
                 "* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] «Limited»"},
        ReadCase{"CodeWithoutClosingBracketIsText", "* NO [ALERT disk full\r\n", "* NO «[ALERT disk full»"},
        ReadCase{"Bye", "* BYE Autologout; idle for too long\r\n", "* BYE «Autologout; idle for too long»"},
        ReadCase{"Exists", "* 18 EXISTS\r\n", "* 18 EXISTS"},
        ReadCase{"ExpungeLowerCase", "* 3 expunge\r\n", "* 3 EXPUNGE"},
        ReadCase{"LargestNumber", "* 4294967295 EXISTS\r\n", "* 4294967295 EXISTS"},
        ReadCase{"Capability", "* CAPABILITY IMAP4rev1 IDLE AUTH=PLAIN\r\n",
                 "* CAPABILITY IMAP4rev1 IDLE AUTH=PLAIN"},
        ReadCase{"Search", "* SEARCH 2 84 882\r\n", "* SEARCH #2,84,882"},
        ReadCase{"SearchEmpty", "* SEARCH\r\n", "* SEARCH"},
        ReadCase{"SearchWithModseq", "* SEARCH 2 5 (MODSEQ 917162500)\r\n", "* SEARCH (MODSEQ 917162500) #2,5"},
        ReadCase{"FlagsList", "* FLAGS (\\Answered \\Seen $Forwarded)\r\n", "* FLAGS (\\Answered \\Seen $Forwarded)"},
        ReadCase{"FetchHeaderLiteral",
                 "* 12 FETCH (UID 44 BODY[HEADER.FIELDS (FROM SUBJECT)] " + lit("From: a@b\r\nSubject: x\r\n\r\n")
                     + ")\r\n",
                 "* 12 FETCH (UID 44 BODY[HEADER.FIELDS (FROM SUBJECT)] \"From: a@b\\r\\nSubject: x\\r\\n\\r\\n\")"},
        // The literal holds what would end the response or start another
        // literal if it were read as lines.
        ReadCase{"LiteralHidesSyntax", "* 1 FETCH (BODY[] " + lit(")\r\n{5}\r\n* 2 EXISTS\r\n") + " FLAGS (\\Seen))\r\n",
                 "* 1 FETCH (BODY[] \")\\r\\n{5}\\r\\n* 2 EXISTS\\r\\n\" FLAGS (\\Seen))"},
        ReadCase{"TwoLiteralsAndEmptyOne", "* 1 FETCH (A " + lit("abc") + " B " + lit("") + " C " + lit("x") + ")\r\n",
                 "* 1 FETCH (A \"abc\" B \"\" C \"x\")"},
        ReadCase{"NonSynchronizingLiteral", "* 1 FETCH (BODY[] {3+}\r\nxyz)\r\n", "* 1 FETCH (BODY[] \"xyz\")"},
        ReadCase{"LiteralLast", "* ID " + lit(QByteArray("a\0b", 3)) + "\r\n", "* ID \"a\\0b\""},
        ReadCase{"BracesInsideAnAtom", "* X a{5}b {x}\r\n", "* X a{5}b {x}"},
        ReadCase{"QuotedWithEscapes", "* LIST () \"\\\\\" \"a \\\"q\\\" (b)\"\r\n",
                 "* LIST () \"\\\\\" \"a \\\"q\\\" (b)\""},
        ReadCase{"EightBitQuoted", "* X \"Bj\xc3\xb8rn\"\r\n", "* X \"Bj\xc3\xb8rn\""},
        ReadCase{"Nil", "* 1 FETCH (UID 5 BODY[HEADER.FIELDS (FROM)] NIL nil)\r\n",
                 "* 1 FETCH (UID 5 BODY[HEADER.FIELDS (FROM)] NIL NIL)"},
        ReadCase{"NestedLists", "* X ((a b) (c (d)) ())\r\n", "* X ((a b) (c (d)) ())"},
        ReadCase{"SectionWithPartial", "* 2 FETCH (BODY[]<0> \"hi\" BODY[1.MIME] NIL)\r\n",
                 "* 2 FETCH (BODY[]<0> \"hi\" BODY[1.MIME] NIL)"},
        ReadCase{"ExtraBlanks", "* X  a   (b  c)  \r\n", "* X a (b c)"},
        ReadCase{"Continuation", "+ idling\r\n", "+ «idling»"},
        ReadCase{"ContinuationBare", "+\r\n", "+"},
        ReadCase{"ContinuationBase64", "+ dGVzdA==\r\n", "+ «dGVzdA==»"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
    const char* name;
    QByteArray input;
    ImapLimits limits;
    std::string expectedText;
};

std::ostream& operator<<(std::ostream& os, const FailCase& c)
{
    return os << c.name;
}

// Counts what the reader asks of the source, so a test can tell that a
// refused literal was never read.
class CountingSource : public net::ImapSource {
public:
    explicit CountingSource(QByteArray data)
        : m_inner(std::move(data))
    {
    }
    QByteArray readLine(qint64 maxLength) override { return m_inner.readLine(maxLength); }
    QByteArray readBytes(qint64 count) override
    {
        bytesAsked += count;
        return m_inner.readBytes(count);
    }
    qint64 bytesAsked = 0;

private:
    ImapBufferSource m_inner;
};

class ImapReadFailureTest : public testing::TestWithParam<FailCase> {};

TEST_P(ImapReadFailureTest, ThrowsTheText)
{
    const FailCase& c = GetParam();
    CountingSource source(c.input);
    const ImapResponseReader reader(QStringLiteral("imap.example.no"));
    try {
        reader.read(source, c.limits);
        ADD_FAILURE() << "read without an error";
    } catch (const NetError& e) {
        EXPECT_EQ(e.text().toStdString(), c.expectedText);
    }
}

// The size a response took is what its limits count.
TEST(ImapResponseSize, CountsLinesWithTheirEndsAndLiterals)
{
    const QByteArray input = "* 3 FETCH (BODY[] " + lit("hello") + " UID 7)\r\n";
    ImapBufferSource source(input + "* 4 EXISTS\r\n");
    EXPECT_EQ(ImapResponseReader(QStringLiteral("x")).read(source).size, input.size());
    EXPECT_EQ(source.consumed(), input.size());
}

ImapLimits withCaps(qint64 literalCap, qint64 responseCap)
{
    ImapLimits l;
    l.literalCap = literalCap;
    l.responseCap = responseCap;
    return l;
}

ImapLimits withDepth(int depth)
{
    ImapLimits l;
    l.maxDepth = depth;
    return l;
}

ImapLimits withValues(int values)
{
    ImapLimits l;
    l.maxValues = values;
    return l;
}

INSTANTIATE_TEST_SUITE_P(
    Responses, ImapReadFailureTest,
    testing::Values(
        FailCase{"EmptyLine", "\r\n", {}, "Ugyldig svar fra imap.example.no: «»"},
        FailCase{"StarAlone", "* \r\n", {}, "Ugyldig svar fra imap.example.no: «*»"},
        FailCase{"TaggedNotStatus", "A1 FETCH done\r\n", {}, "Ugyldig svar fra imap.example.no: «A1 FETCH done»"},
        // The control character shows as a mark, as in every error text.
        FailCase{"TagWithControl", "A\x01 OK\r\n", {}, "Ugyldig svar fra imap.example.no: «A\xef\xbf\xbd OK»"},
        FailCase{"NumberTooLarge", "* 4294967296 EXISTS\r\n", {},
                 "Ugyldig svar fra imap.example.no: «* 4294967296 EXISTS»"},
        FailCase{"NumberWithoutName", "* 5\r\n", {}, "Ugyldig svar fra imap.example.no: «* 5»"},
        FailCase{"UnclosedList", "* 1 FETCH (UID 5\r\n", {}, "Ugyldig svar fra imap.example.no: «* 1 FETCH (UID 5»"},
        FailCase{"StrayParenthesis", "* X a)\r\n", {}, "Ugyldig svar fra imap.example.no: «* X a)»"},
        FailCase{"UnclosedQuote", "* X \"abc\r\n", {}, "Ugyldig svar fra imap.example.no: «* X \"abc»"},
        FailCase{"UnclosedSection", "* 1 FETCH (BODY[HEADER 1)\r\n", {},
                 "Ugyldig svar fra imap.example.no: «* 1 FETCH (BODY[HEADER 1)»"},
        FailCase{"SearchWord", "* SEARCH 1 x 3\r\n", {}, "Ugyldig svar fra imap.example.no: «* SEARCH 1 x 3»"},
        // Cut to 120 characters, blanks collapsed.
        FailCase{"LongLineCut", "* X (" + QByteArray(200, 'a') + "\r\n", {},
                 "Ugyldig svar fra imap.example.no: «* X (" + std::string(115, 'a') + "…»"},
        FailCase{"LineBeyondResponseCap", "* X " + QByteArray(200, 'a') + "\r\n", withCaps(100, 100),
                 "Ugyldig svar fra imap.example.no: svaret er større enn 100 byte"},
        FailCase{"LiteralsBeyondResponseCap", "* X (" + lit(QByteArray(60, 'a')) + " " + lit(QByteArray(60, 'b')) + ")\r\n",
                 withCaps(100, 100), "Ugyldig svar fra imap.example.no: svaret er større enn 100 byte"},
        FailCase{"TruncatedLiteral", "* 1 FETCH (BODY[] {10}\r\nabc", {}, "Forbindelsen til serveren ble brutt"},
        FailCase{"NothingAfterLiteral", "* 1 FETCH (BODY[] {3}\r\nabc", {}, "Forbindelsen til serveren ble brutt"},
        FailCase{"DeepLists", "* X " + QByteArray(5, '(') + QByteArray(5, ')') + "\r\n", withDepth(4),
                 "Ugyldig svar fra imap.example.no: lister inne i lister mer enn 4 nivåer dypt"},
        FailCase{"ManyValues", "* X a b (c d) e\r\n", withValues(5),
                 "Ugyldig svar fra imap.example.no: mer enn 5 verdier i ett svar"}),
    [](const auto& info) { return std::string(info.param.name); });

// A literal announced above its cap is refused as announced: none of it is
// read, whether the server would send it or not.
TEST(ImapLiteralCap, RefusedBeforeAnyOfItIsRead)
{
    struct Case {
        const char* name;
        QByteArray announcement;
        ImapLimits limits;
        std::string expectedText;
    };
    ImapLimits message = withCaps(1000, 2000);
    message.literalCapFailure = QStringLiteral("Meldingen er større enn grensen");
    const Case cases[] = {
        {"over the literal cap", "{1001}", withCaps(1000, 1 << 20),
         "Ugyldig svar fra imap.example.no: et felt på 1001 byte er større enn grensen på 1000 byte"},
        {"over the literal cap, in MiB", "{1048577}", {},
         "Ugyldig svar fra imap.example.no: et felt på 1048577 byte er større enn grensen på 1 MiB"},
        {"beyond any number", "{99999999999999999999999}", {},
         "Ugyldig svar fra imap.example.no: et felt på 99999999999999999999999 byte er større enn grensen på 1 MiB"},
        {"non-synchronizing", "{1001+}", withCaps(1000, 1 << 20),
         "Ugyldig svar fra imap.example.no: et felt på 1001 byte er større enn grensen på 1000 byte"},
        {"the caller's text", "{1001}", message, "Meldingen er større enn grensen"},
        {"within its cap, beyond the response's", "{990}", withCaps(1000, 1000),
         "Ugyldig svar fra imap.example.no: svaret er større enn 1000 byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Enough bytes behind it that reading them would succeed.
        CountingSource source("* 1 FETCH (BODY[] " + c.announcement + "\r\n" + QByteArray(5000, 'x') + ")\r\n");
        try {
            ImapResponseReader(QStringLiteral("imap.example.no")).read(source, c.limits);
            ADD_FAILURE() << "read without an error";
        } catch (const NetError& e) {
            EXPECT_EQ(e.text().toStdString(), c.expectedText);
        }
        EXPECT_EQ(source.bytesAsked, 0);
    }
}

TEST(ImapLimitsEdge, ExactlyAtEachLimitIsRead)
{
    const ImapResponseReader reader(QStringLiteral("imap.example.no"));
    {
        const QByteArray input = "* X " + lit(QByteArray(1000, 'a')) + "\r\n";
        ImapBufferSource source(input);
        const ImapResponse r = reader.read(source, withCaps(1000, input.size()));
        ASSERT_EQ(r.values.size(), 1u);
        EXPECT_EQ(r.values[0].text.size(), 1000);
    }
    {
        ImapBufferSource source("* X " + QByteArray(4, '(') + QByteArray(4, ')') + "\r\n");
        EXPECT_EQ(dump(reader.read(source, withDepth(4))), "* X (((())))");
    }
    {
        ImapBufferSource source("* X a b (c d)\r\n");
        EXPECT_EQ(dump(reader.read(source, withValues(5))), "* X a b (c d)");
    }
}

TEST(ImapValueAccess, NumbersAndBytes)
{
    const auto atom = [](const char* text) { return ImapValue{ImapValue::Type::Atom, text, {}}; };
    EXPECT_EQ(atom("0").number(), 0u);
    EXPECT_EQ(atom("4294967295").number(), 4294967295u);
    EXPECT_EQ(atom("4294967296").number(), std::nullopt);
    EXPECT_EQ(atom("00000000012").number(), std::nullopt); // eleven digits
    EXPECT_EQ(atom("-1").number(), std::nullopt);
    EXPECT_EQ(atom("").number(), std::nullopt);
    EXPECT_EQ((ImapValue{ImapValue::Type::String, "12", {}}.number()), std::nullopt);
    EXPECT_TRUE(atom("uid").isAtom("UID"));
    EXPECT_FALSE((ImapValue{ImapValue::Type::String, "UID", {}}.isAtom("UID")));
    EXPECT_EQ((ImapValue{ImapValue::Type::String, "x", {}}.bytes()), QByteArray("x"));
    EXPECT_EQ((ImapValue{ImapValue::Type::Nil, {}, {}}.bytes()), std::nullopt);
}

} // namespace
