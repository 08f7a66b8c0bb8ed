// An FTP client (RFC 959, RFC 2428 EPSV/EPRT, RFC 3659 SIZE) as a thin layer
// on Poco's sockets. Blocking: each call returns when the server has answered
// or a time-out has passed. Transfers are always binary (TYPE I), so a file
// arrives byte for byte; sizes and byte counts are 64-bit.
#pragma once

#include "neterror.h"

#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <functional>
#include <memory>

class QIODevice;

namespace net {

class FtpClient {
public:
    // How data connections are opened.
    enum class DataMode {
        // EPSV, then PASV; when the server refuses both or the connection to
        // its data port fails, PORT/EPRT for this and every later transfer
        // of the session.
        PassiveFirst,
        Passive, // EPSV, then PASV; no fallback
        Active, // the client listens and announces its port (PORT/EPRT)
    };

    FtpClient();
    ~FtpClient(); // closes the connection without QUIT
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    QString host;
    std::uint16_t port = 21;
    QString user;
    QString password;
    Timeouts timeouts;
    DataMode dataMode = DataMode::PassiveFirst;
    // Explicit FTPS (RFC 4217): AUTH TLS right after the greeting, so the
    // login goes over TLS only; then PBSZ 0 and PROT P, and every data
    // connection in TLS as well, resuming the control connection's session.
    // A refused AUTH TLS or a failed handshake ends the connection with an
    // error; there is no fallback to clear text.
    bool explicitTls = false;

    // Fired when the control connection stands, and when it has been closed
    // (by disconnect(), by a failed login, or because the server dropped it).
    std::function<void()> onConnected;
    std::function<void()> onDisconnected;
    // Fired for every block of a transfer with the bytes of the current
    // transfer so far (a running total, not an increment).
    std::function<void(qint64 count)> onWork;

    bool connected() const;

    // Control connection, greeting (220), AUTH TLS and the handshake when
    // explicitTls, USER, PASS when asked for, PBSZ 0 and PROT P when
    // explicitTls, TYPE I.
    // Any failure closes the connection and throws with host:port and the
    // reason (the server's reply when it gave one).
    void connect();

    // SIZE of a remote file: the size on "213 <n>", -1 on any other reply.
    // A 213 without a usable number throws and closes the connection. A later
    // retrieve() of the same path takes no more than this size.
    qint64 size(const QString& path);

    // RETR path into sink (already open for writing). Returns the bytes
    // written. When size() announced the file's size, a stream longer than
    // that is cut there and reported: "<host:port> sendte mer enn de <n>
    // bytene den oppga for <path>". Throws on a refused command, a broken or stalled data
    // connection, a failing sink or a final reply other than 2xx; the
    // control connection stays open when the server's final reply could
    // still be read.
    qint64 retrieve(const QString& path, QIODevice& sink);

    // STOR path from source (already open for reading) to its end. Returns
    // the bytes sent; failures as for retrieve().
    qint64 store(QIODevice& source, const QString& path);

    // QUIT, then the connection is closed; quiet when not connected or when
    // the server no longer answers.
    void disconnect();

    // The first line of the last reply read on the control connection (code
    // and text), e.g. the server's answer when size() gave -1.
    QString lastReply() const;

    // True when the last data connection was a passive one.
    bool lastTransferPassive() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace net
