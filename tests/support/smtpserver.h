// A real SMTP server for the tests: aiosmtpd (Debian package
// python3-aiosmtpd) run by smtpsink.py on 127.0.0.1 at a free port, saving
// every message it accepts into a temporary folder of its own. Optionally
// with STARTTLS required (a certificate and key) and a login required (one
// account, offered over TLS only).
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <stdexcept>

class QProcess;

namespace testsupport {

class SmtpServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One message the server accepted.
struct SinkMessage {
    QByteArray raw; // the message data as received
    // "mail_from", "rcpt_tos", "mail_options", "helo", "tls" (the message
    // came over TLS), "auth_user" (who logged in, or null); and as Python's email
    // package reads the message: "headers" ([name, decoded value] pairs),
    // "content_type", "is_multipart", "parts" (each leaf part with
    // "content_type", "charset", "transfer_encoding", "disposition",
    // "filename", "payload_base64", "text") and "defects".
    QJsonObject info;

    // Decoded value of the first header of that name (any case); empty when absent.
    QString header(const QString& name) const;
    // Number of headers of that name.
    int headerCount(const QString& name) const;
};

struct AiosmtpdOptions {
    // Both set: STARTTLS offered and required, with this certificate (PEM,
    // any chain after it) and key.
    QString certificateFile{};
    QString keyFile{};
    // Set: a login with exactly this account is required.
    QString user{};
    QString password{};
};

class AiosmtpdServer {
public:
    static QString pythonPath(); // /usr/bin/python3
    // True when Debian's Python has aiosmtpd; tests skip without it.
    static bool available();

    // Starts the server and waits (bounded) until it listens. Throws
    // SmtpServerError with the server's output when it does not come up.
    AiosmtpdServer();
    explicit AiosmtpdServer(const AiosmtpdOptions& options);
    ~AiosmtpdServer(); // stop()
    AiosmtpdServer(const AiosmtpdServer&) = delete;
    AiosmtpdServer& operator=(const AiosmtpdServer&) = delete;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    std::uint16_t port() const { return m_port; }
    QString hostPort() const { return host() + QLatin1Char(':') + QString::number(m_port); }

    // The messages accepted so far, in order of arrival.
    QList<SinkMessage> messages() const;
    // What the server has printed so far.
    QByteArray log() const;

    // SIGTERM, a bounded wait, then SIGKILL to its process group. Idempotent.
    void stop();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    std::uint16_t m_port = 0;
};

} // namespace testsupport
