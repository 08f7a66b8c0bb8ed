#include "protocolsession.h"

#include "fuzzcheck.h"
#include "scriptedserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string_view>

namespace fuzz {

namespace {

// A pause in the control stream, and at most so many of them per input.
constexpr int kPauseMs = 5;
constexpr int kMaxPauses = 16;
// Bytes of what the client sends that are kept for the checks.
constexpr qsizetype kReceivedCap = 4 << 20;

QByteArray plainToken(const QString& password)
{
    return ('\0' + userName().toUtf8() + '\0' + password.toUtf8()).toBase64();
}

// Every run of length characters of text.
QList<QString> runsOf(const QString& text, qsizetype length)
{
    QList<QString> out;
    for (qsizetype i = 0; i + length <= text.size(); ++i)
        out.append(text.mid(i, length));
    return out;
}

} // namespace

net::Timeouts shortTimeouts()
{
    return {2000, 2000};
}

QString userName()
{
    // Four letters: "\0fuzz\0" is six bytes, so in the AUTH PLAIN token the
    // password's base64 stands as it stands alone.
    return QStringLiteral("fuzz");
}

QString passwordFor(unsigned options)
{
    const QString password = QStringLiteral("Fz hemmelig  Zq7kvast");
    return options & 0x80 ? QLatin1Char(' ') + password + QLatin1Char(' ') : password;
}

std::optional<Script> Script::parse(const std::uint8_t* data, std::size_t size, std::uint16_t dataPort)
{
    if (size == 0)
        return std::nullopt;
    Script s;
    s.options = data[0];
    s.password = passwordFor(s.options);
    s.raw = QByteArray(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    QByteArray control = s.raw;
    const qsizetype dataAt = control.indexOf("{data}");
    if (dataAt >= 0) {
        s.data = control.mid(dataAt + 6);
        control.truncate(dataAt);
    }
    const QByteArray pw = s.password.toUtf8();
    const struct {
        std::string_view name;
        QByteArray value;
    } values[] = {
        {"{password}", pw},
        {"{password64}", pw.toBase64()},
        {"{token}", plainToken(s.password)},
        {"{port}", QByteArray::number(dataPort)},
        {"{pasv}", "127,0,0,1," + QByteArray::number(dataPort / 256) + ',' + QByteArray::number(dataPort % 256)},
    };
    constexpr std::string_view pause = "{pause}";
    qsizetype pos = 0;
    while (pos < control.size()) {
        const qsizetype brace = control.indexOf('{', pos);
        if (brace < 0) {
            s.control += control.mid(pos);
            break;
        }
        s.control += control.mid(pos, brace - pos);
        pos = brace;
        const std::string_view rest(control.constData() + pos, std::size_t(control.size() - pos));
        if (rest.starts_with(pause)) {
            if (s.pauses.size() < kMaxPauses)
                s.pauses.append(s.control.size());
            pos += qsizetype(pause.size());
            continue;
        }
        bool replaced = false;
        for (const auto& v : values) {
            if (rest.starts_with(v.name)) {
                s.control += v.value;
                pos += qsizetype(v.name.size());
                replaced = true;
                break;
            }
        }
        if (!replaced)
            s.control += control.at(pos++);
    }
    return s;
}

ShownTexts::ShownTexts(const Script& script, bool base64Forms)
    : m_password(script.password)
{
    const QString& password = script.password;
    m_pieces = runsOf(password, 6) + runsOf(password.simplified(), 6);
    m_secrets = {password.toUtf8()};
    if (base64Forms) {
        const QString encoded = QString::fromLatin1(password.toUtf8().toBase64());
        m_pieces += runsOf(encoded, 8);
        // The token's first eight characters encode the user name alone.
        m_pieces += runsOf(QString::fromLatin1(plainToken(password)), 8).mid(1);
        m_secrets.append(encoded.toLatin1());
    }
    for (const QString& piece : std::as_const(m_pieces)) {
        if (script.raw.contains(piece.toUtf8()))
            m_checkPieces = false;
    }
}

void ShownTexts::check(const QString& text, const char* what) const
{
    fuzz::check(!text.isEmpty(), what);
    fuzz::check(!text.contains(m_password), "a text shows the password", text);
    if (!m_checkPieces)
        return;
    for (const QString& piece : m_pieces)
        fuzz::check(!text.contains(piece), "a text shows a piece of the password", piece + QStringLiteral(" in ") + text);
}

bool ShownTexts::holdsSecret(const QByteArray& sent) const
{
    for (const QByteArray& secret : m_secrets) {
        if (sent.contains(secret))
            return true;
    }
    return false;
}

void attempt(const ShownTexts& texts, const std::function<void()>& step)
{
    try {
        step();
    } catch (const net::NetError& e) {
        texts.check(e.text(), "an empty error text");
        fuzz::check(fuzz::onlyVisible(e.text()), "an error text shows a control character", e.text());
    } catch (const std::exception& e) {
        fail("a failure that is no NetError", QString::fromLocal8Bit(e.what()));
    } catch (...) {
        fail("a failure that is no NetError");
    }
}

LoopbackServer::LoopbackServer(bool answerPort)
    : m_answerPort(answerPort)
    , m_control(std::make_unique<testsupport::ServerLoop>())
    , m_data(std::make_unique<testsupport::ServerLoop>())
{
    // No handshake can succeed against this server, so the system's trusted
    // roots are left out: reading the whole bundle for every TLS attempt
    // would make such inputs a hundred milliseconds each.
    ::setenv("SSL_CERT_FILE", "/dev/null", 1);
    ::setenv("SSL_CERT_DIR", "/nonexistent", 1);
    m_control->start([this](int fd) { serveControl(fd); });
    m_data->start([this](int fd) {
        QByteArray data;
        {
            const std::lock_guard lock(m_mutex);
            data = m_script.data;
        }
        serveData(fd, data, m_data->wake());
    });
}

LoopbackServer::~LoopbackServer()
{
    m_control->stop();
    m_data->stop();
}

std::uint16_t LoopbackServer::port() const
{
    return m_control->port();
}

std::uint16_t LoopbackServer::dataPort() const
{
    return m_data->port();
}

QByteArray LoopbackServer::serve(const Script& script, const std::function<void()>& client)
{
    {
        const std::lock_guard lock(m_mutex);
        m_script = script;
        m_accepted = false;
        m_served = false;
        m_received.clear();
    }
    client();
    // The client has closed its connection (or never made one), so the
    // server's read ends at once.
    std::unique_lock lock(m_mutex);
    if (!m_finished.wait_for(lock, std::chrono::seconds(5), [this] { return m_served || !m_accepted; }))
        fail("the client left its connection open");
    return m_received;
}

void LoopbackServer::serveControl(int fd)
{
    Script script;
    {
        // A client may make more than one connection for a script (a TLS
        // try after a greeting that is none): each is waited for.
        const std::lock_guard lock(m_mutex);
        script = m_script;
        m_accepted = true;
        m_served = false;
    }
    QByteArray received;
    {
        testsupport::ServedConnection conn(fd, m_control->wake());
        bool open = true;
        qsizetype from = 0;
        for (const qsizetype at : std::as_const(script.pauses)) {
            open = conn.send(script.control.mid(from, at - from)) && conn.pause(kPauseMs);
            from = at;
            if (!open)
                break;
        }
        if (open)
            conn.send(script.control.mid(from));
        // Replies end here; what the client still sends is read, so that
        // closing does not reset the connection before it has read them.
        ::shutdown(fd, SHUT_WR);
        qsizetype scanned = 0;
        for (;;) {
            const QByteArray chunk = conn.readSome(64 * 1024);
            if (chunk.isEmpty())
                break;
            if (received.size() < kReceivedCap)
                received += chunk;
            for (qsizetype nl = 0; m_answerPort && (nl = received.indexOf('\n', scanned)) >= 0; scanned = nl + 1) {
                const QByteArray line = received.mid(scanned, nl - scanned).trimmed();
                if (line.startsWith("PORT "))
                    connectForPort(line.mid(5), script.data);
            }
        }
    }
    {
        const std::lock_guard lock(m_mutex);
        if (m_received.size() < kReceivedCap)
            m_received += received;
        m_served = true;
    }
    m_finished.notify_all();
}

void LoopbackServer::serveData(int fd, const QByteArray& data, const testsupport::WakeUp& wake) const
{
    testsupport::ServedConnection conn(fd, wake);
    conn.send(data);
    ::shutdown(fd, SHUT_WR);
    while (!conn.readSome(64 * 1024).isEmpty()) {
    }
}

void LoopbackServer::connectForPort(const QByteArray& arguments, const QByteArray& data) const
{
    // "h1,h2,h3,h4,p1,p2": the client listens on its end of the control
    // connection, which is 127.0.0.1; only the port is taken from it.
    const QList<QByteArray> parts = arguments.split(',');
    if (parts.size() != 6)
        return;
    bool hiOk = false;
    bool loOk = false;
    const int hi = parts.at(4).toInt(&hiOk);
    const int lo = parts.at(5).toInt(&loOk);
    if (!hiOk || !loOk || hi < 0 || hi > 255 || lo < 0 || lo > 255 || hi * 256 + lo == 0)
        return;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(hi * 256 + lo));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        ::close(fd);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    serveData(fd, data, m_control->wake());
}

} // namespace fuzz
