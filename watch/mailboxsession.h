// One protocol's side of the mailbox watcher: how a check lists the
// mailbox, how a listed message is found again, opened and deleted. The
// watcher keeps what every protocol shares (the busy state, the worker
// thread, the list cache, the password, the signals, push) and hands each
// operation to the session of the configured protocol: Pop3Session or
// ImapSession.
//
// A session's operations are called on the window thread; their network
// work runs in steps on the watcher's worker thread (SessionSteps).
#pragma once

#include "lineidentity.h"
#include "listcache.h"
#include "neterror.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

namespace watch {

// How an open or delete ended.
enum class ActionOutcome {
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

struct RetrievedMessage {
    ActionOutcome outcome = ActionOutcome::Ignored;
    QByteArray message; // lines as sent, dot-stuffing removed, CR LF ended
    QString refusal;    // with Refused: what the server said
    std::optional<SeenMark> seenMark; // IMAP, with Done
};

// What a check read.
struct MailboxListing {
    // The number the check reports (POP3: STAT's count; IMAP: the lines).
    int count = 0;
    // The headers in mailbox order (on a failure those read before it), and
    // what names each one.
    QList<ListedHeader> headers;
    QList<LineIdentity> identities;
    // What the list cache is to hold from now on; nothing leaves it as it is.
    std::optional<QHash<QByteArray, CachedLine>> toCache;
};

// How a session runs its network work: each step on the watcher's worker
// thread, waited for while the window thread keeps serving its events.
// Only one step runs at a time.
class SessionSteps {
public:
    virtual void run(const std::function<void()>& work) = 0;
    // For a step that connects or logs in: a certificate the user may trust,
    // or a log-in without encryption, is asked about where one stops the
    // step, and after a yes the step runs once more.
    virtual void runAskingUser(const std::function<void()>& work) = 0;

protected:
    ~SessionSteps() = default;
};

struct SessionOptions {
    net::Timeouts timeouts;
    // Commands sent in batches where the server allows it (POP3).
    bool allowPipelining = true;
};

class MailboxSession {
public:
    virtual ~MailboxSession() = default;

    // Called whenever the connection opens or closes, on the worker thread.
    virtual void setConnectionEvents(std::function<void()> opened, std::function<void()> closed) = 0;
    virtual void setOptions(const SessionOptions& options) = 0;
    // Whom the next operation logs in as; set at its start.
    virtual void setLogin(const QString& host, std::uint16_t port, const QString& user, const QString& password) = 0;
    virtual bool connected() const = 0;

    // The first part of a check: connects (closing a connection a failed
    // step left), logs in and learns which messages are waiting. A failure
    // throws net::NetError.
    virtual void openForCheck(SessionSteps& steps) = 0;
    // The second part: reads the waiting messages' headers into listing,
    // those the cache knows from the cache (which cache() gives, read on
    // first use; call it on the worker thread only). On a failure listing
    // holds what was read before it, and the failure is thrown.
    using CacheSource = std::function<const ListCache&()>;
    virtual void list(SessionSteps& steps, MailboxListing& listing, const CacheSource& cache) = 0;
    // The end of a check. Nothing was changed on the server, so the goodbye
    // is not waited for. keepForNext: push is up and will ask for a check
    // soon; a session that can answer it on this connection keeps it.
    virtual void endCheck(SessionSteps& steps, bool keepForNext) = 0;
    // A connection kept for the next check is not used for one any more;
    // it is closed unless an operation is using it (inUse).
    virtual void dropKeptConnection(bool inUse) = 0;

    // Connects where needed and compares line row of the last check with
    // the message the server now holds under its number (POP3) or UID
    // (IMAP): its unique id, its header and its text. Leaves the session
    // open.
    virtual HeaderMatch compareWithServer(SessionSteps& steps, int row, const ListedLine& line) = 0;
    // After compareWithServer found the same message: fetches it whole
    // (into.outcome Done, or Refused with the server's words) and closes
    // the session.
    virtual void retrieve(SessionSteps& steps, int row, RetrievedMessage& into) = 0;
    // After compareWithServer found the same message: deletes it and ends
    // the session so that the deletion holds. A refusal throws.
    virtual ActionOutcome remove(SessionSteps& steps, int row) = 0;
    // Marks a message retrieve() gave a seen mark as read on the server,
    // unless its mailbox has another UIDVALIDITY now; closes the session.
    // A session that gives no seen marks is never asked.
    virtual void markSeen(SessionSteps& steps, const SeenMark& mark) = 0;
    // Closes the session at once.
    virtual void end(SessionSteps& steps) = 0;
};

} // namespace watch
