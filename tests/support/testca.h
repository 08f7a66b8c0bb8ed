// Certificates for the TLS tests, made afresh for each run in a temporary
// folder: a root CA for the client to trust, and server certificates with
// their keys for each case a client must tell apart. All files are PEM; the
// keys are P-256 EC keys without a passphrase.
#pragma once

#include <QString>
#include <QTemporaryDir>

namespace testsupport {

struct TestCertificate {
    QString certificateFile; // the server's certificate, then any chain it sends along
    QString keyFile;
};

class TestCa {
public:
    // Makes every file at once; throws std::runtime_error when that fails.
    TestCa();
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;

    QString folder() const { return m_dir.path(); }
    // The root certificate to trust.
    QString caFile() const { return m_caFile; }

    // Names every server certificate below carries unless said otherwise:
    // DNS "localhost", IP 127.0.0.1 and IP ::1.

    // Issued by the root, valid from a day ago for a year.
    const TestCertificate& good() const { return m_good; }
    // Issued by the root; its validity ended yesterday.
    const TestCertificate& expired() const { return m_expired; }
    // Issued by the root for "annen.example.no" only.
    const TestCertificate& wrongName() const { return m_wrongName; }
    // Issued by a second root the client does not know; the server sends
    // its own certificate only.
    const TestCertificate& unknownIssuer() const { return m_unknownIssuer; }
    // As unknownIssuer(), with the unknown root sent along in the chain.
    const TestCertificate& unknownIssuerWithRoot() const { return m_unknownIssuerWithRoot; }
    // Signed with its own key.
    const TestCertificate& selfSigned() const { return m_selfSigned; }

private:
    QTemporaryDir m_dir;
    QString m_caFile;
    TestCertificate m_good;
    TestCertificate m_expired;
    TestCertificate m_wrongName;
    TestCertificate m_unknownIssuer;
    TestCertificate m_unknownIssuerWithRoot;
    TestCertificate m_selfSigned;
};

} // namespace testsupport
