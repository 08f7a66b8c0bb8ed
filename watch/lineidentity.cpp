#include "lineidentity.h"

#include "mailheader.h"

#include <QCryptographicHash>
#include <QHash>

namespace watch {

namespace {

const QString kUidPrefix = QStringLiteral("uidl:");
const QString kHeaderPrefix = QStringLiteral("hdr:");
const QString kDigestPrefix = QStringLiteral("sha256:");

QString headerIdentity(const net::HeaderInfo& info)
{
    if (info.messageId.isEmpty() && info.date.isEmpty())
        return QString();
    return kHeaderPrefix + info.messageId + QLatin1Char('|') + info.date;
}

QString digestIdentity(const QByteArray& rawHeader)
{
    return kDigestPrefix
        + QString::fromLatin1(QCryptographicHash::hash(rawHeader, QCryptographicHash::Sha256).toHex());
}

QHash<QString, int> tally(const QStringList& identities)
{
    QHash<QString, int> count;
    for (const QString& id : identities)
        ++count[id];
    return count;
}

// Empties every identity that is empty already or occurs more than once.
void dropShared(QStringList& identities)
{
    const QHash<QString, int> count = tally(identities);
    for (QString& id : identities) {
        if (count.value(id) != 1)
            id.clear();
    }
}

} // namespace

ListedHeader describeHeader(const QByteArray& rawHeader)
{
    const net::HeaderInfo info = net::parseHeader(rawHeader);
    return {net::listLine(info), headerIdentity(info), digestIdentity(rawHeader)};
}

QString uidIdentity(const QByteArray& uid)
{
    return uid.isEmpty() ? QString() : kUidPrefix + QString::fromLatin1(uid);
}

IdentityKind identityKind(const QString& identity)
{
    if (identity.startsWith(kUidPrefix))
        return IdentityKind::Uid;
    if (identity.startsWith(kHeaderPrefix))
        return IdentityKind::Header;
    if (identity.startsWith(kDigestPrefix))
        return IdentityKind::Digest;
    return IdentityKind::None;
}

QString headerIdentityOfKind(IdentityKind kind, const QByteArray& rawHeader)
{
    switch (kind) {
    case IdentityKind::Header: return headerIdentity(net::parseHeader(rawHeader));
    case IdentityKind::Digest: return digestIdentity(rawHeader);
    case IdentityKind::Uid:
    case IdentityKind::None: break;
    }
    return QString();
}

QStringList assignIdentities(const std::optional<std::map<int, QByteArray>>& uids,
                             const QList<ListedHeader>& headers)
{
    QStringList ids;
    ids.reserve(headers.size());
    if (uids) {
        for (int i = 1; i <= headers.size(); ++i) {
            const auto it = uids->find(i);
            ids.append(it == uids->end() ? QString() : uidIdentity(it->second));
        }
        dropShared(ids);
        return ids;
    }
    for (const ListedHeader& h : headers)
        ids.append(h.byHeader);
    const QHash<QString, int> byHeader = tally(ids);
    QStringList digests;
    digests.reserve(headers.size());
    for (const ListedHeader& h : headers)
        digests.append(h.byDigest);
    dropShared(digests);
    for (int i = 0; i < ids.size(); ++i) {
        if (ids.at(i).isEmpty() || byHeader.value(ids.at(i)) != 1)
            ids[i] = digests.at(i);
    }
    return ids;
}

} // namespace watch
