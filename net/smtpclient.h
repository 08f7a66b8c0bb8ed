// An SMTP client (RFC 5321: EHLO with HELO as fallback, SIZE, SMTPUTF8;
// STARTTLS or TLS from the first byte; AUTH PLAIN and LOGIN) as a thin layer
// on Poco's sockets; the message it sends is laid out by outgoingmessage.h.
// Blocking: each call returns when the server has answered or a time-out
// has passed.
#pragma once

#include "connect.h" // isLoopbackHost()
#include "neterror.h"
#include "outgoingmessage.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

namespace net {

class SmtpClient {
public:
    SmtpClient();
    ~SmtpClient(); // closes the socket without QUIT
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    QString host;
    std::uint16_t port = 25;
    Timeouts timeouts;
    // The name given in EHLO; empty: the machine's name when it is a domain
    // name, else the connection's local address as an address literal.
    QString heloName;
    // TLS from the first byte (SMTPS). Always so on port 465; set it for a
    // server that expects TLS at once on another port. Otherwise the session
    // starts in clear text and turns to TLS with STARTTLS when EHLO lists it.
    bool implicitTls = false;
    bool usesImplicitTls() const { return implicitTls || port == 465; }
    // Log in with user and password after EHLO (AUTH PLAIN when the server
    // lists it, else AUTH LOGIN). The password goes only over TLS, or in
    // clear text to a loopback host (isLoopbackHost()).
    bool authenticate = false;
    QString user;
    QString password;

    bool connected() const;
    // Connected, and the session runs over TLS.
    bool encrypted() const;
    // After connect(): the text of the certificate check that failed but
    // was let pass (opportunistic STARTTLS, see connect()), as tls.h words
    // it ("Sertifikatet til <host> kan ikke godtas: utstederen er ukjent");
    // empty when the certificate passed or was not tolerated.
    const QString& certificateWarning() const;

    // TCP connection, the TLS handshake when usesImplicitTls(), the server's
    // greeting (220 expected), EHLO; a server that refuses EHLO gets HELO.
    // When EHLO lists STARTTLS and TLS is not up yet: STARTTLS, the
    // handshake and EHLO again. The server's certificate is checked as
    // net/tls.h says; after STARTTLS without authenticate (nothing secret
    // goes over the connection) a certificate that fails the check does not
    // stop the session, and certificateWarning() tells why it failed. Then,
    // when authenticate is set, the login. A refusal,
    // a failed STARTTLS or certificate check, a server that offers no usable
    // login or a password that would go unencrypted closes the connection
    // and throws (a refusal as "Serveren avviste <what>: <the server's
    // reply>", tls.h's text, or our own); nothing
    // falls back to clear text, and the password never appears in a text.
    void connect();
    // The EHLO extensions, keyword upper-cased with its parameters as the
    // server wrote them ("SIZE 10240000", "8BITMIME", "STARTTLS"); those of
    // the EHLO after STARTTLS replace the first; empty after HELO.
    const QStringList& capabilities() const;
    bool hasCapability(const QString& keyword) const;

    // Lays the message out (reading the attachment), then MAIL FROM, one
    // RCPT TO per recipient and DATA. Any refusal throws with the server's
    // reply; the transaction is reset and the connection stays usable.
    // Checked before anything is sent: at least one recipient, every
    // address usable, the size within the server's SIZE limit.
    void send(const OutgoingMail& mail);

    // QUIT, then the connection is closed; quiet when not connected or when
    // the server is gone.
    void disconnect();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace net
