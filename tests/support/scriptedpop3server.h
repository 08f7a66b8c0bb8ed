// A small POP3 server for tests: a mailbox in memory, configurable
// capabilities and injected faults. It listens on the loopback address from
// construction until stop() or destruction and serves one session at a time
// on its own thread.
#pragma once

#include "scriptbook.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <memory>

namespace testsupport {

enum class Pop3FaultAction {
    Error, // answer "-ERR <text>"
    Drop, // close the connection without answering
    Stall, // wait stallMs, then answer normally; stallMs < 0: never answer
    Reply, // send `text` as the whole answer (garbage, a bare "+OK", ...)
    Reset, // close the connection without answering, with a TCP reset
    Trickle, // answer normally (or with `text` when given), one byte every stallMs
    Endless, // send `text`, then lines of 1000 bytes until the client goes
    ErrorAndClose, // answer "-ERR <text>", then close the connection
};

// One misbehaviour: when a command matches (its argument: the first one
// equals it), the server does `action` instead of (or, for a timed stall,
// before) its normal answer.
struct Pop3Fault : ScriptedFault<Pop3Fault, Pop3FaultAction> {
    static Pop3Fault error(const QByteArray& verb, const QByteArray& text = "failed");
    static Pop3Fault drop(const QByteArray& verb);
    static Pop3Fault stall(const QByteArray& verb, int ms = -1);
    static Pop3Fault reply(const QByteArray& verb, const QByteArray& line);
    static Pop3Fault reset(const QByteArray& verb);
    static Pop3Fault endless(const QByteArray& verb, const QByteArray& first);
    static Pop3Fault trickle(const QByteArray& verb, int msPerByte, const QByteArray& text = {});
    static Pop3Fault errorAndClose(const QByteArray& verb, const QByteArray& text);
};

struct ScriptedPop3Options {
    bool ipv6 = false; // listen on ::1 instead of 127.0.0.1
    std::uint16_t port = 0; // 0: the system chooses
    QByteArray user = "user";
    QByteArray password = "secret";
    // TLS: the server's certificate (PEM, any chain after it) and its key.
    // With them CAPA lists STLS and STLS turns the session to TLS, unless
    // implicitTls, which makes every session TLS from the first byte.
    QString certificateFile{};
    QString keyFile{};
    bool implicitTls = false;
};

class ScriptedPop3Server {
public:
    // Listens at once; throws std::runtime_error when that fails or the
    // certificate or key cannot be loaded.
    explicit ScriptedPop3Server(const ScriptedPop3Options& options = {});
    ~ScriptedPop3Server(); // stop()
    ScriptedPop3Server(const ScriptedPop3Server&) = delete;
    ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

    // Closes the listener and any open session (a client waiting for an
    // answer sees the connection closed) and joins the thread. Idempotent.
    void stop();

    std::uint16_t port() const;
    QString host() const; // "127.0.0.1" or "::1"

    // The mailbox. A session works on the state at its login; deletions are
    // applied at its QUIT. Each message keeps its unique id while it stays.
    void setMessages(const QList<QByteArray>& messages);
    // Returns the message's unique id; an empty uid gets a generated one.
    QByteArray addMessage(const QByteArray& raw, const QByteArray& uid = {});
    void removeMessage(int index); // 0-based
    QList<QByteArray> messages() const;
    QList<QByteArray> uniqueIds() const;

    void setCredentials(const QByteArray& user, const QByteArray& password);
    // The CAPA lines, by default USER, UIDL, TOP, PIPELINING. AUTH PLAIN
    // (with or without the initial response) is served whatever they say.
    void setCapabilities(const QList<QByteArray>& lines);
    QList<QByteArray> capabilities() const;
    void setPipelining(bool on); // lists PIPELINING or not
    void setUidl(bool on); // off: not listed and UIDL answers "-ERR"
    void setCapa(bool on); // off: CAPA answers "-ERR"
    // A pause before every answer, the greeting included.
    void setReplyDelayMs(int ms);

    void addFault(const Pop3Fault& fault);
    void clearFaults();

    // Every command line received, in order, over all sessions.
    QList<QByteArray> received() const;
    // The command lines of received() that came in clear text, before any
    // TLS was up.
    QList<QByteArray> receivedInClear() const;
    // The same, first words only, upper-cased ("CAPA", "USER", ...).
    QList<QByteArray> receivedVerbs() const;
    void clearReceived();
    int sessionCount() const;
    // The most complete command lines that were waiting to be answered at
    // once: above 1 only when a client pipelined.
    int maxQueuedCommands() const;
    // How often a timed stall ended early because the client closed the
    // connection: an answer the client did not wait for.
    int answersNotAwaited() const;
    // Waits (up to timeoutMs) until count sessions have ended, each having
    // read and answered what its client sent before closing. False on
    // time-out.
    bool waitForEndedSessions(int count, int timeoutMs = 10000) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace testsupport
