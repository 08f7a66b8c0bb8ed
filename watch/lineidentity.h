// What names a message on the list, so that opening or deleting line k never
// hits another message after the mailbox changed behind the program's back.
// A line is named by the server's unique id when it offers UIDL, otherwise
// by Message-ID and Date, and where those are missing or shared by its whole
// header. A line that none of these tells apart from the others has no
// identity and is not acted on.
//
// An identity is kept as a keyed 64-bit hash of what names the message: the
// key is drawn at random once per run, so no sender can make two headers meet
// on purpose, and by chance two of a mailbox's lines meet with odds far below
// one in a billion. Small and cheap, which counts with 10,000 lines.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <array>
#include <map>
#include <optional>

namespace watch {

enum class IdentityKind : quint8 { None, Uid, Header, Digest };

struct LineIdentity {
    IdentityKind kind = IdentityKind::None;
    quint64 hash = 0;

    bool known() const { return kind != IdentityKind::None; }
    bool operator==(const LineIdentity&) const = default;
};

// What a list line was made from: the SHA-256 of the whole header, cut to
// 128 bits. Stable from run to run, so the list cache keeps it beside each
// line, and an action compares it with the header the server gives then.
using HeaderDigest = std::array<char, 16>;

// One header as the check read it: its list line and both header identities.
struct ListedHeader {
    QString line;
    QString sender;  // the From display text, as the line shows it
    QString subject; // the decoded Subject
    LineIdentity byHeader; // Message-ID and Date; none when the header has neither
    LineIdentity byDigest; // the whole header
    HeaderDigest digest{};
};

ListedHeader describeHeader(const QByteArray& rawHeader);
HeaderDigest headerDigest(const QByteArray& rawHeader);

LineIdentity uidIdentity(const QByteArray& uid); // none for an empty uid

// A line of the list as an action needs it: what names its message, what it
// was made from and what it shows.
struct ListedLine {
    LineIdentity identity;
    HeaderDigest digest{};
    QString text;
};

enum class HeaderMatch {
    Same,  // the number still holds the message the line was made from
    Moved, // the number names another message now: the mailbox changed
    // The number's message carries the line's name (its unique id, or its
    // Message-ID and Date), but its header is not the one the line was made
    // from or does not give the line's text: the line came from a cache that
    // is not true to the server, or the server gave an old id to another
    // message.
    Untrue,
};
// Compares a line with what the server gives for its number at the time of
// an action: uidNow (UIDL of the number; only looked at for a line named by
// its unique id) and the header (TOP n 0).
HeaderMatch matchHeader(const ListedLine& line, const LineIdentity& uidNow, const QByteArray& headerNow);

// Identities for lines 1 … headers.size(). With uids (the server's UIDL
// list): the unique id of each number, none when the list lacks the number
// or gives it to two lines. Without: Message-ID and Date where they are
// present and unique on the list, else the whole header where that is
// unique, else none.
QList<LineIdentity> assignIdentities(const std::optional<std::map<int, QByteArray>>& uids,
                                     const QList<ListedHeader>& headers);

} // namespace watch
