// The mailbox watcher: owns the session with the server (POP3 or IMAP, as
// the settings say; the strip does not know which) and runs the check, the
// opening and the deletion of a message. Every network step runs on a worker
// thread while the calling (window) thread keeps serving paints and timers;
// the calls themselves return when their steps are done, in the order the
// steps were described. While one operation runs, any other request is
// refused, so the session is never shared and no check nests inside another.
//
// With IMAP the watcher also keeps a push connection in IDLE (imappush.h)
// from the start (ensurePush(), and after every check), and reports the
// server's changes.
#pragma once

#include "imapclient.h"
#include "imappush.h"
#include "lineidentity.h"
#include "listcache.h"
#include "mailboxsettings.h"
#include "offthread.h"
#include "pop3client.h"

#include <QObject>
#include <QScopeGuard>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace watch {

// A message as a completed check listed it.
struct ListedMessage {
    LineIdentity identity;
    QString sender;
    QString subject;
};

class MailboxWatcher : public QObject {
    Q_OBJECT
public:
    explicit MailboxWatcher(QObject* parent = nullptr);
    ~MailboxWatcher() override;

    // New settings: the server for the next operation.
    void configure(const settings::MailboxSettings& settings);

    const settings::MailboxSettings& settings() const { return m_settings; }
    // A check, open or delete is in progress.
    bool busy() const { return m_busy; }
    // A POP3 connection is standing (left over from a failed step).
    bool sessionOpen() const;

    // Where the log-in password comes from when the settings carry none
    // (it lives in the desktop's keyring). Asked on the worker thread, since
    // a keyring may first ask the user to unlock it, before an operation
    // logs in; a password it gives holds until the next configure(). No
    // value: the password cannot be had now, so the operation contacts no
    // server and returns as one refused while busy (ran false, Ignored),
    // and passwordUnavailable() is emitted. Without a source the settings'
    // password is used as it is.
    using PasswordSource = std::function<std::optional<QString>(const settings::MailboxSettings&)>;
    void setPasswordSource(PasswordSource source);

    void setAllowPipelining(bool on);
    void setTimeouts(const net::Timeouts& timeouts);
    // For the push connection's next start.
    void setPushTiming(const ImapPush::Timing& timing) { m_push.setTiming(timing); }
    ImapPush::State pushState() const { return m_push.state(); }
    // Why push is down (empty while it is not).
    QString pushFailure() const { return m_push.failure(); }
    // With IMAP: starts the push for the configured account unless it runs
    // for it already, asking the password source first where needed.
    // Without IMAP or a server: ends any push. While another operation
    // runs nothing happens here; that operation starts it when it ends.
    void ensurePush();
    // Replaces the push connection at once (after a wake-up or a network
    // change); nothing without one.
    void reconnectPush() { m_push.reconnect(); }

    struct CheckReport {
        bool ran = false; // false: refused while busy
        int count = 0;
    };
    // One check: close a session left open, connect and log in, count the
    // waiting messages (POP3: STAT; IMAP: UID SEARCH UNSEEN UNDELETED in
    // INBOX), read the headers (the list lines are reported by linesRead,
    // also those read before a failure), report the count, log out. Where the
    // server gives every message a unique id (POP3 UIDL, IMAP UIDVALIDITY and
    // UID), only the headers of messages the last checks did not list are
    // read; the others' lines come from the list cache, which is kept in
    // settings().cacheFolder between runs. Nothing was changed on the
    // server, so the goodbye is not waited for. A network failure, a refused
    // login or a refused command throws net::NetError; the steps after it do
    // not run. With IMAP every check, whether or not it went through,
    // leaves the push running for the account (it retries on its own).
    CheckReport check();

    enum class Outcome {
        Done,
        Ignored,      // another operation runs
        Unidentified, // the line has no identity; nothing was sent
        Changed,      // the number names another message now; the session is closed
        Refused,      // RETR (UID FETCH) refused; the session is closed
        FlaggedOnly,  // IMAP without UIDPLUS: the message is only marked \Deleted
    };
    // What names a fetched IMAP message, so it can be marked read once the
    // desktop showed it.
    struct SeenMark {
        CacheOwner account; // the mailbox it was fetched from
        std::uint32_t uidValidity = 0;
        std::uint32_t uid = 0;
    };
    struct Retrieved {
        Outcome outcome = Outcome::Ignored;
        QByteArray message; // lines as sent, dot-stuffing removed, CR LF ended
        QString refusal;    // with Refused: what the server said
        std::optional<SeenMark> seenMark; // IMAP, with Done
    };
    // Opens line row's message: connect when needed, make sure the number
    // (IMAP: the UID) still names the message the line stood for, RETR
    // (IMAP: UID FETCH BODY.PEEK[], which leaves it unread), log out.
    Retrieved retrieveMessage(int row);
    // IMAP: marks a message retrieveMessage() fetched as read (UID STORE
    // +FLAGS.SILENT (\Seen)), once the desktop showed it; nothing when
    // the settings name another mailbox now or its UIDVALIDITY changed. False, with nothing
    // sent, while another operation runs; a refusal or a network failure
    // throws.
    bool markSeen(const SeenMark& mark);
    // Deletes line row's message: connect when needed, make sure of the
    // message, DELE and QUIT (IMAP: UID STORE \Deleted and UID EXPUNGE, or
    // the flag alone without UIDPLUS). A refusal throws; with POP3 a QUIT
    // the server does not confirm throws too, since the server then does not
    // delete.
    Outcome deleteMessage(int row);

    // Whether line row of the last check can be told apart from the others.
    bool lineIdentified(int row) const;

signals:
    void checkStarted();  // a check is about to contact the server
    void actionStarted(); // an open or delete is about to contact the server
    void connectionOpened();
    void connectionClosed();
    // The lines of a check, in mailbox order: all of them, those read before
    // a failing TOP, or none when the mailbox is empty.
    void linesRead(const QStringList& lines);
    void countRead(int count);
    // After a check that read the whole mailbox: each message with what
    // names it (none when it cannot be told apart), in mailbox order. Not
    // sent when the check failed part-way.
    void messagesListed(const QList<watch::ListedMessage>& messages);
    // An operation did not run: the password source could not give the
    // password.
    void passwordUnavailable();
    // IMAP push: the server reported a change in INBOX; a check shows it.
    void serverReportedChange();
    // IMAP push came up or went down (down: the connection failed and is
    // being reopened).
    void pushDown(bool down);

private:
    class BusyScope;
    // Runs one network step on the worker thread and waits for it. Only one
    // step runs at a time: the session is the step's alone.
    template <class F>
    auto step(F&& work) -> std::invoke_result_t<F&>;
    void afterStep();
    // Reads and reports the lines; the lines to keep in the cache when the
    // check could use it.
    std::optional<QHash<QByteArray, CachedLine>> readLines(int count);
    // Headers 1 … count: the cached line where the message's id is known,
    // TOP for the numbers in toRead (in runs of consecutive numbers). On a
    // failure, headers holds those before the failing number.
    void readChangedHeaders(int count, const std::map<int, QByteArray>& uids, const QList<int>& toRead,
                            QList<ListedHeader>& headers);
    CacheOwner cacheOwner() const;
    QString cachePath() const;
    // Worker thread: the cache of the configured mailbox, read from its file
    // when another mailbox's (or none) is held.
    void loadCacheFor(const CacheOwner& owner, const QString& path, const QByteArray& key);
    // Worker thread: forgets every cached line and removes the file.
    void dropCache(const QString& path);
    // Keeps what a whole check listed; writes the file when it changed.
    void storeInCache(QHash<QByteArray, CachedLine> lines);
    // Puts the log-in password in the sessions: the settings' own, else the
    // source's (asked once per configure()). False when it cannot be had.
    bool obtainPassword();
    // The password the sessions log in with: the settings' own, else the
    // one the source gave.
    QString logInPassword() const;
    // after: what the log-in asks for along with it (the check: the count).
    void connectUnlessOpen(net::Pop3Client::AfterLogin after = net::Pop3Client::AfterLogin::Nothing);
    // Runs step, asking the user about a certificate or a log-in without
    // encryption where one stops it, then once more after a yes.
    void withServerQuestions(const std::function<void()>& step);

    // IMAP.
    CheckReport checkImap();
    // Connects and opens INBOX for changes (SELECT), unless that stands.
    void selectForChanges();
    // True when the UID of line row still names the message the line was
    // made from in the same UIDVALIDITY (its header and its text); otherwise
    // the session is closed and false returned.
    bool imapStillHolds(int row);
    Retrieved retrieveImap(int row);
    Outcome deleteImap(int row);
    ImapPush::Account pushAccount() const;
    // Starts the push for the configured IMAP account unless it runs for
    // it; the password must be at hand (obtainPassword()).
    void startPushForAccount();
    // Worker thread: UID SEARCH on the connection a check kept, awaited
    // briefly. False when that connection no longer answers.
    bool searchOnKeptSession(QList<std::uint32_t>& unseen);
    // Closes the connection a check kept (not while an operation runs).
    void dropKeptSession();
    // True when number row + 1 still holds the message line row was made
    // from (its unique id or header names, its header and its text);
    // otherwise the session is closed and false returned.
    bool stillNamesItsMessage(int row);

    net::Pop3Client m_client;
    net::ImapClient m_imap;
    ImapPush m_push;
    settings::MailboxSettings m_settings;
    PasswordSource m_passwordSource;
    std::optional<QString> m_sourcedPassword;
    QList<ListedLine> m_lines;
    // IMAP: the UID of each line, and the UIDVALIDITY they belong to.
    QList<std::uint32_t> m_rowUids;
    std::uint32_t m_uidValidity = 0;
    // While push is up, a check keeps its connection, INBOX open read-only,
    // for the next check: news then reaches the list without a log-in.
    // Used again for at most kKeepSessionFor, its first answer awaited for
    // at most kKeptSessionReplyMs.
    using KeptClock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes kKeepSessionFor{10};
    static constexpr int kKeptSessionReplyMs = 3000;
    std::optional<KeptClock::time_point> m_keptSince;
    ListCache m_cache;
    bool m_cacheLoaded = false;
    bool m_cacheFailureLogged = false;
    bool m_busy = false;
    bool m_stepRunning = false;
};

template <class F>
auto MailboxWatcher::step(F&& work) -> std::invoke_result_t<F&>
{
    if (m_stepRunning)
        throw std::logic_error("a network step was started while another one runs");
    m_stepRunning = true;
    const auto done = qScopeGuard([this] { afterStep(); });
    return rt::awaitOffThreadResult(std::forward<F>(work));
}

} // namespace watch
