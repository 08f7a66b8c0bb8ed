#include "listcache.h"

#include "safefile.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QSet>

#include <algorithm>

namespace watch {

namespace {

constexpr quint32 kMagic = 0x42474c43; // "BGLC"
// 2: each line with the digest of its header, the file sealed with a key,
// POP3 or IMAP.
constexpr quint32 kVersion = 2;
constexpr qsizetype kSealSize = 32; // HMAC-SHA256
// More lines than any mailbox the program lists: a count above it is damage.
constexpr quint32 kMaxLines = 10'000'000;

QByteArray digest(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray seal(const QByteArray& bytes, const QByteArray& key)
{
    return QMessageAuthenticationCode::hash(bytes, key, QCryptographicHash::Sha256);
}

// Compares in time independent of where the two first differ.
bool sameSeal(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

const CachedLine* ListCache::find(const QByteArray& uid) const
{
    const auto it = m_lines.constFind(uid);
    return it == m_lines.constEnd() ? nullptr : &it.value();
}

void ListCache::reset(const CacheOwner& owner)
{
    m_owner = owner;
    m_lines.clear();
}

bool ListCache::replace(QHash<QByteArray, CachedLine> lines)
{
    if (lines == m_lines)
        return false;
    m_lines = std::move(lines);
    return true;
}

QByteArray ListCache::serialize(const QByteArray& key) const
{
    if (key.isEmpty())
        return {};
    // The size known in advance: the bytes are written once, with the seal
    // after them, instead of growing by doubling and being copied for the
    // seal (10,000 lines: 2.7 MB once instead of 7 MB at the peak).
    const auto stringSize = [](const QString& s) { return 4 + 2 * s.size(); };
    qsizetype size = 4 + 4 + stringSize(m_owner.host) + 2 + stringSize(m_owner.user) + 4;
    for (auto it = m_lines.constBegin(); it != m_lines.constEnd(); ++it)
        size += 4 + it.key().size() + stringSize(it->line) + stringSize(it->sender) + stringSize(it->subject) + 4
            + qsizetype(it->digest.size());
    QByteArray bytes;
    bytes.reserve(size + kSealSize);
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << kMagic << kVersion << m_owner.host << quint16(m_owner.port) << m_owner.user << m_owner.imap
            << quint32(m_lines.size());
        for (auto it = m_lines.constBegin(); it != m_lines.constEnd(); ++it)
            out << it.key() << it->line << it->sender << it->subject
                << QByteArray(it->digest.data(), qsizetype(it->digest.size()));
    }
    bytes += seal(bytes, key);
    return bytes;
}

std::optional<ListCache> ListCache::deserialize(const QByteArray& bytes, const CacheOwner& owner,
                                                const QByteArray& key)
{
    if (key.isEmpty() || bytes.size() < kSealSize)
        return std::nullopt;
    // The body without a copy of it: bytes outlives body.
    const QByteArray body = QByteArray::fromRawData(bytes.constData(), bytes.size() - kSealSize);
    if (!sameSeal(seal(body, key), bytes.last(kSealSize)))
        return std::nullopt;
    QDataStream in(body);
    in.setVersion(QDataStream::Qt_6_0);
    quint32 magic = 0;
    quint32 version = 0;
    quint16 port = 0;
    quint32 count = 0;
    ListCache cache;
    in >> magic >> version >> cache.m_owner.host >> port >> cache.m_owner.user >> cache.m_owner.imap >> count;
    cache.m_owner.port = port;
    if (in.status() != QDataStream::Ok || magic != kMagic || version != kVersion || cache.m_owner != owner
        || count > kMaxLines)
        return std::nullopt;
    for (quint32 i = 0; i < count; ++i) {
        QByteArray uid;
        QByteArray headerDigest;
        CachedLine line;
        in >> uid >> line.line >> line.sender >> line.subject >> headerDigest;
        if (in.status() != QDataStream::Ok || uid.isEmpty() || cache.m_lines.contains(uid)
            || headerDigest.size() != qsizetype(line.digest.size()))
            return std::nullopt;
        std::copy(headerDigest.cbegin(), headerDigest.cend(), line.digest.begin());
        cache.m_lines.insert(uid, line);
    }
    if (!in.atEnd())
        return std::nullopt;
    return cache;
}

QString ListCache::fileName(const QString& folder, const CacheOwner& owner)
{
    const QByteArray who = owner.host.toUtf8() + '\n' + QByteArray::number(owner.port) + '\n' + owner.user.toUtf8();
    return folder + (owner.imap ? QStringLiteral("imap-liste-") : QStringLiteral("pop3-liste-"))
        + QString::fromLatin1(digest(who).toHex().left(16)) + QStringLiteral(".cache");
}

ListCache ListCache::load(const QString& path, const CacheOwner& owner, const QByteArray& key)
{
    if (rt::pathKind(path) == rt::PathKind::Regular) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            if (auto cache = deserialize(file.readAll(), owner, key))
                return std::move(*cache);
        }
    }
    ListCache empty;
    empty.reset(owner);
    return empty;
}

QString ListCache::save(const QString& path, const QByteArray& key) const
{
    return rt::saveFileSafely(path, serialize(key));
}

std::optional<QList<int>> numbersToRead(int count, const std::optional<std::map<int, QByteArray>>& uids,
                                        const ListCache& cache)
{
    if (!uids || uids->size() != size_t(count) || count <= 0)
        return std::nullopt;
    if (uids->begin()->first != 1 || uids->rbegin()->first != count)
        return std::nullopt; // with size == count, 1 … count each present once
    QSet<QByteArray> seen;
    seen.reserve(count);
    QList<int> missing;
    for (const auto& [number, uid] : *uids) {
        if (uid.isEmpty() || seen.contains(uid))
            return std::nullopt;
        seen.insert(uid);
        if (!cache.find(uid))
            missing.append(number);
    }
    return missing;
}

} // namespace watch
