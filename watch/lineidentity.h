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

// One header as the check read it: its list line and both header identities.
struct ListedHeader {
    QString line;
    QString sender;  // the From display text, as the line shows it
    QString subject; // the decoded Subject
    LineIdentity byHeader; // Message-ID and Date; none when the header has neither
    LineIdentity byDigest; // the whole header
};

ListedHeader describeHeader(const QByteArray& rawHeader);

LineIdentity uidIdentity(const QByteArray& uid); // none for an empty uid
// The identity of the given kind (Header or Digest) for a header read now.
LineIdentity headerIdentityOfKind(IdentityKind kind, const QByteArray& rawHeader);

// Identities for lines 1 … headers.size(). With uids (the server's UIDL
// list): the unique id of each number, none when the list lacks the number
// or gives it to two lines. Without: Message-ID and Date where they are
// present and unique on the list, else the whole header where that is
// unique, else none.
QList<LineIdentity> assignIdentities(const std::optional<std::map<int, QByteArray>>& uids,
                                     const QList<ListedHeader>& headers);

} // namespace watch
