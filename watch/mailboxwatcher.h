// The mailbox watcher: runs the check, the opening and the deletion of a
// message through the session of the configured protocol (POP3 or IMAP,
// mailboxsession.h; the strip does not know which). Every network step runs
// on a worker thread while the calling (window) thread keeps serving paints
// and timers; the calls themselves return when their steps are done, in the
// order the steps were described. While one operation runs, any other
// request is refused, so the session is never shared and no check nests
// inside another.
//
// With IMAP the watcher also keeps a push connection in IDLE (imappush.h)
// from the start (ensurePush(), and after every check), and reports the
// server's changes.
#pragma once

#include "imappush.h"
#include "lineidentity.h"
#include "listcache.h"
#include "mailboxsession.h"
#include "mailboxsettings.h"
#include "offthread.h"

#include <QObject>
#include <QScopeGuard>
#include <QStringList>
#include <functional>
#include <memory>
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

class MailboxWatcher : public QObject, private SessionSteps {
    Q_OBJECT
public:
    explicit MailboxWatcher(QObject* parent = nullptr);
    ~MailboxWatcher() override;

    // New settings: the server for the next operation.
    void configure(const settings::MailboxSettings& settings);

    const settings::MailboxSettings& settings() const { return m_settings; }
    // A check, open or delete is in progress.
    bool busy() const { return m_busy; }
    // A connection is standing (left over from a failed step, or kept by an
    // IMAP check for the next one).
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

    // The sessions' results, under the names the watcher's callers use.
    using Outcome = ActionOutcome;
    using SeenMark = watch::SeenMark;
    using Retrieved = RetrievedMessage;

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
    // SessionSteps, for the sessions' own steps.
    void run(const std::function<void()>& work) override;
    void runAskingUser(const std::function<void()>& work) override;

    // The session for a protocol, wired to this watcher's signals.
    std::shared_ptr<MailboxSession> makeSession(settings::MailProtocol protocol);
    // Makes the lines of a check the current ones and reports them.
    void showLines(const MailboxListing& listing);
    // True when line row still names the message it was made from on the
    // server; otherwise the session is closed and false returned.
    bool stillHolds(MailboxSession& session, int row);

    CacheOwner cacheOwner() const;
    QString cachePath() const;
    // Worker thread: the cache of the configured mailbox, read from its file
    // when another mailbox's (or none) is held.
    void loadCacheFor(const CacheOwner& owner, const QString& path, const QByteArray& key);
    // Worker thread: forgets every cached line and removes the file.
    void dropCache(const QString& path);
    // Keeps what a whole check listed; writes the file when it changed.
    void storeInCache(QHash<QByteArray, CachedLine> lines);
    // Gives the session the log-in, with the password: the settings' own,
    // else the source's (asked once per configure()). False when it cannot
    // be had.
    bool obtainPassword(MailboxSession& session);
    // The password the sessions log in with: the settings' own, else the
    // one the source gave.
    QString logInPassword() const;
    // Runs step, asking the user about a certificate or a log-in without
    // encryption where one stops it, then once more after a yes.
    void withServerQuestions(const std::function<void()>& step);

    ImapPush::Account pushAccount() const;
    // Starts the push for the configured IMAP account unless it runs for
    // it; the password must be at hand (obtainPassword()).
    void startPushForAccount();

    // The configured protocol's session. An operation holds on to the one
    // it started with, should the settings change while it runs.
    std::shared_ptr<MailboxSession> m_session;
    SessionOptions m_options;
    ImapPush m_push;
    settings::MailboxSettings m_settings;
    PasswordSource m_passwordSource;
    std::optional<QString> m_sourcedPassword;
    QList<ListedLine> m_lines;
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
