// The list lines of a mailbox kept under each message's unique id (UIDL), so
// that a check fetches only the headers of messages it has not seen. Kept in
// memory and in a small file in the user's tmp folder, so that a restart
// benefits too. The file names the server and user it belongs to (never the
// password) and ends in a SHA-256 of everything before it: a file from
// another account or server, a truncated or corrupt one, reads as empty.
#pragma once

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
    bool operator==(const CachedLine&) const = default;
};

// Whose mailbox a cache describes.
struct CacheOwner {
    QString host;
    std::uint16_t port = 0;
    QString user;
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

    // The file's bytes, and the cache they describe (nothing when they do
    // not belong to owner or are damaged in any way).
    QByteArray serialize() const;
    static std::optional<ListCache> deserialize(const QByteArray& bytes, const CacheOwner& owner);

    // The cache file for one mailbox inside folder: the name is derived from
    // the owner, so that two accounts do not overwrite each other.
    static QString fileName(const QString& folder, const CacheOwner& owner);
    // Reads the file; an empty cache for owner when it is missing or unfit.
    static ListCache load(const QString& path, const CacheOwner& owner);
    // Writes the file at once (0600, never through a link); empty on
    // success, else the reason.
    QString save(const QString& path) const;

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
