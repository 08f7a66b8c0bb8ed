#include "secretstore.h"

#include "hostport.h"

#include <atomic>

namespace keyring {

namespace {
std::atomic<SecretStore*> g_store{nullptr};
}

Account accountFor(AccountKind kind, const QString& serverName, const QString& user)
{
    // The port given is irrelevant here; any default does.
    const net::HostPort server = net::splitHostPort(serverName.trimmed(), 1);
    return {kind, server.host.toLower(), user};
}

QString accountText(const Account& account)
{
    const QString kind = account.kind == AccountKind::Mailbox ? QStringLiteral("innboks") : QStringLiteral("SMTP");
    if (account.user.isEmpty())
        return QStringLiteral("%1 (%2)").arg(account.host, kind);
    return QStringLiteral("%1 på %2 (%3)").arg(account.user, account.host, kind);
}

QString entryName(const Account& account)
{
    return QStringLiteral("Brevglimt: ") + accountText(account);
}

QString describe(const Result& result)
{
    switch (result.status) {
    case Status::Ok:
        return {};
    case Status::NotFound:
        return QStringLiteral("nøkkelringen har ikke noe passord for kontoen");
    case Status::Unavailable:
        return QStringLiteral("det er ingen nøkkelring (Secret Service) på skrivebordet");
    case Status::Locked:
        return QStringLiteral("nøkkelringen er låst");
    case Status::Cancelled:
        return QStringLiteral("avbrutt fordi programmet avsluttes");
    case Status::Failed:
        break;
    }
    if (result.detail.isEmpty())
        return QStringLiteral("feil i nøkkelringen");
    return QStringLiteral("feil i nøkkelringen: %1").arg(result.detail);
}

QString describeForLog(const Result& result)
{
    const QString cause = describe(result);
    if (result.technical.isEmpty())
        return cause;
    return QStringLiteral("%1 (%2)").arg(cause, result.technical);
}

SecretStore* store()
{
    return g_store.load();
}

void setStore(SecretStore* s)
{
    g_store.store(s);
}

} // namespace keyring
