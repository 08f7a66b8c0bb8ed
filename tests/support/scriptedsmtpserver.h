// A small SMTP server for tests: accepts every message unless told
// otherwise, records the commands and what arrived, and misbehaves on
// demand. It listens on the loopback address from construction until stop()
// or destruction and serves one session at a time on its own thread. With a
// certificate it speaks TLS (STARTTLS, or from the first byte); with login
// mechanisms it takes AUTH PLAIN and AUTH LOGIN and records each attempt.
#pragma once

#include "scriptbook.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <memory>

namespace testsupport {

enum class SmtpFaultAction {
    Reply, // send `text` as the whole answer ("550 5.1.1 No such user")
    Drop, // close the connection without answering
    Stall, // wait stallMs, then answer normally; stallMs < 0: never answer
};

// One misbehaviour: when a command matches, the server does `action`
// instead of (or, for a timed stall, before) its normal answer. Verbs as
// sent, plus "GREETING" and "DOT" (the answer to the end of the message
// data); an argument matches a command line holding it.
struct SmtpFault : ScriptedFault<SmtpFault, SmtpFaultAction> {
    static SmtpFault reply(const QByteArray& verb, const QByteArray& line);
    static SmtpFault drop(const QByteArray& verb);
    static SmtpFault stall(const QByteArray& verb, int ms = -1);
};


// One message as the server took it in.
struct SmtpDelivery {
    QByteArray mailFrom; // the MAIL FROM line after the colon, as written
    QList<QByteArray> rcptTo; // the RCPT TO lines after the colon
    QByteArray data; // between DATA and ".", dot-stuffing removed, CR LF kept
};

// One AUTH exchange as the server decoded it.
struct SmtpLogin {
    QByteArray mechanism; // "PLAIN", "LOGIN"
    QByteArray user;
    QByteArray password;
    bool overTls = false;
    bool accepted = false;
};

struct ScriptedSmtpOptions {
    bool ipv6 = false; // listen on ::1 instead of 127.0.0.1
    // TLS: the server's certificate (PEM, any chain after it) and its key.
    // With them EHLO lists STARTTLS and STARTTLS turns the session to TLS,
    // unless implicitTls, which makes every session TLS from the first byte.
    QString certificateFile{};
    QString keyFile{};
    bool implicitTls = false;
};

class ScriptedSmtpServer {
public:
    // Listens at once; throws std::runtime_error when that fails or the
    // certificate or key cannot be loaded.
    explicit ScriptedSmtpServer(bool ipv6 = false);
    explicit ScriptedSmtpServer(const ScriptedSmtpOptions& options);
    ~ScriptedSmtpServer(); // stop()
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    // Closes the listener and any open session and joins the thread.
    // Idempotent.
    void stop();

    std::uint16_t port() const;
    QString host() const; // "127.0.0.1" or "::1"
    QString hostPort() const; // "127.0.0.1:port" or "[::1]:port"

    // The EHLO lines after the first; by default "SIZE 10485760", "8BITMIME".
    void setExtensions(const QList<QByteArray>& lines);
    // Off: EHLO is answered "502 5.5.2 Command not recognized".
    void setEhlo(bool on);
    // The mechanisms listed as "AUTH ..." in EHLO and taken by AUTH (only
    // "PLAIN" and "LOGIN" are understood); none by default, and then AUTH
    // is refused as an unknown command.
    void setAuthMechanisms(const QList<QByteArray>& mechanisms);
    // What AUTH accepts; by default "user" / "secret".
    void setCredentials(const QByteArray& user, const QByteArray& password);

    void addFault(const SmtpFault& fault);
    void clearFaults();

    // Every command line received, in order, over all sessions (message
    // data not included).
    QList<QByteArray> received() const;
    // The same, first words only, upper-cased ("EHLO", "MAIL", ...).
    QList<QByteArray> receivedVerbs() const;
    // The lines of received() that came in clear text, before any TLS was
    // up; the lines of an AUTH exchange included.
    QList<QByteArray> receivedInClear() const;
    // Every AUTH exchange that got as far as its credentials, in order.
    QList<SmtpLogin> logins() const;
    // The messages accepted with "250" after their data.
    QList<SmtpDelivery> deliveries() const;
    int sessionCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace testsupport
