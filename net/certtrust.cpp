#include "certtrust.h"

#include "cleartext.h"
#include "errordisplay.h"
#include "platform.h"
#include "settingsaccess.h"
#include "state.h"

#include <set>

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
    rt::useUserSettingsFile();
    rt::selectSection(section);
}

UserSection::~UserSection()
{
    rt::selectStandardSection();
    rt::useMainSettingsFile();
}

void loadTrustedCertificates()
{
    loadClearTextConsents();
    CertificatePins& pins = CertificatePins::instance();
    pins.clear();
    UserSection user(kTrustSection);
    for (const QString& key : rt::settingsFile().keys(kTrustSection)) {
        const qsizetype slash = key.lastIndexOf(QLatin1Char('/'));
        bool portOk = false;
        const uint port = key.mid(slash + 1).toUInt(&portOk);
        const QString fingerprint = rt::readSetting(key).trimmed();
        if (slash <= 0 || !portOk || port == 0 || port > 65535 || !isFingerprint(fingerprint))
            continue;
        pins.pin(key.left(slash), std::uint16_t(port), fingerprint);
    }
}

void trustCertificate(const QString& host, std::uint16_t port, const QString& fingerprint)
{
    {
        UserSection user(kTrustSection);
        rt::writeSetting(CertificatePins::key(host, port), fingerprint.toLower());
    }
    CertificatePins::instance().pin(host, port, fingerprint);
}

bool askAboutServer(const QString& key, const QString& text)
{
    std::set<QString>& refused = rt::state().refusedServerQuestions;
    if (refused.count(key) > 0)
        return false;
    if (rt::platform().question(rt::applicationTitle(), text))
        return true;
    refused.insert(key);
    return false;
}

void forgetServerRefusals()
{
    rt::state().refusedServerQuestions.clear();
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
            || !askAboutServer(QStringLiteral("sertifikat/%1/%2").arg(CertificatePins::key(e.host(), e.port()),
                                                                       e.fingerprint()),
                               trustQuestion(e)))
            throw;
        trustCertificate(e.host(), e.port(), e.fingerprint());
    }
    step();
}

} // namespace net
