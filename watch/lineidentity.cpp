#include "lineidentity.h"

#include "mailheader.h"

#include <QCryptographicHash>
#include <QHash>
#include <QRandomGenerator>

#include <algorithm>

namespace watch {

// For counting identities in a QHash.
size_t qHash(const LineIdentity& id, size_t seed = 0)
{
    return ::qHash(id.hash, seed) ^ size_t(id.kind);
}

namespace {

quint64 keyedHash(const char* data, qsizetype size)
{
    static const size_t key = size_t(QRandomGenerator::system()->generate64()) | 1;
    return quint64(qHashBits(data, size_t(size), key));
}

LineIdentity identity(IdentityKind kind, const QByteArray& what)
{
    return {kind, keyedHash(what.constData(), what.size())};
}

// The whole header's identity, taken from its digest.
LineIdentity digestIdentity(const HeaderDigest& digest)
{
    return {IdentityKind::Digest, keyedHash(digest.data(), qsizetype(digest.size()))};
}

LineIdentity headerIdentity(const net::HeaderInfo& info)
{
    if (info.messageId.isEmpty() && info.date.isEmpty())
        return {};
    return identity(IdentityKind::Header, (info.messageId + QLatin1Char('\n') + info.date).toUtf8());
}

// Unknown, or standing for more than one line: no identity.
void dropShared(QList<LineIdentity>& ids)
{
    QHash<LineIdentity, int> count;
    count.reserve(ids.size());
    for (const LineIdentity& id : ids)
        ++count[id];
    for (LineIdentity& id : ids) {
        if (!id.known() || count.value(id) != 1)
            id = {};
    }
}

} // namespace

HeaderDigest headerDigest(const QByteArray& rawHeader)
{
    const QByteArray sha = QCryptographicHash::hash(rawHeader, QCryptographicHash::Sha256);
    HeaderDigest d;
    std::copy_n(sha.constData(), d.size(), d.begin());
    return d;
}

ListedHeader describeHeader(const QByteArray& rawHeader)
{
    const net::HeaderInfo info = net::parseHeader(rawHeader);
    const HeaderDigest digest = headerDigest(rawHeader);
    return {net::listLine(info), info.from, info.subject, headerIdentity(info), digestIdentity(digest), digest};
}

LineIdentity uidIdentity(const QByteArray& uid)
{
    return uid.isEmpty() ? LineIdentity{} : identity(IdentityKind::Uid, uid);
}

HeaderMatch matchHeader(const ListedLine& line, const LineIdentity& uidNow, const QByteArray& headerNow)
{
    const ListedHeader now = describeHeader(headerNow);
    LineIdentity named;
    switch (line.identity.kind) {
    case IdentityKind::Uid: named = uidNow; break;
    case IdentityKind::Header: named = now.byHeader; break;
    case IdentityKind::Digest: named = now.byDigest; break;
    case IdentityKind::None: return HeaderMatch::Moved;
    }
    if (named != line.identity)
        return HeaderMatch::Moved;
    return now.digest == line.digest && now.line == line.text ? HeaderMatch::Same : HeaderMatch::Untrue;
}

QList<LineIdentity> assignIdentities(const std::optional<std::map<int, QByteArray>>& uids,
                                     const QList<ListedHeader>& headers)
{
    QList<LineIdentity> ids;
    ids.reserve(headers.size());
    if (uids) {
        for (int i = 1; i <= headers.size(); ++i) {
            const auto it = uids->find(i);
            ids.append(it == uids->end() ? LineIdentity{} : uidIdentity(it->second));
        }
        dropShared(ids);
        return ids;
    }
    QList<LineIdentity> digests;
    digests.reserve(headers.size());
    for (const ListedHeader& h : headers) {
        ids.append(h.byHeader);
        digests.append(h.byDigest);
    }
    dropShared(ids);
    dropShared(digests);
    for (int i = 0; i < ids.size(); ++i) {
        if (!ids.at(i).known())
            ids[i] = digests.at(i);
    }
    return ids;
}

} // namespace watch
