// What the protocol targets (fuzz_pop3, fuzz_smtp, fuzz_ftp) share: a
// server on 127.0.0.1 whose bytes are the fuzz input, and the checks on the
// texts a client shows.
//
// An input is one option byte (its bits choose the client's settings), then
// what the server sends on the control connection, all of it (but for the
// pauses) before it reads anything. In that stream
//   {pause}       sends what came before and waits a few milliseconds, so a
//                 reply can arrive in pieces or after the client's next step
//   {password}    the client's password, {password64} it in base64, {token}
//                 the AUTH PLAIN response (SMTP, POP3): a server echoing what
//                 it got
//   {port}        the data listener's port in decimal (FTP EPSV), {pasv} its
//                 address as PASV writes it: "127,0,0,1,p1,p2"
//   {data}        ends the control stream; what follows is what every data
//                 connection (FTP) gets from the server.
// After the control stream the server shuts its sending side and reads what
// the client sends until the client closes.
#pragma once

#include "neterror.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace testsupport {
class ServerLoop;
class WakeUp;
} // namespace testsupport

namespace fuzz {

// The client's waiting limits: short, so that no input that makes the
// client wait comes near libFuzzer's -timeout, beyond which a hang is a
// finding.
net::Timeouts shortTimeouts();

// The log-in the clients use. The password has two blanks in a row, which a
// text that collapses blanks would change; option bit 7 puts a blank before
// and after it as well.
QString userName();
QString passwordFor(unsigned options);

struct Script {
    unsigned options = 0;
    QString password; // passwordFor(options)
    QByteArray raw; // the input after the option byte, as given
    QByteArray control; // the control stream, placeholders replaced
    QList<qsizetype> pauses; // offsets in control where the server pauses
    QByteArray data; // what a data connection gets

    // Nothing to run when the input is empty.
    static std::optional<Script> parse(const std::uint8_t* data, std::size_t size, std::uint16_t dataPort);
};

// The texts a client shows (error texts, refusals, the last reply): none is
// empty and none holds the password or a recognisable piece of it (or of
// its base64 forms, for a client that sends those). A piece is any run of
// six characters of the password, with its blanks as they are or collapsed,
// or of eight characters of its base64 forms; pieces are looked for only
// when the input itself holds none, so that the client's own cutting,
// collapsing and joining is what is tested, not the server's words.
class ShownTexts {
public:
    // base64Forms: the client sends the password in base64 too (SMTP, POP3).
    ShownTexts(const Script& script, bool base64Forms);
    void check(const QString& text, const char* what) const;
    // Whether bytes the client sent hold the password in any form.
    bool holdsSecret(const QByteArray& sent) const;

private:
    QString m_password;
    QList<QString> m_pieces;
    QList<QByteArray> m_secrets;
    bool m_checkPieces = true;
};

// Runs step; a NetError's text goes to texts.check(). Any other exception
// is a finding.
void attempt(const ShownTexts& texts, const std::function<void()>& step);

// attempt(), while the client's connection stands: after a failure that
// closed it the later steps are left out.
template <class Client>
void attemptConnected(const Client& client, const ShownTexts& texts, const std::function<void()>& step)
{
    if (client.connected())
        attempt(texts, step);
}

// The scripted server: a control listener and a data listener on
// 127.0.0.1, each serving one connection at a time on its own thread.
class LoopbackServer {
public:
    // answerPort: answer a "PORT 127,0,0,1,p1,p2" command of the client by
    // connecting to that port on 127.0.0.1 and serving the data stream
    // there (FTP active mode).
    explicit LoopbackServer(bool answerPort = false);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const;
    std::uint16_t dataPort() const;

    // Serves script on each control connection client() makes, one after
    // the other, and returns the bytes the client sent on them once it has
    // closed them.
    QByteArray serve(const Script& script, const std::function<void()>& client);

private:
    void serveControl(int fd);
    void serveData(int fd, const QByteArray& data, const testsupport::WakeUp& wake) const;
    void connectForPort(const QByteArray& line, const QByteArray& data) const;

    const bool m_answerPort;
    std::unique_ptr<testsupport::ServerLoop> m_control;
    std::unique_ptr<testsupport::ServerLoop> m_data;
    std::mutex m_mutex;
    std::condition_variable m_finished;
    Script m_script;
    bool m_accepted = false;
    bool m_served = false;
    QByteArray m_received;
};

// The settings every client gets for a session with server: its address,
// the user and the script's password, the short time-outs.
template <class Client>
void aimAt(Client& client, const LoopbackServer& server, const Script& script)
{
    client.host = QStringLiteral("127.0.0.1");
    client.port = server.port();
    client.user = userName();
    client.password = script.password;
    client.timeouts = shortTimeouts();
}

} // namespace fuzz
