#include "mailpasswords.h"

#include "errordisplay.h"
#include "felles.h"
#include "offthread.h"
#include "platform.h"
#include "textfil.h"
#include "zt_reg.h"

#include <QList>
#include <QMutexLocker>
#include <array>
#include <utility>

namespace keyring {

namespace {

const QString kServerPassword = QStringLiteral("ServerPassword");

std::array<std::atomic<quint64>, 2> g_changes{};

std::atomic<quint64>& changesOf(AccountKind kind)
{
    return g_changes[kind == AccountKind::Mailbox ? 0 : 1];
}

QString sectionOf(AccountKind kind)
{
    return kind == AccountKind::Mailbox ? QStringLiteral("Pop3") : QStringLiteral("Smtp");
}

// Stores the password and reads it back: Ok only when the keyring gives
// back exactly what it was given.
Result storeVerified(SecretStore& s, const Account& account, const QString& password)
{
    const Result written = s.write(account, password);
    if (!written.ok())
        return written;
    const Result back = s.read(account, false);
    if (back.status == Status::NotFound)
        return {Status::Failed, {}, QStringLiteral("passordet var borte da det ble lest tilbake")};
    if (!back.ok())
        return back;
    if (back.password != password)
        return {Status::Failed, {}, QStringLiteral("den ga et annet passord tilbake enn den fikk")};
    return {Status::Ok, {}, {}};
}

// A password the settings file holds, as found at start-up.
struct FilePassword {
    Account account;
    QString stored;   // the value as it stands in the file
    QString password; // unscrambled
};

} // namespace

void moveOverPasswords()
{
    const QString file = rt::userIniFile();
    QList<FilePassword> found;
    rt::useuserini();
    for (const AccountKind kind : {AccountKind::Mailbox, AccountKind::Smtp}) {
        rt::iniselect(sectionOf(kind));
        FilePassword p;
        p.account = accountFor(kind, rt::inireadstring(QStringLiteral("ServerName")),
                               rt::inireadstring(QStringLiteral("ServerUser")));
        p.stored = rt::inireadstring(kServerPassword);
        p.password = kind == AccountKind::Mailbox ? rt::UnscrambleText(p.stored) : p.stored;
        // Without a server there is nothing to name an entry after; such a
        // password stays where it is.
        if (!p.password.isEmpty() && p.account.valid())
            found.append(p);
    }
    rt::inistandard();
    rt::usemainini();

    SecretStore* s = store();
    if (!s || !rt::awaitOffThreadResult([s] { return s->available(); })) {
        rt::WriteLog(QStringLiteral("ADVARSEL: ingen nøkkelring (Secret Service) på skrivebordet, så passordene "
                                    "blir liggende i innstillingsfilen %1")
                         .arg(file));
        return;
    }
    for (const FilePassword& p : found) {
        const Result r = rt::awaitOffThreadResult([&] { return storeVerified(*s, p.account, p.password); });
        if (!r.ok()) {
            rt::WriteLog(QStringLiteral("ADVARSEL: INIFIL: passordet til %1 ble ikke flyttet til nøkkelringen og "
                                        "blir liggende i %2: %3")
                             .arg(accountText(p.account), file, describe(r)));
            continue;
        }
        rt::useuserini();
        rt::iniselect(sectionOf(p.account.kind));
        // Only the very value that went to the keyring is taken out.
        const bool unchanged = rt::inireadstring(kServerPassword) == p.stored;
        if (unchanged)
            rt::iniwritestring(kServerPassword, QString());
        rt::inistandard();
        rt::usemainini();
        if (unchanged)
            rt::WriteLog(QStringLiteral("INIFIL: passordet til %1 er flyttet fra %2 til nøkkelringen (\"%3\")")
                             .arg(accountText(p.account), file, entryName(p.account)));
    }
}

LoadedPassword loadPassword(const Account& account, const QString& fileValue)
{
    LoadedPassword loaded{account, fileValue, !fileValue.isEmpty(), {}};
    SecretStore* s = store();
    if (loaded.inFile || !s || !account.valid())
        return loaded;
    const Result r = rt::awaitOffThreadResult([&] { return s->read(account, true); });
    if (r.ok())
        loaded.shown = r.password;
    else if (r.status != Status::NotFound && r.status != Status::Unavailable)
        loaded.failure = describe(r);
    return loaded;
}

std::optional<QString> savePassword(const LoadedPassword& loaded, const Account& now, const QString& typed)
{
    SecretStore* s = store();
    if (!s || !now.valid())
        return typed;
    // Left as loaded from the keyring (also when the keyring could not give
    // it), or empty as it opened: the keyring keeps what it has.
    const bool asLoaded = now == loaded.account && typed == loaded.shown && !loaded.inFile;
    if (asLoaded || (typed.isEmpty() && loaded.shown.isEmpty()))
        return std::nullopt;
    const Result r = rt::awaitOffThreadResult([&]() -> Result {
        if (!s->available())
            return {Status::Unavailable, {}, {}};
        if (typed.isEmpty())
            return s->remove(now);
        return storeVerified(*s, now, typed);
    });
    if (r.ok()) {
        ++changesOf(now.kind);
        return std::nullopt;
    }
    if (r.status == Status::Unavailable)
        return typed;
    const QString text = typed.isEmpty()
        ? QStringLiteral("Passordet til %1 kunne ikke fjernes fra nøkkelringen: %2.")
        : QStringLiteral("Passordet til %1 ble lagret i innstillingsfilen, siden nøkkelringen ikke tok imot det: %2.");
    rt::WriteLog(QStringLiteral("ADVARSEL: ") + text.arg(accountText(now), describe(r)));
    rt::platform().messageBox(rt::applicationTitle(), text.arg(accountText(now), describe(r)), rt::MsgIcon::Warning);
    return typed;
}

quint64 keyringChanges(AccountKind kind)
{
    return changesOf(kind).load();
}

namespace {

// The password a log-in is to use, read from the keyring off the window
// thread: empty when the keyring has none or there is no keyring (as an
// empty settings file gave); nullopt when it cannot be had now, with the
// store's answer in failure.
std::optional<QString> passwordForLogIn(const Account& account, bool mayAsk, Result& failure)
{
    SecretStore* s = store();
    if (!s || !account.valid())
        return QString();
    Result r = rt::awaitOffThreadResult([&] { return s->read(account, mayAsk); });
    switch (r.status) {
    case Status::Ok:
        return r.password;
    case Status::NotFound:
    case Status::Unavailable:
        return QString();
    case Status::Locked:
    case Status::Failed:
    case Status::Cancelled:
        break;
    }
    failure = std::move(r);
    return std::nullopt;
}

} // namespace

std::optional<QString> passwordFromKeyring(const Account& account, QString* failure)
{
    Result r;
    std::optional<QString> password = passwordForLogIn(account, true, r);
    if (!password && failure)
        *failure = describe(r);
    return password;
}

std::optional<QString> MailboxPassword::fetch(const Account& account)
{
    Result r;
    std::optional<QString> password = passwordForLogIn(account, m_mayAsk.load(), r);
    // Had, or the program is ending: nothing to tell.
    if (password || r.status == Status::Cancelled)
        return password;
    // Later checks do not ask the user again; they go ahead once the
    // keyring has been unlocked some other way.
    m_mayAsk = false;
    const QMutexLocker lock(&m_mutex);
    if (!m_told) {
        m_failedAccount = accountText(account);
        m_failure = describe(r);
    }
    return std::nullopt;
}

QString MailboxPassword::takeNotice()
{
    QString account, cause;
    {
        const QMutexLocker lock(&m_mutex);
        if (m_told || m_failure.isEmpty())
            return {};
        m_told = true;
        account = std::exchange(m_failedAccount, QString());
        cause = std::exchange(m_failure, QString());
    }
    rt::WriteLog(QStringLiteral("ADVARSEL: passordet til %1 kunne ikke hentes fra nøkkelringen: %2; postkassen "
                                "sjekkes ikke før det kan hentes")
                     .arg(account, cause));
    return QStringLiteral("Passordet til %1 kunne ikke hentes fra nøkkelringen: %2.\n\nPostkassen sjekkes ikke før "
                          "passordet kan hentes. Velg «Brevglimt» i menyen for å prøve igjen.")
        .arg(account, cause);
}

void MailboxPassword::allowAsking()
{
    m_mayAsk = true;
    const QMutexLocker lock(&m_mutex);
    m_told = false;
}

} // namespace keyring
