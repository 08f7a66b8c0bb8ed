// What names a message on the list, so that opening or deleting line k never
// hits another message after the mailbox changed behind the program's back.
// A line is named by the server's unique id when it offers UIDL, otherwise
// by Message-ID and Date, and where those are missing or shared by a digest
// of the whole header. A line that none of these tells apart from the others
// has no identity and is not acted on.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>

namespace watch {

// One header as the check read it: its list line and both header identities.
struct ListedHeader {
    QString line;
    QString byHeader; // Message-ID and Date; empty when the header has neither
    QString byDigest; // digest of the whole header
};

ListedHeader describeHeader(const QByteArray& rawHeader);

enum class IdentityKind { None, Uid, Header, Digest };

QString uidIdentity(const QByteArray& uid); // empty for an empty uid
IdentityKind identityKind(const QString& identity);
// The identity of the same kind for a header read from the server now.
QString headerIdentityOfKind(IdentityKind kind, const QByteArray& rawHeader);

// Identities for lines 1 … headers.size(). With uids (the server's UIDL
// list): the unique id of each number, empty when the list lacks the number
// or gives it to two lines. Without: Message-ID and Date where they are
// present and unique on the list, else the header digest where that is
// unique, else empty.
QStringList assignIdentities(const std::optional<std::map<int, QByteArray>>& uids,
                             const QList<ListedHeader>& headers);

} // namespace watch
