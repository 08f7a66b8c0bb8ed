// A POP3 client (RFC 1939, RFC 2449 CAPA and PIPELINING, RFC 5034 AUTH
// PLAIN) as a thin layer on Poco's sockets. Blocking: each call returns when the server has answered
// or a time-out has passed. A server's refusal is reported after a Norwegian
// lead: "Serveren avviste innloggingen: [AUTH] authentication failed".
#pragma once

#include "neterror.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace net {

class Pop3Client {
public:
    Pop3Client();
    ~Pop3Client(); // closes the socket without QUIT
    Pop3Client(const Pop3Client&) = delete;
    Pop3Client& operator=(const Pop3Client&) = delete;

    QString host;
    std::uint16_t port = 110;
    QString user;
    QString password;
    Timeouts timeouts;
    // Send TOP commands in batches when the server lists PIPELINING.
    bool allowPipelining = true;
    // TLS from the first byte (POP3S). Always so on port 995; set it for a
    // server that expects TLS at once on another port. Otherwise the session
    // starts in clear text and turns to TLS with STLS when CAPA lists it; a
    // server that lists no STLS gets the login in clear text. A server that
    // expects TLS from the first byte on another port is found out without
    // the flag (see connect()).
    bool implicitTls = false;
    bool usesImplicitTls() const { return implicitTls || port == 995; }

    // Fired when the TCP connection stands, and when it has been closed
    // (by disconnect(), by a failed login, or because the server dropped it).
    std::function<void()> onConnected;
    std::function<void()> onDisconnected;

    bool connected() const;
    // Connected, and the session runs over TLS.
    bool encrypted() const;

    // What connect() asks for along with the log-in.
    enum class AfterLogin {
        Nothing,
        // STAT and UIDL in the log-in's write when the server allows
        // pipelining; messageCount() and uniqueIds() then hand out their
        // answers without another round trip.
        Count,
    };

    // TCP connection, the TLS handshake when usesImplicitTls(), CAPA sent
    // at once. A server that then hangs up without a word, or sends no
    // greeting within a few seconds (kTlsProbeMs, or the reply time-out
    // when shorter), gets a TLS handshake on a fresh connection, and the
    // session goes on over TLS when it works (this client then starts TLS at
    // once on later connections to the same host and port); a silent one
    // that does not do TLS either gets a last plain connection with the
    // whole reply time-out for its greeting before "Tidsavbrudd: ingen svar
    // fra host:port innen …" (net/linechannel.h). Then the greeting ("+OK"
    // expected), CAPA's answer (a "-ERR" to it is accepted); when CAPA lists
    // STLS and TLS is not up yet: STLS, the handshake and CAPA again. Then
    // the log-in: AUTH PLAIN with the initial response when CAPA lists SASL
    // with PLAIN, otherwise USER and PASS; with PIPELINING the log-in (and
    // what `after` asks for) goes in one write. The server's certificate is
    // checked as net/tls.h says. A failed greeting, log-in or STLS (refused,
    // or a failed handshake or certificate check) closes the connection at
    // once, without QUIT, and throws with the server's text or tls.h's.
    // After a failed greeting or STLS the password is never sent; after a
    // refused log-in no answer that came behind the refusal is used.
    void connect(AfterLogin after = AfterLogin::Nothing);
    // Capabilities from the last CAPA (the one after STLS replaces the first),
    // upper-cased first words ("PIPELINING", "UIDL").
    const QStringList& capabilities() const;

    // STAT: the message count; an empty reply text counts 0.
    int messageCount();
    // TOP i 0: the header, dot-stuffing removed, lines ending in CR LF.
    QByteArray retrieveHeader(int i);
    // TOP i 0 for i = first .. last, each header handed to sink in order as
    // it arrives; pipelined in batches when the server allows it. On "-ERR"
    // for message k the headers before k have been handed over, the rest of
    // the batch's replies are read and dropped (the connection stays usable)
    // and NetError is thrown with the server's text.
    void retrieveHeaders(int first, int last, const std::function<void(int, const QByteArray&)>& sink);
    // UIDL: unique id per message number; nothing when the server refuses it.
    std::optional<std::map<int, QByteArray>> uniqueIds();
    // UIDL i: nothing when the server refuses it.
    std::optional<QByteArray> uniqueId(int i);
    // RETR i: true with the message (terminating "." dropped, dot-stuffing
    // removed, CR LF line ends) on "+OK"; false for any other reply, with
    // refusal (when given) set to "Serveren avviste RETR i: <server's text>".
    bool retrieveRaw(int i, QByteArray& message, QString* refusal = nullptr);
    // DELE i; "-ERR" throws.
    void deleteMessage(int i);
    // QUIT, then the connection is closed; quiet when not connected.
    void disconnect();
    // QUIT written and the connection closed at once, without waiting for
    // the answer: for a session that changed nothing on the server. Quiet
    // when not connected.
    void quitWithoutWaiting();
    // QUIT, and the connection closed, where the answer matters (after DELE
    // the server removes messages only on a proper QUIT): throws NetError
    // when the connection drops or times out before "+OK", or on "-ERR".
    void quit();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace net
