// A small IMAP4rev1 server for tests: one INBOX in memory with UIDs and the
// \Seen and \Deleted flags, configurable capabilities and injected faults.
// It listens on the loopback address from construction until stop() or
// destruction and serves each session on a thread of its own, side by side.
//
// Sessions see the mailbox live: what a test changes (a message added,
// removed or marked seen, as another program would) reaches a session in
// IDLE at once, and any other at its next NOOP, as EXISTS, EXPUNGE and
// FETCH (FLAGS) responses.
#pragma once

#include "scriptbook.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <memory>

namespace testsupport {

enum class ImapFaultAction {
    No, // answer "<tag> NO <text>"
    Bad, // answer "<tag> BAD <text>"
    Drop, // close the connection without answering
    Stall, // wait stallMs, then answer normally; stallMs < 0: never answer
    Reply, // send `text` ("{tag}" becomes the command's tag) as the whole answer
    Reset, // close the connection without answering, with a TCP reset
    Trickle, // answer normally (or with `text`), one byte every stallMs
    Endless, // send `text`, then untagged lines of 1000 bytes until the client goes
    Bye, // send "* BYE <text>" and close the connection
    Before, // send `text` (untagged responses) first, then the normal answer
    IdleNotice, // in IDLE: stallMs after the "+", send `text`; the IDLE goes on
    IdleEnd, // in IDLE: stallMs after the "+", end it unasked: "<tag> OK <text>"
};

// One misbehaviour: when a command matches (its verb: "LOGIN", "UID FETCH",
// "DONE", "GREETING" for the server's first line, or "LITERAL" for the
// "+" a synchronizing literal waits for; its argument: the command line
// holds it), the server does `action` instead of (or, for a timed stall and
// Before, ahead of) its normal answer. A scripted "* PREAUTH" greeting logs
// the session in.
struct ImapFault : ScriptedFault<ImapFault, ImapFaultAction> {
    static ImapFault no(const QByteArray& verb, const QByteArray& text = "failed");
    static ImapFault bad(const QByteArray& verb, const QByteArray& text = "failed");
    static ImapFault drop(const QByteArray& verb);
    static ImapFault stall(const QByteArray& verb, int ms = -1);
    static ImapFault reply(const QByteArray& verb, const QByteArray& text);
    static ImapFault reset(const QByteArray& verb);
    static ImapFault trickle(const QByteArray& verb, int msPerByte, const QByteArray& text = {});
    static ImapFault endless(const QByteArray& verb, const QByteArray& first = {});
    static ImapFault bye(const QByteArray& verb, const QByteArray& text = "Server shutting down");
    static ImapFault before(const QByteArray& verb, const QByteArray& untagged);
    static ImapFault idleNotice(int afterMs, const QByteArray& untagged);
    static ImapFault idleEnd(int afterMs, const QByteArray& text = "IDLE timed out");
};

struct ScriptedImapOptions {
    bool ipv6 = false; // listen on ::1 instead of 127.0.0.1
    std::uint16_t port = 0; // 0: the system chooses
    QByteArray user = "user";
    QByteArray password = "secret";
    // TLS: the server's certificate (PEM, any chain after it) and its key.
    // With them CAPABILITY lists STARTTLS and STARTTLS turns the session to
    // TLS, unless implicitTls, which makes every session TLS from the first
    // byte.
    QString certificateFile{};
    QString keyFile{};
    bool implicitTls = false;
};

class ScriptedImapServer {
public:
    // Listens at once; throws std::runtime_error when that fails or the
    // certificate or key cannot be loaded.
    explicit ScriptedImapServer(const ScriptedImapOptions& options = {});
    ~ScriptedImapServer(); // stop()
    ScriptedImapServer(const ScriptedImapServer&) = delete;
    ScriptedImapServer& operator=(const ScriptedImapServer&) = delete;

    // Closes the listener and any open session and joins the thread.
    void stop();

    std::uint16_t port() const;
    QString host() const; // "127.0.0.1" or "::1"

    // The mailbox. Messages get ascending UIDs from 1 (or where the last
    // one left off); all start unseen.
    void setMessages(const QList<QByteArray>& messages);
    std::uint32_t addMessage(const QByteArray& raw);
    // Removes the message, as another program's expunge would.
    void removeMessage(std::uint32_t uid);
    // Sets or clears \Seen, as another program reading the message would.
    void setSeen(std::uint32_t uid, bool seen);
    // Sets or clears \Deleted, as another program marking it would.
    void setDeleted(std::uint32_t uid, bool deleted);
    QList<std::uint32_t> uids() const;
    bool seen(std::uint32_t uid) const;
    bool deleted(std::uint32_t uid) const;
    QByteArray message(std::uint32_t uid) const;
    void setUidValidity(std::uint32_t value);
    std::uint32_t uidValidity() const;

    void setCredentials(const QByteArray& user, const QByteArray& password);
    // The CAPABILITY list, by default IMAP4rev1 IDLE UIDPLUS AUTH=PLAIN
    // SASL-IR; STARTTLS is added while TLS can be started. "LOGINDISABLED"
    // makes LOGIN fail outside TLS and is left out once the session is
    // encrypted; without "AUTH=PLAIN" AUTHENTICATE fails, without "IDLE"
    // IDLE and without "UIDPLUS" UID EXPUNGE are unknown.
    void setCapabilities(const QList<QByteArray>& words);
    QList<QByteArray> capabilities() const;
    // A pause before every answer, the greeting included.
    void setReplyDelayMs(int ms);

    void addFault(const ImapFault& fault);
    void clearFaults();

    // Every command received over all sessions, in order, without its tag;
    // literals and the lines sent after a "+" stay inside the command after
    // a CR LF ("LOGIN {4}\r\nkari {6}\r\nsecret").
    QList<QByteArray> received() const;
    // Those that came in clear text, before any TLS was up.
    QList<QByteArray> receivedInClear() const;
    // Their verbs, upper-cased, two words for UID commands: "LOGIN",
    // "UID FETCH", "DONE".
    QList<QByteArray> receivedVerbs() const;
    void clearReceived();
    int sessionCount() const;
    // The most complete command lines that were waiting to be answered at
    // once: above 1 only when a client pipelined.
    int maxQueuedCommands() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace testsupport
