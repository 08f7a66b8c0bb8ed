// The list lines of a mailbox kept under each message's unique id (UIDL), so
// that a check fetches only the headers of messages it has not seen. Kept in
// memory and in a small file in the user's tmp folder, so that a restart
// benefits too. The file names the server and user it belongs to (never the
// password) and ends in an HMAC-SHA256 of everything before it under a key of
// the user's own, kept in the per-user settings file: a file from another
// account or server, a truncated or corrupt one, and one written by anyone
// without the key read as empty.
//
// The cache only saves reading headers for the list. Each line keeps the
// digest of the header it was made from, and opening or deleting a message
// compares line and digest with the header the server gives then.
#pragma once

#include "lineidentity.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <map>
#include <optional>

namespace watch {

// What a list line shows, as the header it came from was read.
struct CachedLine {
    QString line;
    QString sender;
    QString subject;
    HeaderDigest digest{}; // of the header the line was made from
    bool operator==(const CachedLine&) const = default;
};

// Whose mailbox a cache describes.
struct CacheOwner {
    QString host;
    std::uint16_t port = 0;
    QString user;
    // An IMAP INBOX, whose lines are kept under "UIDVALIDITY:UID"; else a
    // POP3 mailbox, whose lines are kept under its UIDL ids.
    bool imap = false;
    bool operator==(const CacheOwner&) const = default;
};

class ListCache {
public:
    const CacheOwner& owner() const { return m_owner; }
    bool isEmpty() const { return m_lines.isEmpty(); }
    qsizetype size() const { return m_lines.size(); }
    const CachedLine* find(const QByteArray& uid) const;

    // Starts over for another mailbox: nothing known.
    void reset(const CacheOwner& owner);
    // Replaces what is known by one mailbox's lines as a whole check read
    // them; true when that changed anything.
    bool replace(QHash<QByteArray, CachedLine> lines);

    // The file's bytes, sealed with key, and the cache they describe
    // (nothing when they do not belong to owner, were not sealed with key or
    // are damaged in any way). An empty key seals nothing and opens nothing.
    QByteArray serialize(const QByteArray& key) const;
    static std::optional<ListCache> deserialize(const QByteArray& bytes, const CacheOwner& owner,
                                                const QByteArray& key);

    // The cache file for one mailbox inside folder ("pop3-liste-…" or
    // "imap-liste-…"): the name is derived from the owner, so that two
    // accounts do not overwrite each other.
    static QString fileName(const QString& folder, const CacheOwner& owner);
    // Reads the file; an empty cache for owner when it is missing or unfit.
    static ListCache load(const QString& path, const CacheOwner& owner, const QByteArray& key);
    // Writes the file at once (0600, never through a link); empty on
    // success, else the reason.
    QString save(const QString& path, const QByteArray& key) const;

private:
    CacheOwner m_owner;
    QHash<QByteArray, CachedLine> m_lines;
};

// Which numbers of a mailbox of count messages need their header read, when
// uids (the server's UIDL list) and the cache are known. Nothing when the
// cache cannot be used: no UIDL list, a list that does not give every number
// 1 … count exactly one id, or ids shared by two numbers; the whole mailbox
// must be read then.
std::optional<QList<int>> numbersToRead(int count, const std::optional<std::map<int, QByteArray>>& uids,
                                        const ListCache& cache);

} // namespace watch
