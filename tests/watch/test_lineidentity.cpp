// What an action checks before it touches a message: the line as the list
// holds it against the header the server gives for its number now.
#include "lineidentity.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

namespace watch {

// Failures name the outcome.
void PrintTo(HeaderMatch m, std::ostream* os)
{
    switch (m) {
    case HeaderMatch::Same: *os << "Same"; return;
    case HeaderMatch::Moved: *os << "Moved"; return;
    case HeaderMatch::Untrue: *os << "Untrue"; return;
    }
    *os << int(m);
}

} // namespace watch

using watch::HeaderMatch;
using watch::IdentityKind;

namespace {

struct Fields {
    QByteArray subject = "Referat fra fredag";
    QByteArray date = "Wed, 09 Dec 2026 10:00:00 +0100";
    QByteArray messageId = "<m1@test.example>";
    QByteArray extra; // further header lines, each ending in CR LF
};

QByteArray header(const Fields& f)
{
    return "From: Kari Nordmann <kari@test.example>\r\nSubject: " + f.subject + "\r\nDate: " + f.date
        + "\r\nMessage-ID: " + f.messageId + "\r\n" + f.extra + "\r\n";
}

// The line as a check made it from a header, named the given way.
watch::ListedLine listedLine(const QByteArray& rawHeader, IdentityKind kind, const QByteArray& uid)
{
    const watch::ListedHeader h = watch::describeHeader(rawHeader);
    watch::LineIdentity identity;
    switch (kind) {
    case IdentityKind::Uid: identity = watch::uidIdentity(uid); break;
    case IdentityKind::Header: identity = h.byHeader; break;
    case IdentityKind::Digest: identity = h.byDigest; break;
    case IdentityKind::None: break;
    }
    return {identity, h.digest, h.line};
}

const char* kindName(IdentityKind kind)
{
    switch (kind) {
    case IdentityKind::Uid: return "by unique id";
    case IdentityKind::Header: return "by Message-ID and Date";
    case IdentityKind::Digest: return "by the whole header";
    case IdentityKind::None: return "unnamed";
    }
    return "?";
}

} // namespace

// A header that differs from the line's in any byte is not the message the
// line was made from, even where the line's text and its name still fit:
// then the line came from a cache that is not true to the server, or the
// server gave the old id to another message.
TEST(MatchHeaderTest, OnlyTheHeaderTheLineWasMadeFromIsTheSame)
{
    const auto unchanged = [](Fields&) {};
    const auto otherDate = [](Fields& f) { f.date = "Wed, 09 Dec 2026 10:00:01 +0100"; };
    const auto otherMessageId = [](Fields& f) { f.messageId = "<m2@test.example>"; };
    const auto otherField = [](Fields& f) { f.extra = "To: ola@test.example\r\n"; };
    const auto otherSubject = [](Fields& f) { f.subject = "Referat fra torsdag"; };
    struct Case {
        const char* name;
        IdentityKind kind;
        std::function<void(Fields&)> change; // what the server's header has now
        QByteArray uidNow;                   // the unique id the number has now
        HeaderMatch expected;
    };
    const Case cases[] = {
        {"the same header", IdentityKind::Uid, unchanged, "u1", HeaderMatch::Same},
        {"only the Date differs", IdentityKind::Uid, otherDate, "u1", HeaderMatch::Untrue},
        {"only the Message-ID differs", IdentityKind::Uid, otherMessageId, "u1", HeaderMatch::Untrue},
        {"another subject", IdentityKind::Uid, otherSubject, "u1", HeaderMatch::Untrue},
        {"another unique id", IdentityKind::Uid, unchanged, "u2", HeaderMatch::Moved},

        {"the same header", IdentityKind::Header, unchanged, "u1", HeaderMatch::Same},
        {"only the Date differs", IdentityKind::Header, otherDate, "u1", HeaderMatch::Moved},
        {"only the Message-ID differs", IdentityKind::Header, otherMessageId, "u1", HeaderMatch::Moved},
        {"only a field outside the name and the line differs", IdentityKind::Header, otherField, "u1",
         HeaderMatch::Untrue},

        {"the same header", IdentityKind::Digest, unchanged, "u1", HeaderMatch::Same},
        {"only the Date differs", IdentityKind::Digest, otherDate, "u1", HeaderMatch::Moved},

        {"the same header", IdentityKind::None, unchanged, "u1", HeaderMatch::Moved},
    };
    const QByteArray before = header(Fields{});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(kindName(c.kind)) + ": " + c.name);
        const watch::ListedLine line = listedLine(before, c.kind, "u1");
        ASSERT_EQ(line.identity.kind, c.kind);
        Fields now;
        c.change(now);
        const QByteArray headerNow = header(now);
        if (now.subject == Fields{}.subject) {
            EXPECT_EQ(watch::describeHeader(headerNow).line, line.text) << "the case keeps the line's text";
        }
        EXPECT_EQ(watch::matchHeader(line, watch::uidIdentity(c.uidNow), headerNow), c.expected);
    }
}
