// The data connection of one FTP transfer: the socket a file travels on,
// apart from the control connection that negotiates it. Made passive (the
// client connects to the server's data port) or active (the client listens
// and only the server may connect); with FTPS wrapped in TLS that resumes
// the control connection's session. It moves the bytes of a download or an
// upload and tells how the transfer ended; the control connection turns
// that into the session's answer.
#pragma once

#include "neterror.h"

#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

class QIODevice;

namespace net {

class FtpDataConnection {
public:
    // where: the server as the texts name it ("ftp.example.no:21").
    FtpDataConnection(QString where, const Timeouts& timeouts);
    ~FtpDataConnection(); // closes without the orderly TLS end
    FtpDataConnection(const FtpDataConnection&) = delete;
    FtpDataConnection& operator=(const FtpDataConnection&) = delete;

    // Passive: connects to the server's data port within the connect
    // time-out; reads and writes then wait at most the reply time-out.
    // Nothing on success, else why it failed ("<address>: tidsavbrudd
    // etter 30 sekunder", "<address>: <reason>").
    std::optional<QString> connect(const Poco::Net::SocketAddress& address);

    // Active: listens on host, on a port the system picks. Throws
    // Poco::Exception when it cannot.
    void listen(const Poco::Net::IPAddress& host);
    // The address the listener is bound to, to announce with PORT or EPRT.
    Poco::Net::SocketAddress listenAddress() const;
    // Takes the server's connection: one from any other address than
    // server is closed and the wait goes on. False when none came within
    // the connect time-out. Shutdown throws NetError(cancelledText()); a
    // failing socket throws Poco::Exception.
    bool accept(const Poco::Net::IPAddress& server);

    // The TLS handshake with host as a client, resuming session's TLS
    // session (net::startTls); throws its NetError.
    void startTls(const QString& host, Poco::Net::SecureStreamSocket* session);

    // How a transfer ended.
    enum class End {
        Finished, // the stream ended (download) or the source did (upload)
        Failed, // failure says why; the server's final answer is still due
        TimedOut, // no progress within the reply time-out
        Cancelled, // shutdown asked network steps to end
    };
    struct Transfer {
        End end = End::Finished;
        qint64 bytes = 0;
        QString failure;
    };
    // The download of what into sink. limit >= 0: the size the server
    // announced, past which the stream is not the file. onWork gets the
    // running total after each block; what it throws passes through.
    Transfer receive(QIODevice& sink, qint64 limit, const QString& what, const std::function<void(qint64)>& onWork);
    // The upload of source (to its end) as what.
    Transfer send(QIODevice& source, const QString& what, const std::function<void(qint64)>& onWork);

    // Ends the connection. orderly: with TLS, close_notify and FIN first,
    // then what the server still sends is read and dropped until it
    // closes, within the reply time-out (closing a socket with unread bytes
    // would reset the connection, and the server could lose the end of an
    // upload it has not read yet). Safe to call more than once.
    void close(bool orderly = false);

private:
    enum class Wait { Ready, TimeUp, Cancelled };
    Wait waitReadable();
    void setTimeouts();
    void endTls();
    QString broken(const QString& what) const;

    QString m_where;
    Timeouts m_timeouts;
    Poco::Net::StreamSocket m_socket;
    // With TLS, the plain socket below m_socket.
    Poco::Net::StreamSocket m_plain;
    bool m_tls = false;
    std::unique_ptr<Poco::Net::ServerSocket> m_listener;
};

} // namespace net
