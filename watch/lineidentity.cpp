#include "lineidentity.h"

#include "mailheader.h"

#include <QHash>
#include <QRandomGenerator>

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

ListedHeader describeHeader(const QByteArray& rawHeader)
{
    const net::HeaderInfo info = net::parseHeader(rawHeader);
    return {net::listLine(info), info.from, info.subject, headerIdentity(info),
            identity(IdentityKind::Digest, rawHeader)};
}

LineIdentity uidIdentity(const QByteArray& uid)
{
    return uid.isEmpty() ? LineIdentity{} : identity(IdentityKind::Uid, uid);
}

LineIdentity headerIdentityOfKind(IdentityKind kind, const QByteArray& rawHeader)
{
    switch (kind) {
    case IdentityKind::Header: return headerIdentity(net::parseHeader(rawHeader));
    case IdentityKind::Digest: return identity(IdentityKind::Digest, rawHeader);
    case IdentityKind::Uid:
    case IdentityKind::None: break;
    }
    return {};
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
