// The control connection of the protocol clients (POP3, IMAP, SMTP, FTP):
// one plain or TLS socket, commands out, reply lines in, with hard limits.
//
// - Each line is capped (kMaxLine, or what the client names) and so is each
//   whole reply: beginReply() names the reply's cap (kReplyCap for
//   greetings, CAPA, UIDL, EHLO and headers; kMessageCap for a message) and
//   starts its deadline, the reply time-out for the whole reply however
//   slowly it trickles in.
// - The connection (host lookup, TCP connect and a TLS handshake) has one
//   deadline of the connect time-out.
// - A plain connection can find out that the server speaks TLS from the
//   first byte (detectTlsFromFirstByte()).
// - rt::cancelRequested() ends any wait at once (shutdown, SIGTERM), and so
//   does the client's Interrupter when it has one.
//
// Every failure goes through the client's fail handler, which closes what it
// must and throws its NetError; the channel's texts name `where` (the
// client's way of naming the server), but for the time-out, which names host
// and port ("Tidsavbrudd: ingen svar fra imap.example.no:143 innen 60
// sekunder").
#pragma once

#include "interrupter.h"
#include "neterror.h"

#include <Poco/Net/StreamSocket.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace net {

// Longest reply line accepted; anything longer means the stream is not the protocol.
constexpr qsizetype kMaxLine = 64 * 1024;
// Largest reply other than a message: greetings, CAPA, UIDL, EHLO, a header.
constexpr qint64 kReplyCap = 1 << 20;
// Largest message RETR accepts.
constexpr qint64 kMessageCap = qint64(256) << 20;
// How long a plain connection waits for the server's first bytes before it
// tries TLS from the first byte instead (the reply time-out when shorter).
constexpr int kTlsProbeMs = 3000;

// The text of a step ended by shutdown.
QString cancelledText();
// A size cap as the error texts say it: "1 MiB", "256 MiB".
QString capText(qint64 bytes);

// text with secret replaced by "***" wherever it stands, and also without
// the blanks at its ends: server text is often trimmed before it is shown,
// which takes the end blanks of an echoed password along. A text that
// begins with the end of the secret, or ends with its beginning (three
// characters or more: a line cut off inside an echoed secret), has that
// piece hidden too.
QString hideSecret(QString text, const QString& secret);

// The SASL PLAIN response (RFC 4616): no authorization identity, then user
// and password, NUL-separated, in base64.
QByteArray plainToken(const QString& user, const QString& password);

// A server may echo what it got: text with the password, its base64 and the
// PLAIN token hidden as hideSecret hides a secret.
QString hideLogin(QString text, const QString& user, const QString& password);

// "Serveren avviste <what>", then ": " and the server's words when it gave
// any (already scrubbed).
QString refusalText(const QString& what, const QString& serverWords);

// Throws NetError(cancelledText()) once shutdown asked network steps to end.
void throwIfCancelled();

class LineChannel {
public:
    using Clock = std::chrono::steady_clock;

    // Called with a complete error text; closes what the client must and
    // throws. Must not return.
    std::function<void(const QString&)> fail;
    // Removes secrets from server text before it is cut or collapsed.
    std::function<QString(QString)> scrub;
    // How the texts name the server: "pop.example.no" or "smtp.example.no:587".
    QString where;
    Timeouts timeouts;
    // When set, its raise() ends every wait with interruptedText() (or, in
    // waitForInput(), with InputWait::Interrupted).
    const Interrupter* interrupter = nullptr;

    bool isOpen() const { return m_socket != nullptr; }
    bool isTls() const { return m_tls; }
    Poco::Net::StreamSocket& socket() { return *m_socket; }
    const Poco::Net::StreamSocket& socket() const { return *m_socket; }
    // Bytes received but not yet read as lines.
    bool hasPendingInput() const { return m_pos < m_buf.size(); }

    // Lookup, TCP connect; the connect deadline starts here and also bounds
    // a handshake made with startTls() before the first reply.
    void open(const QString& host, std::uint16_t port);
    // The server as the time-out text names it: "imap.example.no:993",
    // "[::1]:10993" (`where` before any open()).
    QString hostPort() const;

    // For a plain connection just opened, before its greeting is read (and
    // after whatever the client sends ahead of it): tells a server in clear
    // text from one that expects TLS from the first byte on a port the
    // client does not know for it. The server counts as a TLS one when it
    // sends nothing within kTlsProbeMs (or the reply time-out when
    // shorter), when its first byte begins a TLS record (an alert), or when
    // it closes without a word (what a TLS server does with a command in
    // clear text). The connection is then closed and a fresh one to the same
    // host and port tries the TLS handshake, within that same short wait;
    // its certificate is checked as for implicit TLS (a refused one is
    // thrown as CertificateError, the caller closes). When the handshake
    // fails the first finding stands: the closed connection as
    // "Forbindelsen til … ble brutt", a TLS record with the handshake's
    // error, and silence with the time-out text, once a last plain
    // connection has also had the whole reply time-out for its greeting
    // (a server merely slow to greet) when the first wait was shorter.
    // Returns true when the connection was replaced (by TLS or the last
    // plain one): what was sent ahead of the greeting must be sent again.
    // A success is remembered for the host and port (knownTlsFromFirstByte()).
    bool detectTlsFromFirstByte();
    // This channel found TLS from the first byte at the host and port of the
    // last open(), and no handshake there has failed since: the client may
    // start TLS at once instead of detecting it again.
    bool knownTlsFromFirstByte() const;
    // The TLS handshake on the connection (net::startTls), within what is
    // left of the connect deadline or, later, within the reply time-out.
    // Failures are thrown as startTls() throws them; the caller closes.
    void startTls(const QString& host, QString* toleratedRefusal = nullptr);
    void close();

    // Sends data whole, each 256 KiB of it within the reply time-out.
    void send(const QByteArray& data);
    void sendLine(const QByteArray& line) { send(line + "\r\n"); }
    // Sends data only if the socket takes it at once, without any wait
    // (a goodbye on the way out); false when it did not all go.
    bool sendNow(const QByteArray& data);

    // Starts a reply: its deadline (the reply time-out from now) and its cap.
    void beginReply(qint64 cap = kReplyCap, QString capFailure = {});
    // One line of the current reply, without its CR LF; a line longer than
    // maxLine fails.
    QByteArray readLine(qsizetype maxLine = kMaxLine);
    // Exactly count bytes of the current reply, whatever they hold (an IMAP
    // literal). A count beyond what is left of the reply's cap fails before
    // anything is read.
    QByteArray readBytes(qint64 count);

    enum class InputWait { Ready, TimeUp, Interrupted };
    // Waits until the server sends something (or something received is not
    // yet read), until `until`, or until the interrupter is raised; neither
    // of the last two is a failure. Shutdown fails with cancelledText().
    InputWait waitForInput(Clock::time_point until);
    // The lines after a POP3 "+OK" up to the lone ".", dot-stuffing removed,
    // each ended by CR LF.
    QByteArray readDotBody();

    // A reply "ddd text" or a multi-line "ddd-..." ... "ddd text" (SMTP, FTP).
    struct CodedReply {
        int code = 0;
        QList<QByteArray> lines; // text after the code and mark, per line
        QByteArray first; // the first line whole
    };
    // strictLines: every line must carry the code (SMTP); otherwise the lines
    // between the first and the last are free text (FTP).
    CodedReply readCodedReply(bool strictLines);

    // "Ugyldig svar fra <where>: «<line>»", the line scrubbed, then cut to 120
    // characters and its blanks collapsed.
    [[noreturn]] void malformed(const QByteArray& line);
    // Server text as an error shows it: scrubbed first, then cut and collapsed.
    QString shown(const QByteArray& text) const;
    [[noreturn]] void failWith(const QString& text);
    [[noreturn]] void dropped();
    [[noreturn]] void timedOut();
    // "Ventingen på <where> ble avbrutt".
    QString interruptedText() const;

private:
    enum class Wait { Read, Write };
    bool interrupted() const { return interrupter && interrupter->raised(); }
    // Waits until the socket is ready, the deadline passes (timedOut()) or
    // shutdown cancels (fail with cancelledText()).
    void waitReady(Wait mode);
    template <class F>
    int transfer(F call);
    // What the server's first bytes say, within ms.
    enum class FirstWord { Text, Silent, Closed, TlsRecord };
    FirstWord firstWord(int ms);
    // The TLS handshake on a fresh connection, within ms; false with failure
    // set when it did not work out.
    bool probeTls(int ms, QString& failure);
    // A fresh plain connection in place of the current one.
    void reconnect();
    // Fails through the fail handler when shutdown or the interrupter asked
    // the waits to end.
    void failIfStopped();

    std::unique_ptr<Poco::Net::StreamSocket> m_socket;
    QString m_host;
    std::uint16_t m_port = 0;
    // "host:port" where TLS from the first byte was found.
    QString m_tlsFirstAt;
    bool m_tls = false;
    std::string m_buf;
    std::size_t m_pos = 0;
    Clock::time_point m_deadline{};
    // The connect deadline until the first reply begins.
    Clock::time_point m_connectDeadline{};
    bool m_connecting = false;
    qint64 m_left = kReplyCap;
    QString m_capFailure;
};

} // namespace net
