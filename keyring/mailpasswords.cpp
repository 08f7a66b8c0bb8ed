#include "mailpasswords.h"

#include "errordisplay.h"
#include "log.h"
#include "mailboxsettings.h"
#include "offthread.h"
#include "platform.h"
#include "smtpsettings.h"
#include "userfilescope.h"
#include "username.h"

#include <QList>
#include <QMutexLocker>
#include <array>
#include <mutex>
#include <utility>

namespace keyring {

namespace {

std::array<std::atomic<quint64>, 2> g_changes{};

std::atomic<quint64>& changesOf(AccountKind kind)
{
    return g_changes[kind == AccountKind::Mailbox ? 0 : 1];
}

// A dialog's write to the keyring and the move-over's, one at a time, and
// how many writes a dialog has begun for each kind of account: the
// move-over does not store a password from the file over one a dialog
// stored after the file was read.
std::mutex g_writeMutex;
std::array<quint64, 2> g_dialogWrites{}; // under g_writeMutex

quint64& dialogWritesOf(AccountKind kind)
{
    return g_dialogWrites[kind == AccountKind::Mailbox ? 0 : 1];
}

quint64 dialogWrites(AccountKind kind)
{
    const std::lock_guard lock(g_writeMutex);
    return dialogWritesOf(kind);
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
    QString password; // unscrambled
    quint64 dialogWrites = 0; // a dialog's writes to the keyring when the file was read
};

} // namespace

bool keyringThere()
{
    SecretStore* s = store();
    if (s && rt::awaitOffThreadResult([s] { return s->available(); }))
        return true;
    rt::writeLog(QStringLiteral("ADVARSEL: ingen nøkkelring (Secret Service) på skrivebordet, så passordene "
                                "blir liggende i innstillingsfilen %1")
                     .arg(rt::userSettingsFile()));
    return false;
}

void moveOverPasswords()
{
    const QString file = rt::userSettingsFile();
    QList<FilePassword> found;
    {
        const settings::UserFileScope userFile;
        const settings::StoredMailboxSettings mailbox = settings::readStoredMailboxSettings();
        const settings::SmtpSettings smtp = settings::readSmtpSettings();
        const FilePassword inFile[] = {
            {accountFor(AccountKind::Mailbox, mailbox.serverName, mailbox.user), mailbox.password.value_or(QString()),
             dialogWrites(AccountKind::Mailbox)},
            {accountFor(AccountKind::Smtp, smtp.serverName, smtp.user), smtp.password, dialogWrites(AccountKind::Smtp)},
        };
        // Without a server there is nothing to name an entry after; such a
        // password stays where it is.
        for (const FilePassword& p : inFile) {
            if (!p.password.isEmpty() && p.account.valid())
                found.append(p);
        }
    }

    if (!keyringThere())
        return;
    SecretStore* s = store();
    for (const FilePassword& p : found) {
        // A dialog that saved this account's password since the file was
        // read (while a question of the keyring's was open, say) has put
        // the newer one in the keyring or the file: neither is overwritten.
        bool superseded = false;
        const Result r = rt::awaitOffThreadResult([&]() -> Result {
            const std::lock_guard lock(g_writeMutex);
            superseded = dialogWritesOf(p.account.kind) != p.dialogWrites;
            if (superseded)
                return {Status::Ok, {}, {}, {}};
            return storeVerified(*s, p.account, p.password);
        });
        if (superseded)
            continue;
        if (!r.ok()) {
            rt::writeLog(QStringLiteral("ADVARSEL: INIFIL: passordet til %1 ble ikke flyttet til nøkkelringen og "
                                        "blir liggende i %2: %3")
                             .arg(accountText(p.account), file, describeForLog(r)));
            continue;
        }
        // Only the very password that went to the keyring is taken out.
        const bool unchanged = p.account.kind == AccountKind::Mailbox ? settings::clearStoredMailboxPassword(p.password)
                                                                      : settings::clearStoredSmtpPassword(p.password);
        if (unchanged)
            rt::writeLog(QStringLiteral("INIFIL: passordet til %1 er flyttet fra %2 til nøkkelringen (\"%3\")")
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
    // Left as loaded from the keyring: the keyring keeps what it has.
    const bool asLoaded = now == loaded.account && typed == loaded.shown && !loaded.inFile;
    if (asLoaded && !typed.isEmpty())
        return std::nullopt;
    // Empty as it opened. An empty password has nothing to keep in the
    // keyring: the file says it itself (scrambled, "z2"), keyring or not.
    // Only a field the keyring could not fill leaves the keyring to say.
    if (typed.isEmpty() && loaded.shown.isEmpty())
        return loaded.failure.isEmpty() ? std::optional<QString>(typed) : std::nullopt;
    const Result r = rt::awaitOffThreadResult([&]() -> Result {
        if (!s->available())
            return {Status::Unavailable, {}, {}, {}};
        const std::lock_guard lock(g_writeMutex);
        ++dialogWritesOf(now.kind);
        if (typed.isEmpty())
            return s->remove(now);
        return storeVerified(*s, now, typed);
    });
    if (r.ok()) {
        ++changesOf(now.kind);
        // A removed password is an empty one, which the file keeps.
        return typed.isEmpty() ? std::optional<QString>(typed) : std::nullopt;
    }
    if (r.status == Status::Unavailable)
        return typed;
    const QString text = typed.isEmpty()
        ? QStringLiteral("Passordet til %1 kunne ikke fjernes fra nøkkelringen: %2.")
        : QStringLiteral("Passordet til %1 ble lagret i innstillingsfilen, siden nøkkelringen ikke tok imot det: %2.");
    rt::writeLog(QStringLiteral("ADVARSEL: ") + text.arg(accountText(now), describeForLog(r)));
    rt::platform().messageBox(rt::applicationTitle(), text.arg(accountText(now), describe(r)), rt::MsgIcon::Warning);
    return typed;
}

quint64 keyringChanges(AccountKind kind)
{
    return changesOf(kind).load();
}

namespace {

// The password a log-in is to use, read from the keyring off the window
// thread (the settings file had none). nullopt when there is none to be
// had: failure then holds the store's answer, NotFound when neither the
// keyring nor the file holds one (also without a keyring). An account
// without a server gets an empty password: its log-in fails on the missing
// server, which says more.
std::optional<QString> passwordForLogIn(const Account& account, bool mayAsk, Result& failure)
{
    if (!account.valid())
        return QString();
    SecretStore* s = store();
    Result r = s ? rt::awaitOffThreadResult([&] { return s->read(account, mayAsk); })
                 : Result{Status::Unavailable, {}, {}, {}};
    switch (r.status) {
    case Status::Ok:
        if (!r.password.isEmpty())
            return r.password;
        [[fallthrough]];
    case Status::NotFound:
    case Status::Unavailable:
        failure = {Status::NotFound, {}, {}, {}};
        return std::nullopt;
    case Status::Locked:
    case Status::Failed:
    case Status::Cancelled:
        break;
    }
    failure = std::move(r);
    return std::nullopt;
}

QString noPasswordText(const Account& account)
{
    return QStringLiteral("Det er ikke lagret noe passord for %1.").arg(accountText(account));
}

} // namespace

std::optional<QString> passwordFromKeyring(const Account& account, QString* failure)
{
    Result r;
    std::optional<QString> password = passwordForLogIn(account, true, r);
    if (!password && failure) {
        *failure = r.status == Status::NotFound
            ? noPasswordText(account) + QStringLiteral(" Skriv det inn under «Oppsett».")
            : QStringLiteral("Passordet for SMTP-kontoen kunne ikke hentes fra nøkkelringen: %1").arg(describe(r));
        if (r.status != Status::Cancelled)
            rt::writeLog(r.status == Status::NotFound
                             ? QStringLiteral("ADVARSEL: det er ikke lagret noe passord for %1, så meldingen ble "
                                              "ikke sendt")
                                   .arg(accountText(account))
                             : QStringLiteral("ADVARSEL: passordet til %1 kunne ikke hentes fra nøkkelringen: %2")
                                   .arg(accountText(account), describeForLog(r)));
    }
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
    // keyring has been unlocked some other way. (A missing password was
    // never a question.)
    if (r.status != Status::NotFound)
        m_mayAsk = false;
    const QString who = accountText(account);
    const QMutexLocker lock(&m_mutex);
    if (m_told)
        return std::nullopt;
    if (r.status == Status::NotFound) {
        m_notice = noPasswordText(account)
            + QStringLiteral("\n\nPostkassen sjekkes ikke før et passord er lagret. Skriv det inn under «Oppsett» i "
                             "menyen.");
        m_logLine = QStringLiteral("ADVARSEL: det er ikke lagret noe passord for %1; postkassen sjekkes ikke før et "
                                   "passord er lagret under «Oppsett»")
                        .arg(who);
    } else {
        m_notice = QStringLiteral("Passordet til %1 kunne ikke hentes fra nøkkelringen: %2.\n\nPostkassen sjekkes "
                                  "ikke før passordet kan hentes. Velg «Brevglimt» i menyen for å prøve igjen.")
                       .arg(who, describe(r));
        m_logLine = QStringLiteral("ADVARSEL: passordet til %1 kunne ikke hentes fra nøkkelringen: %2; postkassen "
                                   "sjekkes ikke før det kan hentes")
                        .arg(who, describeForLog(r));
    }
    return std::nullopt;
}

QString MailboxPassword::takeNotice()
{
    QString notice, logLine;
    {
        const QMutexLocker lock(&m_mutex);
        if (m_told || m_notice.isEmpty())
            return {};
        m_told = true;
        notice = std::exchange(m_notice, QString());
        logLine = std::exchange(m_logLine, QString());
    }
    rt::writeLog(logLine);
    return notice;
}

void MailboxPassword::allowAsking()
{
    m_mayAsk = true;
    const QMutexLocker lock(&m_mutex);
    m_told = false;
}

} // namespace keyring
