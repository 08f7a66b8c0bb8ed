// A private Dovecot POP3 and IMAP server for the tests: its own
// configuration, user and Maildir in a temporary folder, listening on
// 127.0.0.1 at free ports. Independent of any system-wide Dovecot (own base,
// state and log paths, no system configuration read). Plain POP3 and IMAP
// only, or with TLS: STLS and STARTTLS on the plain ports and POP3S and
// IMAPS listeners (TLS from the first byte) on further free ports. IMAP is
// served when its binary is installed (imapAvailable()).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <sys/types.h>

namespace testsupport {

class DovecotError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server's certificate (PEM, any chain after it) and key; empty: no TLS.
struct DovecotTls {
    QString certificateFile{};
    QString keyFile{};
};

// How the server runs; the defaults suit the tests.
// CAPA always lists "SASL PLAIN LOGIN": Dovecot serves USER and PASS
// through its PLAIN mechanism, so without PLAIN there is no USER either.
struct DovecotOptions {
    // The address to listen on, and the network namespace to run in (its
    // /run/netns path; empty: this process's): the benchmark's slow link.
    QString address = QStringLiteral("127.0.0.1");
    QString networkNamespace{};
};

class DovecotServer {
public:
    // The server binary the harness runs.
    static QString binaryPath();
    // True when the server binary is installed; tests skip without it.
    static bool available();
    // True when the IMAP service is installed too (Debian: dovecot-imapd).
    static bool imapAvailable();

    // Writes the configuration and the Maildir, starts the server and waits
    // (bounded) until it greets with "+OK". The POP3 message numbers follow
    // the order of messages. Throws DovecotError with the server's log when
    // the server does not come up. With tls the server offers STLS on port()
    // and TLS from the first byte on tlsPort(), and logs each login attempt
    // and TLS failure. Plain-text logins stay allowed in both cases.
    explicit DovecotServer(const QList<QByteArray>& messages, const DovecotTls& tls = {},
                           const DovecotOptions& options = {});
    // Stops the server and every process it started.
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    QString host() const { return m_options.address; }
    std::uint16_t port() const { return m_port; }
    // The POP3S port; 0 without TLS.
    std::uint16_t tlsPort() const { return m_tlsPort; }
    // The IMAP port (STARTTLS with TLS) and the IMAPS port; 0 without IMAP
    // (or, for IMAPS, without TLS).
    std::uint16_t imapPort() const { return m_imapPort; }
    std::uint16_t imapsPort() const { return m_imapsPort; }
    QString user() const { return QStringLiteral("kari"); }
    QString password() const { return QStringLiteral("Glimt.Pass-42"); }
    const QList<QByteArray>& messages() const { return m_messages; }

    // Positions (0-based, in the list given to the constructor) of the
    // messages whose files are still in the Maildir, ascending.
    QList<int> remainingIndexes() const;
    QString maildirPath() const;
    // Puts a message into the Maildir as a delivery agent would; it comes
    // after the others. Its position is messages().size() - 1.
    void deliver(const QByteArray& message);
    // Removes the message at position index from the Maildir behind the
    // server's back, as another mail client's deletion would.
    void expunge(int index);
    // Gives the message at position index exactly these Maildir flags ("S"
    // seen, "T" deleted, ...) behind the server's back, as another mail
    // client would; a message still in new/ moves to cur/.
    void setFlags(int index, const QString& flags);
    // Removes the server's UID list and indexes of the Maildir, as a restore
    // from a backup would: the next session numbers the messages afresh
    // under a new UIDVALIDITY. Between sessions only.
    void forgetUids();
    // The Maildir flags of the message at position index; empty for one
    // still in new/ (or gone).
    QString flags(int index) const;
    // What the server has logged so far, its standard output and error included.
    QByteArray log() const;
    // The log's lines holding all of parts, once there are count of them or
    // 10 s have passed (Dovecot logs a session after the client has gone).
    QList<QByteArray> logLines(std::initializer_list<const char*> parts, int count) const;

    bool running() const { return m_pid > 0; }
    // SIGTERM to the master, a bounded wait, then SIGKILL to the whole process
    // group, reaping every member. The server runs in a session of its own;
    // the calling process is made a child subreaper so that the server's
    // orphans are reaped here, not left to init. Safe to call more than once.
    void stop();
    // After stop(): the server again on the same ports and Maildir, as a
    // server back from an outage. Throws DovecotError when it does not
    // come up (a port taken meanwhile among them).
    void restart();

private:
    void prepareFolder();
    void writeConfig() const;
    // Starts the master once; false when the port turned out to be taken.
    bool startOnce();
    // Writes message i of m_messages into new/ and records its file name.
    void writeMessageFile(int i);
    bool waitForGreeting(std::uint16_t port, const QByteArray& statusWord, const QByteArray& goodbye, int timeoutMs);
    // The path of the message's file in new/ or cur/; empty when gone.
    QString messageFile(int index) const;
    QString path(const QString& relative) const;

    QTemporaryDir m_dir;
    QList<QByteArray> m_messages;
    QList<QString> m_fileNames; // Maildir base names, by position
    DovecotTls m_tls;
    DovecotOptions m_options;
    std::uint16_t m_port = 0;
    std::uint16_t m_tlsPort = 0;
    std::uint16_t m_imapPort = 0;
    std::uint16_t m_imapsPort = 0;
    pid_t m_pid = -1;
};

} // namespace testsupport
