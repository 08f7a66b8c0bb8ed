// An IMAP4rev1 client (RFC 3501) for watching one INBOX, as a thin layer on
// the line channel: CAPABILITY, STARTTLS, LOGIN or AUTHENTICATE PLAIN
// (RFC 4616, with the initial response of RFC 4959 where offered), EXAMINE
// or SELECT, UID SEARCH, UID FETCH, UID STORE, UID EXPUNGE (RFC 4315),
// IDLE (RFC 2177), NOOP and LOGOUT. Blocking: each call returns when the
// server has answered or a time-out has passed. A server's refusal is
// reported after a Norwegian lead: "Serveren avviste innloggingen:
// [AUTHENTICATIONFAILED] Authentication failed."
//
// Messages are named by UID only, never by sequence number, so a message
// another program removes meanwhile can never be mistaken for another.
//
// One thread uses a client at a time; only interrupt(), clearInterrupt()
// and interruptRequested() may be called from any thread, so that a watcher
// can end a long IDLE on its worker thread at once.
#pragma once

#include "neterror.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace net {

// What SELECT or EXAMINE told about INBOX.
struct ImapMailbox {
    // The UIDs' validity: a UID names the same message only while this
    // stays; 0 when the server sent none.
    std::uint32_t uidValidity = 0;
    // Messages in the mailbox; kept up to date by EXISTS and EXPUNGE.
    std::uint32_t exists = 0;
    std::optional<std::uint32_t> uidNext;
    // CONDSTORE servers (RFC 7162) only.
    std::optional<std::uint64_t> highestModSeq;
    bool readOnly = true;
};

// What the server reported on its own since the last takeChanges():
// untagged EXISTS, EXPUNGE and FETCH responses after the mailbox was opened,
// and a changed UIDVALIDITY.
struct ImapChanges {
    std::optional<std::uint32_t> exists; // the last count reported
    int expunged = 0;
    int flagUpdates = 0; // FETCH responses nobody asked for (flags changed)
    bool uidValidityChanged = false;

    bool any() const { return exists || expunged > 0 || flagUpdates > 0 || uidValidityChanged; }
};

class ImapClient {
public:
    using Clock = std::chrono::steady_clock;

    ImapClient();
    ~ImapClient(); // closes the socket without LOGOUT
    ImapClient(const ImapClient&) = delete;
    ImapClient& operator=(const ImapClient&) = delete;

    QString host;
    std::uint16_t port = 143;
    QString user;
    QString password;
    // Read at each command, so a probe may run with a shorter reply time.
    Timeouts timeouts;
    // TLS from the first byte. Always so on port 993; set it for a server
    // that expects TLS at once on another port. Otherwise the session starts
    // in clear text and turns to TLS with STARTTLS when the server lists it;
    // a server that lists no STARTTLS gets the login in clear text (to this
    // machine, or with the user's consent, net/cleartext.h). A server that
    // expects TLS from the first byte on another port is found out without
    // the flag, at the cost of a short wait (see connect()).
    bool implicitTls = false;
    bool usesImplicitTls() const { return implicitTls || port == 993; }

    // Fired when the TCP connection stands, and when it has been closed
    // (by a logout, a failure, or because the server dropped it).
    std::function<void()> onConnected;
    std::function<void()> onDisconnected;

    bool connected() const;
    bool encrypted() const;

    // TCP connection, the TLS handshake when usesImplicitTls(); otherwise a
    // server that sends no greeting within a few seconds (kTlsProbeMs, or
    // the reply time-out when shorter) gets a TLS handshake on a fresh
    // connection, and the session goes on over TLS when it works (this
    // client then starts TLS at once on later connections to the same host
    // and port); when it does not, a last plain connection waits the whole
    // reply time-out for the greeting before "Tidsavbrudd: ingen svar fra
    // host:port innen …" (net/linechannel.h). Then the greeting
    // ("* OK"; "* PREAUTH" skips the login; "* BYE" is a refusal),
    // CAPABILITY unless the greeting named them; when they list STARTTLS and
    // TLS is not up yet: STARTTLS, the handshake and CAPABILITY again. Then
    // the login and CAPABILITY, in one write:
    //   - AUTHENTICATE PLAIN with the initial response when AUTH=PLAIN and
    //     SASL-IR are listed;
    //   - otherwise LOGIN, unless LOGINDISABLED is listed (the user name and
    //     password as quoted strings, or as literals where they hold bytes a
    //     quoted string cannot: LITERAL+ or LITERAL- literals go in the same
    //     write, others each wait for the server's "+");
    //   - otherwise AUTHENTICATE PLAIN, waiting for the server's "+".
    // A server that allows neither gets nothing and the call throws. The
    // server's certificate is checked as net/tls.h says. A failed greeting,
    // STARTTLS or login closes the connection at once and throws with the
    // server's text or tls.h's; the password is never sent unencrypted to a
    // server that offered STARTTLS.
    void connect();
    // connect(), with EXAMINE INBOX (readOnly) or SELECT INBOX and UID SEARCH
    // UNSEEN UNDELETED sent in the same write as the login. Returns the
    // unseen UIDs as searchUnseen() does. A refused login is reported as by
    // connect() and nothing after it is used; a refused EXAMINE/SELECT or
    // SEARCH throws as selectInbox() and searchUnseen() do, the connection
    // staying open.
    QList<std::uint32_t> connectAndSearch(bool readOnly);

    // Capabilities from the last CAPABILITY (or a response's [CAPABILITY]
    // code), upper-cased: "IMAP4REV1", "IDLE", "UIDPLUS", "AUTH=PLAIN".
    const QStringList& capabilities() const;
    bool hasCapability(const QString& name) const;

    // EXAMINE INBOX (readOnly: nothing can be marked read or deleted) or
    // SELECT INBOX. "NO"/"BAD" throws
    // "Serveren avviste EXAMINE INBOX: …" and leaves no mailbox open.
    const ImapMailbox& selectInbox(bool readOnly);
    // The state of the open mailbox (the default when none is open).
    const ImapMailbox& mailbox() const;
    bool mailboxOpen() const;

    // UID SEARCH UNSEEN UNDELETED: the UIDs ascending (oldest first),
    // without repeats. ReopenFirst sends EXAMINE/SELECT INBOX again (as it
    // is open) in the same write, for a connection that has stood open: a
    // search covers only what the server has taken in, and a server takes
    // in what arrived meanwhile surely only when the mailbox is opened.
    // A refused reopening throws as selectInbox() does.
    enum class SearchSync { None, ReopenFirst };
    QList<std::uint32_t> searchUnseen(SearchSync sync = SearchSync::None);

    // The From, Subject, Date and Message-ID header fields of the messages
    // with the given UIDs (BODY.PEEK[HEADER.FIELDS (...)]: nothing is marked
    // \Seen), in as few UID FETCH commands as the command length allows (one
    // for any run of consecutive UIDs), each header handed to sink as it
    // arrives: lines ending in CR LF, then an empty line. A UID the mailbox
    // no longer holds is just left out. On "NO"/"BAD" the headers received
    // before it have been handed over, the rest of the answers are read (the
    // connection stays in step) and NetError is thrown with the server's
    // text; a sink that throws has its exception passed on the same way.
    void fetchHeaders(const QList<std::uint32_t>& uids,
                      const std::function<void(std::uint32_t uid, const QByteArray& header)>& sink);

    // UID FETCH uid BODY.PEEK[]: true with the whole message as stored,
    // which stays unseen (markSeen() marks it). Only a FETCH answer naming
    // this UID counts. False with refusal set (when given) on "NO"/"BAD"
    // ("Serveren avviste UID FETCH 12: …") or when the message is gone
    // ("Meldingen med UID 12 finnes ikke lenger på …"). A message above
    // kMessageCap is refused as its size is announced, before any of it is
    // read, and the connection is closed.
    bool fetchMessage(std::uint32_t uid, QByteArray& message, QString* refusal = nullptr);

    // UID STORE uid +FLAGS.SILENT (\Seen) on the SELECTed mailbox: the
    // message counts as read. "NO"/"BAD" throws ("Serveren avviste UID
    // STORE 12: …", as after EXAMINE: "…: Mailbox is read-only"); a UID the
    // mailbox no longer holds is no error.
    void markSeen(std::uint32_t uid);

    enum class Deletion {
        Expunged, // UID STORE +FLAGS.SILENT (\Deleted), then UID EXPUNGE
        FlaggedOnly, // no UIDPLUS: only the flag was set, no EXPUNGE was sent
    };
    // Deletes the message uid. Never a plain EXPUNGE, which would also remove
    // the messages other programs marked. "NO"/"BAD" throws
    // ("Serveren avviste UID STORE 12: …", "… UID EXPUNGE 12: …"); after a
    // refused UID EXPUNGE the message stays marked \Deleted.
    Deletion deleteMessage(std::uint32_t uid);

    // NOOP: what the server reports on its own comes with its answer (see
    // takeChanges()). Fails with the time-out text when the server does not
    // answer within the reply time-out: a probe of a quiet connection.
    void noop();

    // The changes reported since the last call, and forgets them.
    ImapChanges takeChanges();

    enum class IdleEnd {
        Changed, // the server reported a change (takeChanges()); IDLE ended with DONE
        TimeUp, // nothing happened within maxWait; IDLE ended with DONE
        ServerEnded, // the server ended IDLE on its own
        Interrupted, // interrupt(); the connection is still in IDLE
    };
    // IDLE on the open mailbox until the server reports a change, maxWait
    // passes or interrupt() is called. Returns at once, without IDLE,
    // Interrupted while interrupt() is in force and Changed when changes
    // wait in takeChanges(). With KeepIdling a change leaves the IDLE
    // standing (the next idle() call goes on listening in it), so news
    // costs no round trip. After Interrupted, or Changed with KeepIdling,
    // the next command (or logout) ends the IDLE with DONE first; so does
    // a TimeUp. Throws when the
    // server lists no IDLE ("… tilbyr ikke IDLE"), refuses it, says BYE
    // ("Serveren avsluttet forbindelsen: …") or stops answering.
    enum class OnChange { EndIdle, KeepIdling };
    IdleEnd idle(std::chrono::milliseconds maxWait, OnChange onChange = OnChange::EndIdle);
    bool idling() const;

    // Any thread: ends a wait of the client at once. idle() returns
    // Interrupted; any other wait for the server fails with "Ventingen på …
    // ble avbrutt" and closes the connection. Stays in force, also for the
    // next connect(), until clearInterrupt().
    void interrupt();
    void clearInterrupt();
    bool interruptRequested() const;

    // LOGOUT (DONE first in IDLE), the answer awaited, then the connection
    // closed; quiet, also when not connected.
    void disconnect();
    // LOGOUT (DONE first in IDLE) if the socket takes it at once, and the
    // connection closed without waiting for any answer.
    void logoutWithoutWaiting();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace net
