// What the protocol clients (POP3, IMAP, SMTP, FTP) do alike around their
// control connection, so that each does it the same way:
//
// - a failure either closes the connection (failClosed) or leaves it open
//   for the next command (failOpen); either way the text is scrubbed of the
//   log-in's secrets before anyone sees it;
// - a TLS step (the handshake after STLS / STARTTLS / AUTH TLS, implicit
//   TLS, TLS found from the first byte) closes the connection when it fails,
//   but passes a refused certificate on whole, so the user may choose to
//   trust it;
// - after the server agreed to start TLS, bytes that came behind its answer
//   arrived in clear text and end the session;
// - before a password goes out: no line break in user name or password, and
//   without TLS the user's consent to a clear-text log-in.
//
// A client's state behind its public interface derives from ClientSession
// and says, in afterClose(), what else a closed connection ends.
#pragma once

#include "linechannel.h"
#include "neterror.h"
#include "tls.h" // CertificateError

#include <QString>

#include <cstdint>

namespace net {

// True when s holds CR, LF or NUL, which would end a command line early.
bool hasLineBreak(const QString& s);

class ClientSession {
public:
    ClientSession();
    virtual ~ClientSession() = default;
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // The control connection. Its own failures close it through failClosed().
    LineChannel control;

    // Closes the connection (quietly when it is not open), then afterClose().
    void close(bool notify);

    [[noreturn]] void failClosed(const QString& text);
    [[noreturn]] void failOpen(const QString& text);

    // Connects to host and port, control.where naming the server in texts.
    // A failed connection is thrown scrubbed; nothing was open to close.
    void connectTo(const QString& where, const QString& host, std::uint16_t port, const Timeouts& timeouts);

    // Runs a TLS step of the channel and returns what it returns. A refused
    // certificate closes the connection and is passed on as it is (a
    // CertificateError); any other failure closes it with its text.
    template <class F>
    auto tlsStep(F step)
    {
        try {
            return step();
        } catch (const CertificateError&) {
            close(true);
            throw;
        } catch (const NetError& e) {
            failClosed(e.text());
        }
    }

    // The TLS handshake on the connection as a tlsStep() (see
    // LineChannel::startTls for toleratedRefusal).
    void startTls(const QString& host, QString* toleratedRefusal = nullptr);

    // After the server accepted STLS / STARTTLS / AUTH TLS: whatever came
    // after its answer arrived in clear text and could have been put there
    // by anyone on the way, so it fails the session with strayInputText;
    // otherwise the handshake as startTls(), and the TLS session starts clean.
    void upgradeToTls(const QString& host, const QString& strayInputText, QString* toleratedRefusal = nullptr);

    // Without TLS the password would travel in clear text: only to this
    // machine, or to a server the user agreed to (net/cleartext.h). Closes
    // the connection and passes the ClearTextError on otherwise.
    void requireClearTextConsent(const QString& host, std::uint16_t port, const QString& why);

    // User name and password must not break the command line they go in;
    // closes the connection when one would.
    void requireSingleLineLogin(const QString& user, const QString& password);

    // Removes secrets from a text before it is shown (none by default).
    virtual QString scrub(QString text) const { return text; }

protected:
    // After the connection was closed: drops what belonged to the session
    // and, when notify, tells the client's owner.
    virtual void afterClose(bool notify) { (void)notify; }
};

} // namespace net
