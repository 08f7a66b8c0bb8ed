#include "certtrust.h"

#include "cleartext.h"

#include "platform.h"
#include "zt_reg.h"

namespace net {

namespace {

bool isFingerprint(const QString& text)
{
    if (text.size() != 64)
        return false;
    for (QChar c : text) {
        if (!c.isDigit() && (c.toLower() < QLatin1Char('a') || c.toLower() > QLatin1Char('f')))
            return false;
    }
    return true;
}

} // namespace

UserSection::UserSection(const QString& section)
{
    rt::useuserini();
    rt::iniselect(section);
}

UserSection::~UserSection()
{
    rt::inistandard();
    rt::usemainini();
}

void loadTrustedCertificates()
{
    loadClearTextConsents();
    CertificatePins& pins = CertificatePins::instance();
    pins.clear();
    UserSection user(kTrustSection);
    for (const QString& key : rt::IniFile().keys(kTrustSection)) {
        const qsizetype slash = key.lastIndexOf(QLatin1Char('/'));
        bool portOk = false;
        const uint port = key.mid(slash + 1).toUInt(&portOk);
        const QString fingerprint = rt::inireadstring(key).trimmed();
        if (slash <= 0 || !portOk || port == 0 || port > 65535 || !isFingerprint(fingerprint))
            continue;
        pins.pin(key.left(slash), std::uint16_t(port), fingerprint);
    }
}

void trustCertificate(const QString& host, std::uint16_t port, const QString& fingerprint)
{
    {
        UserSection user(kTrustSection);
        rt::iniwritestring(CertificatePins::key(host, port), fingerprint.toLower());
    }
    CertificatePins::instance().pin(host, port, fingerprint);
}

QString trustQuestion(const CertificateError& error)
{
    const QString server = (error.host().contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(error.host())
                                                                     : error.host())
                           + QLatin1Char(':') + QString::number(error.port());
    const QString advice = error.changed()
                               ? QStringLiteral("Svar ja bare hvis du vet at serveren har fått et nytt sertifikat.")
                               : QStringLiteral("Svar ja bare hvis du vet at serveren bruker et sertifikat den "
                                                "har laget selv.");
    return QStringLiteral("%1.\n\nServer: %2\nSHA-256: %3\n\nVil du stole på dette sertifikatet for %2? %4")
        .arg(error.text(), server, displayFingerprint(error.fingerprint()), advice);
}

void withCertificateTrust(const std::function<void()>& step)
{
    try {
        step();
        return;
    } catch (const CertificateError& e) {
        if (!e.trustable() || e.fingerprint().isEmpty()
            || !rt::platform().question(QStringLiteral("Brevglimt"), trustQuestion(e)))
            throw;
        trustCertificate(e.host(), e.port(), e.fingerprint());
    }
    step();
}

} // namespace net
