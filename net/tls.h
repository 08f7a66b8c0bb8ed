// TLS for the protocol clients, on Poco's NetSSL: the client context, the
// handshake on a connected socket (STLS, STARTTLS, AUTH TLS, or implicit TLS
// right after connecting), and Norwegian texts for a refused certificate.
//
// A server's certificate chain is checked against OpenSSL's default trusted
// roots (on Debian the ca-certificates bundle) and its names against the host
// name or address the user gave. Any failed check stops the handshake with a
// NetError; no certificate is ever accepted because a handler said so, and
// nothing here falls back to clear text.
//
// Typical use, after the server accepted STLS / STARTTLS / AUTH TLS:
//
//     net::SigpipeGuard guard;
//     Poco::Net::SecureStreamSocket tls = net::startTls(plain, host);
//     plain = {}; // the TLS socket owns the connection now
//
// and for an FTPS data connection to the same server:
//
//     net::startTls(dataSocket, host, &controlSocket);
#pragma once

#include "interrupter.h"
#include "neterror.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <QString>

#include <cstdint>
#include <map>
#include <mutex>
#include <signal.h>

namespace net {

// Sets up NetSSL once per process: OpenSSL, and as Poco's certificate handler
// one that refuses every certificate OpenSSL refused (Poco would otherwise
// make a console prompt its handler). The functions below call it; further
// calls do nothing.
void initializeTls();

// A PEM file of CA certificates trusted in addition to the system's roots by
// every context made afterwards. Empty (the default): the system's roots
// only. Meant for tests, which bring their own CA.
void setExtraTrustedCaFile(const QString& path);
QString extraTrustedCaFile();

// A client context for connections to host (a name, or an IP address
// without brackets): TLS 1.2 or newer, no anonymous cipher suites, the peer's
// chain checked against the trusted roots and its subjectAltName (or common
// name) against host, with OpenSSL's rules. The host check lives in the
// context, so each server gets its own. Throws NetError when the context
// cannot be made (an unreadable extra CA file, a host name OpenSSL refuses).
Poco::Net::Context::Ptr tlsClientContext(const QString& host);

// The TLS handshake as a client of host on a connected, blocking plain
// socket. Each wait is bounded by the socket's receive timeout (set it
// before; zero means a day). The socket is blocking again on return.
//
// Returns the TLS socket. It shares the connection with plain, so drop plain
// afterwards without closing it; closing either closes both.
//
// resumeFrom: an established TLS connection to the same server whose context
// and session the new one reuses (FTPS data connections: many servers refuse
// a data connection that does not resume the control connection's session).
//
// A server certificate pinned for host and plain's peer port (see
// CertificatePins) is accepted in spite of an unknown issuer.
//
// Throws NetError, without touching plain beyond the failed handshake (a
// CertificateError for a refused certificate):
//   "Sertifikatet til <host> kan ikke godtas: det er utløpt"
//   "…: utstederens sertifikat er utløpt", "…: det er ikke gyldig ennå",
//   "…: utstederen er ukjent" (unknown or self-signed issuer),
//   "…: det gjelder ikke for dette navnet", "…: det er trukket tilbake",
//   "Sertifikatet til <host> kan ikke godtas (<OpenSSL's reason>)" otherwise;
//   "<host> sendte ikke noe sertifikat";
//   "Tidsavbrudd under TLS-forhandlingen med <host>:<port>";
//   "Forbindelsen til <host> ble brutt under TLS-forhandlingen";
//   "TLS-forhandlingen med <host> mislyktes: <reason>".
// The caller should then close the connection.
//
// toleratedRefusal: for a session that carries nothing secret (opportunistic
// encryption, e.g. SMTP without a login), where an unverified encryption is
// still better than clear text. The certificate is checked as above, but a
// failed check does not stop the handshake: its text (as thrown above) goes
// here instead, and stays empty when the certificate passed. Not with
// resumeFrom.
//
// interrupter: when raised, ends the handshake as shutdown does, with
// "Ventingen på <host> ble avbrutt".
Poco::Net::SecureStreamSocket startTls(Poco::Net::StreamSocket& plain, const QString& host,
                                       Poco::Net::SecureStreamSocket* resumeFrom = nullptr,
                                       QString* toleratedRefusal = nullptr,
                                       const Interrupter* interrupter = nullptr);

// Implicit TLS (POP3 on 995, SMTP on 465): connects to address within
// timeouts.connectMs, sets timeouts.replyMs as receive and send timeout, then
// performs the handshake with host as in startTls(). Throws NetError:
// "Kan ikke koble til <host>:<port>: <reason>", or what startTls() throws.
Poco::Net::SecureStreamSocket connectTls(const Poco::Net::SocketAddress& address, const QString& host,
                                         const Timeouts& timeouts);

// A certificate the system cannot verify, pinned by the user: the SHA-256
// fingerprint (lower-case hex of the DER encoding) of the server's own
// certificate, per host and port. A pinned certificate waives only the
// "issuer unknown" failures (unknown or self-signed issuer) of exactly that
// certificate at exactly that host and port; an expired certificate, one for
// another name or any other certificate is refused as before.
class CertificatePins {
public:
    static CertificatePins& instance();
    void pin(const QString& host, std::uint16_t port, const QString& fingerprint);
    // Empty when nothing is pinned for host and port.
    QString pinned(const QString& host, std::uint16_t port) const;
    void clear();

    // The key the pins are stored under: "host/port" ("::1/995").
    static QString key(const QString& host, std::uint16_t port);

private:
    mutable std::mutex m_mutex;
    std::map<QString, QString> m_pins;
};

// A refused certificate, with what the user needs to decide about trusting it.
class CertificateError : public NetError {
public:
    CertificateError(const QString& text, QString host, std::uint16_t port, QString fingerprint, bool trustable,
                     bool changed)
        : NetError(text), m_host(std::move(host)), m_port(port), m_fingerprint(std::move(fingerprint)),
          m_trustable(trustable), m_changed(changed)
    {
    }
    const QString& host() const { return m_host; }
    std::uint16_t port() const { return m_port; }
    // SHA-256 of the server's certificate, lower-case hex; empty when unknown.
    const QString& fingerprint() const { return m_fingerprint; }
    // The only fault is an unknown or self-signed issuer: the user may pin it.
    bool trustable() const { return m_trustable; }
    // Another certificate than the one pinned for this server.
    bool changed() const { return m_changed; }

private:
    QString m_host;
    std::uint16_t m_port;
    QString m_fingerprint;
    bool m_trustable;
    bool m_changed;
};

// A fingerprint as the user reads it: upper-case hex pairs joined by ":".
QString displayFingerprint(const QString& fingerprint);

// Keeps SIGPIPE from ending the program while this thread works on a TLS
// socket: OpenSSL writes with write(), not send(MSG_NOSIGNAL), so a command,
// an alert or the close_notify of close() sent to a peer that has gone would
// raise it. Blocks the signal in this thread for the guard's lifetime and
// discards one raised meanwhile; the failed write is still reported as an
// error. (Poco blocks SIGPIPE in the thread that loads it, which threads
// started later inherit; the guard covers threads that unblocked it, and
// leaves no signal pending behind.) Hold one around every send, receive (TLS
// may write while reading) and close of a TLS socket. startTls() and
// connectTls() hold their own. Nests.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_previousMask;
    bool m_unblock = false; // SIGPIPE was unblocked before
    bool m_wasPending = false;
};

} // namespace net
