// The mailbox watcher: owns the POP3 session and runs the check, the opening
// and the deletion of a message. Every network step runs on a worker thread
// while the calling (window) thread keeps serving paints and timers; the
// calls themselves return when their steps are done, in the order the steps
// were described. While one operation runs, any other request is refused, so
// the session is never shared and no check nests inside another.
#pragma once

#include "lineidentity.h"
#include "listcache.h"
#include "mailboxsettings.h"
#include "pop3client.h"

#include <QObject>
#include <QStringList>
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
    void configure(const MailboxSettings& settings);

    const MailboxSettings& settings() const { return m_settings; }
    // A check, open or delete is in progress.
    bool busy() const { return m_busy; }
    // A POP3 connection is standing (left over from a failed step).
    bool sessionOpen() const;

    void setAllowPipelining(bool on);
    void setTimeouts(const net::Timeouts& timeouts);

    struct CheckReport {
        bool ran = false; // false: refused while busy
        int count = 0;
    };
    // One check: close a session left open, connect and log in, STAT, read
    // the headers (the list lines are reported by linesRead, also those read
    // before a failure), report the count, QUIT (not waited for: nothing
    // was changed). Where the server gives
    // every message a unique id, only the headers of messages the last
    // checks did not list are read (TOP); the others' lines come from the
    // list cache, which is kept in settings().cacheFolder between runs. A network failure, a
    // refused login or "-ERR" to STAT or TOP throws net::NetError; the steps
    // after it do not run.
    CheckReport check();

    enum class Outcome {
        Done,
        Ignored,      // another operation runs
        Unidentified, // the line has no identity; nothing was sent
        Changed,      // the number names another message now; the session is closed
        Refused,      // RETR refused; the session is closed
    };
    struct Retrieved {
        Outcome outcome = Outcome::Ignored;
        QByteArray message; // lines as sent, dot-stuffing removed, CR LF ended
        QString refusal;    // with Refused: what the server said
    };
    // Opens line row's message: connect when needed, make sure the number
    // still names the message the line stood for, RETR, QUIT.
    Retrieved retrieveMessage(int row);
    // Deletes line row's message: connect when needed, make sure of the
    // message, DELE, QUIT. "-ERR" to DELE throws (the session stays open);
    // a QUIT the server does not confirm throws too, since the server then
    // does not delete.
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
    // after: what the log-in asks for along with it (the check: the count).
    void connectUnlessOpen(net::Pop3Client::AfterLogin after = net::Pop3Client::AfterLogin::Nothing);
    // True when number row + 1 still holds the message line row was made
    // from (its unique id or header names, its header and its text);
    // otherwise the session is closed and false returned.
    bool stillNamesItsMessage(int row);

    net::Pop3Client m_client;
    MailboxSettings m_settings;
    QList<ListedLine> m_lines;
    ListCache m_cache;
    bool m_cacheLoaded = false;
    bool m_cacheFailureLogged = false;
    bool m_busy = false;
    bool m_stepRunning = false;
};

} // namespace watch
