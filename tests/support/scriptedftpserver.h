// A small FTP server for tests: files in memory, passive data connections
// only (EPSV, PASV), replies that can be replaced or delayed and transfers
// that can be paused or cut off. It listens on 127.0.0.1 from construction until stop() or
// destruction and serves one session at a time on its own thread.
#pragma once

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <memory>
#include <optional>

namespace testsupport {

class ScriptedFtpServer {
public:
    // Listens at once; throws std::runtime_error when that fails.
    ScriptedFtpServer();
    ~ScriptedFtpServer(); // stop()
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    // Closes the listener and any open session and joins the thread.
    void stop();

    std::uint16_t port() const;

    void setCredentials(const QByteArray& user, const QByteArray& password);
    // A file the client can fetch, or one it stored; paths as the client sends them.
    void setFile(const QByteArray& path, const QByteArray& content);
    std::optional<QByteArray> file(const QByteArray& path) const;

    // The whole reply line to every command with this verb ("SIZE", "PASS",
    // ...; "GREETING" for the first line), instead of the normal one.
    void setReply(const QByteArray& verb, const QByteArray& line);
    // The address the PASV reply names ("192,0,2,1"; 127,0,0,1 unless set).
    // The data port still listens on 127.0.0.1 only, so a client that
    // follows the named address finds nobody there.
    void setPassiveHost(const QByteArray& commaSeparated);
    // Cuts every RETR and STOR data connection after this many bytes. Then
    // the server sends finalReply on the control connection, or closes that
    // too when finalReply is empty. A negative count ends the cutting.
    void cutTransfersAfter(qint64 bytes, const QByteArray& finalReply);

    // Waits ms before answering every command with this verb ("GREETING":
    // before the first line), as a slow or stalled server does.
    void delayReply(const QByteArray& verb, int ms);
    // Sends the reply to every command with this verb ("GREETING": the
    // greeting) one byte at a time, msPerByte apart.
    void trickleReply(const QByteArray& verb, int msPerByte);
    // Every RETR and STOR data transfer stands still for ms after this many
    // bytes (RETR: sent; STOR: read), then goes on. A negative count ends
    // the pausing.
    void pauseTransfersAfter(qint64 bytes, int ms);

    // Every command line received, in order, over all sessions (the
    // argument of PASS replaced by "***").
    QList<QByteArray> received() const;
    // The same, verbs only, upper-cased.
    QList<QByteArray> receivedVerbs() const;
    int sessionCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace testsupport
