#include "tls.h"

#include "connect.h"
#include "linechannel.h"
#include "termination.h"

#include <Poco/Exception.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/InvalidCertificateHandler.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/VerificationErrorArgs.h>
#include <Poco/SharedPtr.h>
#include <Poco/Timespan.h>
#include <Poco/Timestamp.h>

#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <string>

namespace net {

namespace {

// Cipher suites for TLS 1.2 (TLS 1.3 has its own, all authenticated):
// OpenSSL's defaults, never one without a certificate or without encryption.
constexpr const char* kCipherList = "DEFAULT:!aNULL:!eNULL";

std::mutex g_caMutex;
QString g_extraCaFile;

// The first certificate error OpenSSL reported during the handshake running
// on this thread. The handshake runs synchronously in the calling thread, so
// the verify callback lands here too.
struct VerifyFailure {
    int error = 0; // an X509_V_ERR_* code; 0: none
    int depth = 0; // 0: the server's own certificate
};
thread_local VerifyFailure t_failure;

// The handshake on this thread: the fingerprint pinned for its server, the
// one the server showed, and whether it showed an unknown issuer.
struct PinCheck {
    QString expected;
    QString seen;
    bool unknownIssuer = false;
};
thread_local PinCheck t_pin;

bool isUnknownIssuer(int error)
{
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return true;
    default:
        return false;
    }
}

QString sha256Of(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

// Runs the chain check OpenSSL would run, after noting the fingerprint of
// the server's own certificate, so the handler below can tell a pinned one.
int verifyChainNotingLeaf(X509_STORE_CTX* store, void*)
{
    t_pin.seen = sha256Of(X509_STORE_CTX_get0_cert(store));
    const int ok = X509_verify_cert(store);
    // An unknown issuer was let through the check only so that the other
    // faults would be found; unless pinned, the handshake ends here.
    if (ok == 1 && t_pin.unknownIssuer && (t_pin.expected.isEmpty() || t_pin.expected != t_pin.seen)) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_UNTRUSTED);
        return 0;
    }
    return ok;
}

// Poco's verify callback asks the registered handlers about each certificate
// OpenSSL refused. This one notes the reason and never lets one through.
class RefusingCertificateHandler : public Poco::Net::InvalidCertificateHandler {
public:
    RefusingCertificateHandler()
        : InvalidCertificateHandler(false)
    {
    }

    void onInvalidCertificate(const void*, Poco::Net::VerificationErrorArgs& args) override
    {
        if (isUnknownIssuer(args.errorNumber())) {
            // Noted, and the check goes on so that any other fault of the
            // certificate (expired, another name) is found too; startTls()
            // refuses the connection afterwards unless the user pinned
            // exactly this certificate for this server.
            t_pin.unknownIssuer = true;
            args.setIgnoreError(true);
            return;
        }
        if (t_failure.error == 0)
            t_failure = {args.errorNumber(), args.errorDepth()};
        args.setIgnoreError(false);
    }
};

QString certificateText(const QString& host, const VerifyFailure& f)
{
    const bool own = f.depth == 0;
    QString reason;
    if (isUnknownIssuer(f.error))
        return QStringLiteral("Sertifikatet til %1 kan ikke godtas: utstederen er ukjent").arg(host);
    switch (f.error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        reason = own ? QStringLiteral("det er utløpt") : QStringLiteral("utstederens sertifikat er utløpt");
        break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        reason = own ? QStringLiteral("det er ikke gyldig ennå")
                     : QStringLiteral("utstederens sertifikat er ikke gyldig ennå");
        break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        reason = QStringLiteral("det gjelder ikke for dette navnet");
        break;
    case X509_V_ERR_CERT_REVOKED:
        reason = QStringLiteral("det er trukket tilbake");
        break;
    default:
        return QStringLiteral("Sertifikatet til %1 kan ikke godtas (%2)")
            .arg(host, QString::fromUtf8(X509_verify_cert_error_string(f.error)));
    }
    return QStringLiteral("Sertifikatet til %1 kan ikke godtas: %2").arg(host, reason);
}

// OpenSSL 3 reports a peer that hangs up mid-handshake as an error of its
// own; Poco passes on only its text.
bool isUnexpectedEof(const Poco::Exception& e)
{
    const char* reason = ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_UNEXPECTED_EOF_WHILE_READING));
    return reason && e.displayText().find(reason) != std::string::npos;
}

bool isAddressLiteral(const std::string& host)
{
    Poco::Net::IPAddress address;
    return Poco::Net::IPAddress::tryParse(host, address);
}

Poco::Net::Context::Ptr makeContext(const std::string& host, bool pocoHostCheck)
{
    Poco::Net::Context::Params params;
    params.verificationMode = pocoHostCheck ? Poco::Net::Context::VERIFY_STRICT : Poco::Net::Context::VERIFY_RELAXED;
    params.loadDefaultCAs = true;
    params.caLocation = QFile::encodeName(extraTrustedCaFile()).toStdString();
    params.cipherList = kCipherList;

    Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, params);
    context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1_2);
    context->enableSessionCache(true);
    context->enableExtendedCertificateVerification(pocoHostCheck);
    SSL_CTX_set_cert_verify_callback(context->sslContext(), verifyChainNotingLeaf, nullptr);
    if (host.empty())
        return context;

    // OpenSSL checks the name while it verifies the chain, so a mismatch
    // reaches the handler with its own error code like any other failure.
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context->sslContext());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int ok = isAddressLiteral(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                                          : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    if (ok != 1)
        throw NetError(QStringLiteral("Kan ikke bruke TLS med %1: navnet kan ikke kontrolleres")
                           .arg(QString::fromStdString(host)));
    return context;
}

} // namespace

void initializeTls()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Poco::Net::initializeSSL();
        // initializeClient() registers the handler with the verify callback.
        // Poco's default client context is unused here; giving it one keeps
        // Poco from building its own from an application configuration. It
        // checks host names Poco's way, as it has no host of its own.
        const Poco::SharedPtr<Poco::Net::InvalidCertificateHandler> handler(new RefusingCertificateHandler);
        Poco::Net::SSLManager::instance().initializeClient(nullptr, handler, makeContext({}, true));
    });
}

void setExtraTrustedCaFile(const QString& path)
{
    std::lock_guard lock(g_caMutex);
    g_extraCaFile = path;
}

QString extraTrustedCaFile()
{
    std::lock_guard lock(g_caMutex);
    return g_extraCaFile;
}

Poco::Net::Context::Ptr tlsClientContext(const QString& host)
{
    try {
        initializeTls();
        return makeContext(host.toStdString(), false);
    } catch (const Poco::Exception& e) {
        throw NetError(QStringLiteral("Kan ikke sette opp TLS for %1: %2")
                           .arg(host, QString::fromStdString(e.displayText())));
    }
}

Poco::Net::SecureStreamSocket startTls(Poco::Net::StreamSocket& plain, const QString& host,
                                       Poco::Net::SecureStreamSocket* resumeFrom, QString* toleratedRefusal,
                                       const Interrupter* interrupter)
{
    Poco::Net::Context::Ptr context = resumeFrom ? resumeFrom->context() : tlsClientContext(host);
    if (toleratedRefusal) {
        toleratedRefusal->clear();
        // The chain and name are still checked and a failure noted by the
        // handler, but OpenSSL goes on with the handshake. The context is
        // this connection's own.
        if (!resumeFrom)
            SSL_CTX_set_verify(context->sslContext(), SSL_VERIFY_NONE,
                               SSL_CTX_get_verify_callback(context->sslContext()));
    }
    const std::string name = host.toStdString();
    // Server Name Indication carries names only, never an address.
    const std::string sniName = isAddressLiteral(name) ? std::string() : name;

    SigpipeGuard guard;
    ERR_clear_error();
    t_failure = {};
    std::uint16_t port = 0;
    try {
        port = plain.peerAddress().port();
    } catch (const Poco::Exception&) {
    }
    t_pin = {CertificatePins::instance().pinned(host, port), QString(), false};
    const auto refusal = [&] {
        const bool pinMatches = !t_pin.expected.isEmpty() && t_pin.expected == t_pin.seen;
        if (t_failure.error != 0)
            return CertificateError(certificateText(host, t_failure), host, port, t_pin.seen, false, false);
        if (!t_pin.expected.isEmpty() && !pinMatches)
            return CertificateError(
                QStringLiteral("Sertifikatet til %1 kan ikke godtas: det er et annet enn det du godtok").arg(host),
                host, port, t_pin.seen, true, true);
        return CertificateError(certificateText(host, {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, 0}), host, port,
                                t_pin.seen, true, false);
    };
    const auto refused = [&] {
        return t_failure.error != 0
               || (t_pin.unknownIssuer && (t_pin.expected.isEmpty() || t_pin.expected != t_pin.seen));
    };
    try {
        Poco::Timespan wait = plain.getReceiveTimeout();
        if (wait.totalMicroseconds() <= 0)
            wait = Poco::Timespan(24 * 60 * 60, 0);
        // The handshake runs on a non-blocking socket with one bounded wait
        // per step; a blocking one would wait out the socket's own receive
        // timeout and then Poco's again.
        const Poco::Timestamp started;
        plain.setBlocking(false);
        struct BlockingAgain {
            Poco::Net::StreamSocket& socket;
            ~BlockingAgain()
            {
                try {
                    socket.setBlocking(true);
                } catch (const Poco::Exception&) {
                }
            }
        } blockingAgain{plain};

        Poco::Net::SecureStreamSocket tls =
            resumeFrom ? Poco::Net::SecureStreamSocket::attach(plain, sniName, context, resumeFrom->currentSession())
                       : Poco::Net::SecureStreamSocket::attach(plain, sniName, context);
        for (;;) {
            const int rc = tls.completeHandshake();
            if (rc == 1)
                break;
            int mode = 0;
            if (rc == Poco::Net::SecureStreamSocket::ERR_SSL_WANT_READ)
                mode = Poco::Net::Socket::SELECT_READ;
            else if (rc == Poco::Net::SecureStreamSocket::ERR_SSL_WANT_WRITE)
                mode = Poco::Net::Socket::SELECT_WRITE;
            else
                throw Poco::Net::SSLConnectionUnexpectedlyClosedException();
            // One deadline for the whole handshake, however it trickles;
            // short waits so that shutdown can end it at once.
            for (;;) {
                if (rt::cancelRequested())
                    throw NetError(cancelledText());
                throwIfInterrupted(interrupter, host);
                const Poco::Timespan left = wait - Poco::Timespan(started.elapsed());
                if (left.totalMicroseconds() <= 0)
                    throw Poco::TimeoutException();
                if (plain.poll(std::min(left, Poco::Timespan(0, 100000)), mode))
                    break;
            }
        }
        // A handler registered by someone else may have waved a refused
        // certificate through; the refusal stands.
        if (refused()) {
            if (!toleratedRefusal || resumeFrom)
                throw refusal();
            *toleratedRefusal = refusal().text();
        }
        if (!tls.havePeerCertificate())
            throw NetError(QStringLiteral("%1 sendte ikke noe sertifikat").arg(host));
        ERR_clear_error();
        return tls;
    } catch (const NetError&) {
        ERR_clear_error();
        throw;
    } catch (const Poco::Exception& e) {
        ERR_clear_error();
        if (refused())
            throw refusal();
        if (dynamic_cast<const Poco::TimeoutException*>(&e))
            throw NetError(QStringLiteral("Tidsavbrudd under TLS-forhandlingen med %1")
                               .arg(port != 0 ? hostPortText(host, port) : host));
        if (dynamic_cast<const Poco::Net::SSLConnectionUnexpectedlyClosedException*>(&e)
            || dynamic_cast<const Poco::Net::ConnectionResetException*>(&e) || isUnexpectedEof(e))
            throw NetError(QStringLiteral("Forbindelsen til %1 ble brutt under TLS-forhandlingen").arg(host));
        throw NetError(QStringLiteral("TLS-forhandlingen med %1 mislyktes: %2")
                           .arg(host, QString::fromStdString(e.displayText())));
    }
}

Poco::Net::SecureStreamSocket connectTls(const Poco::Net::SocketAddress& address, const QString& host,
                                         const Timeouts& timeouts)
{
    const QString where = hostPortText(host, address.port());
    Poco::Net::StreamSocket plain(address.family());
    try {
        plain.connect(address, Poco::Timespan(Poco::Timespan::TimeDiff(timeouts.connectMs) * 1000));
        const Poco::Timespan wait(Poco::Timespan::TimeDiff(timeouts.replyMs) * 1000);
        plain.setReceiveTimeout(wait);
        plain.setSendTimeout(wait);
        plain.setNoDelay(true);
    } catch (const Poco::Exception& e) {
        throw NetError(QStringLiteral("Kan ikke koble til %1: %2").arg(where, connectFailureReason(e, timeouts.connectMs)));
    }
    try {
        return startTls(plain, host);
    } catch (const NetError&) {
        SigpipeGuard guard;
        try {
            plain.close();
        } catch (const Poco::Exception&) {
        }
        throw;
    }
}

CertificatePins& CertificatePins::instance()
{
    static CertificatePins pins;
    return pins;
}

QString CertificatePins::key(const QString& host, std::uint16_t port)
{
    return host.toLower() + QLatin1Char('/') + QString::number(port);
}

void CertificatePins::pin(const QString& host, std::uint16_t port, const QString& fingerprint)
{
    std::lock_guard lock(m_mutex);
    m_pins[key(host, port)] = fingerprint.toLower();
}

QString CertificatePins::pinned(const QString& host, std::uint16_t port) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_pins.find(key(host, port));
    return it == m_pins.end() ? QString() : it->second;
}

void CertificatePins::clear()
{
    std::lock_guard lock(m_mutex);
    m_pins.clear();
}

QString displayFingerprint(const QString& fingerprint)
{
    QStringList pairs;
    for (qsizetype i = 0; i + 1 < fingerprint.size(); i += 2)
        pairs.append(fingerprint.mid(i, 2).toUpper());
    return pairs.join(QLatin1Char(':'));
}

SigpipeGuard::SigpipeGuard()
{
    const int savedErrno = errno;
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    m_wasPending = sigismember(&pending, SIGPIPE) == 1;
    m_unblock = pthread_sigmask(SIG_BLOCK, &pipe, &m_previousMask) == 0 && sigismember(&m_previousMask, SIGPIPE) != 1;
    errno = savedErrno;
}

SigpipeGuard::~SigpipeGuard()
{
    const int savedErrno = errno;
    // Taken even when the signal was blocked already (Poco blocks it in the
    // thread that loads it): left pending, it would strike whoever unblocks it.
    if (!m_wasPending) {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec now{0, 0};
            while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
    }
    if (m_unblock)
        pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
    errno = savedErrno;
}

} // namespace net
