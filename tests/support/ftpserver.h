// A private pyftpdlib FTP (or explicit FTPS) server for the tests: one user whose root is a
// temporary folder, listening on 127.0.0.1 at a port the system chose. The
// server process ends with this object, or by itself when the test process
// dies (its standard input closes).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <stdexcept>
#include <sys/types.h>

namespace testsupport {

class FtpServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FtpServerOptions {
    // EPSV refused and PASV pointing at a dead port: only active mode works.
    bool brokenPassive = false;
    // Explicit FTPS with this certificate (PEM, chain included) and key:
    // AUTH TLS before USER and PASS and PROT P before any data connection
    // are required. Empty: plain FTP only.
    QString tlsCertificateFile;
    QString tlsKeyFile;
    // With TLS: a data connection that does not resume the control
    // connection's TLS session is refused (522), as many servers do.
    bool tlsSessionReuseRequired = false;
    // With TLS: TLS 1.2 at most.
    bool tls12Only = false;
};

class FtpServer {
public:
    // True when Debian's python3 and its pyftpdlib are installed; tests
    // skip without them.
    static bool available();

    // Starts the server and waits (bounded) until it listens. Throws
    // FtpServerError with the server's output when it does not come up.
    explicit FtpServer(const FtpServerOptions& options = {});
    ~FtpServer(); // stop()
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    std::uint16_t port() const { return m_port; }
    QString user() const { return QStringLiteral("kari"); }
    QString password() const { return QStringLiteral("Glimt.Ftp-42"); }

    // The user's root folder and a path below it.
    QString root() const;
    QString path(const QString& relative) const;
    // Writes a file below the root, making its folders; throws on failure.
    void writeFile(const QString& relative, const QByteArray& content) const;
    // A file below the root; empty when it is missing.
    QByteArray readFile(const QString& relative) const;
    bool exists(const QString& relative) const;

    // The verb of every command received so far, upper-cased, over all
    // sessions, in order.
    QList<QByteArray> commands() const;

    // What the server has logged so far, its standard error included.
    QByteArray log() const;

    // Closes its standard input, waits (bounded) for it to end, then kills
    // it. Safe to call more than once.
    void stop();

private:
    QTemporaryDir m_dir;
    std::uint16_t m_port = 0;
    pid_t m_pid = -1;
    int m_stdin = -1;
};

} // namespace testsupport
