// The skeleton of the scripted test servers (POP3, SMTP, FTP) and the bench's
// delay proxy: a listening socket on the loopback, an accept loop on its own
// thread serving one connection at a time, a wake-up that ends every wait
// at stop(), and one served connection with line reading, sending, pauses
// and server-side TLS. Each server adds only its protocol's script.
#pragma once

#include <QByteArray>
#include <QString>

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

void closeFd(int& fd);
// OpenSSL's queued errors as one text.
std::string opensslError();
// The server side of TLS from a certificate (chain) file and its key;
// throws std::runtime_error when they cannot be loaded.
SSL_CTX* makeServerTlsContext(const QString& certificateFile, const QString& keyFile);
// A socket listening on 127.0.0.1 (or ::1) at port (0: the system chooses);
// boundPort gets the port. Throws std::runtime_error.
int listenOnLoopback(bool ipv6, std::uint16_t port, int backlog, std::uint16_t& boundPort);

class WakeUp;
// Sends all of data on a non-blocking plain socket; false when the peer
// went or the wake-up was raised.
bool sendAll(int fd, const char* data, qint64 size, const WakeUp& wake);

// Raised once by stop(), and readable from then on, which wakes every wait.
class WakeUp {
public:
    WakeUp(); // throws std::runtime_error
    ~WakeUp();
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;
    void raise();
    bool raised() const { return m_raised.load(); }
    int fd() const { return m_read; }
    // Waits up to ms (< 0: for ever) for fd to be ready for events. 1: ready,
    // 0: time is up, -1: woken (or a poll error).
    int wait(int fd, short events, int ms) const;
    // Waits ms unless woken first; false when woken.
    bool sleep(int ms) const;

private:
    int m_read = -1;
    int m_write = -1;
    std::atomic<bool> m_raised{false};
};

// One accepted connection (non-blocking), plain or TLS. Every wait ends when
// the server stops; the connection is closed with the object.
class ServedConnection {
public:
    ServedConnection(int fd, const WakeUp& wake);
    ~ServedConnection();
    ServedConnection(const ServedConnection&) = delete;
    ServedConnection& operator=(const ServedConnection&) = delete;

    int fd() const { return m_fd; }
    bool isTls() const { return m_ssl != nullptr; }
    // The handshake as server; false when it failed.
    bool startTls(SSL_CTX* context);
    // All of data; false when the peer went or the server stops.
    bool send(const QByteArray& data);
    // The same, one byte at a time, msPerByte apart: a server that answers,
    // but so slowly that no single wait runs out.
    bool sendTrickled(const QByteArray& data, int msPerByte);
    // The next line without its CR LF; false at the end of the connection.
    bool readLine(QByteArray& line);
    // Up to max bytes as they come; empty at the end of the connection.
    QByteArray readSome(int max);
    // Received bytes not yet taken as lines (pipelined commands).
    std::string& pending() { return m_in; }
    // Waits ms (< 0: until the peer closes or the server stops). False when
    // the session should end.
    bool pause(int ms) const;
    // Waits up to ms for something to read (or bytes received and not yet
    // taken). 1: there is, 0: time is up, -1: the server stops.
    int waitInput(int ms) const;
    // Ends the connection with a TCP reset, without a TLS close_notify.
    void resetHard();

private:
    bool waitFor(short events);
    template <class F>
    int tlsCall(F call);
    // Reads what arrives into m_in; false at the end.
    bool receive();

    int m_fd;
    const WakeUp& m_wake;
    SSL* m_ssl = nullptr;
    bool m_tlsBroken = false;
    std::string m_in;
};

// Listens at construction; start() runs the accept loop on its own thread,
// handing each connection to serve, one at a time, until stop().
class ServerLoop {
public:
    ServerLoop(bool ipv6 = false, std::uint16_t port = 0, int backlog = 16);
    ~ServerLoop(); // stop()
    ServerLoop(const ServerLoop&) = delete;
    ServerLoop& operator=(const ServerLoop&) = delete;

    // serve gets the accepted socket (non-blocking, TCP_NODELAY) and owns it.
    void start(std::function<void(int fd)> serve);
    // Raises the wake-up, joins the thread and closes the listener. Idempotent.
    void stop();
    std::uint16_t port() const { return m_port; }
    const WakeUp& wake() const { return m_wake; }
    // Connections accepted so far (each counted before it is served).
    int sessionCount() const { return m_sessions.load(); }

private:
    WakeUp m_wake;
    std::uint16_t m_port = 0; // before m_listen, whose set-up fills it in
    int m_listen = -1;
    std::thread m_thread;
    std::atomic<int> m_sessions{0};
};

} // namespace testsupport
