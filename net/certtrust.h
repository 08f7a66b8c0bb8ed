// Trusting a server's certificate on the user's word: the stored answers
// (the per-user settings file's section "Sertifikater", one key "host/port"
// per server with the certificate's SHA-256 fingerprint) and the question.
#pragma once

#include "tls.h"

#include <functional>

namespace net {

inline const QString kTrustSection = QStringLiteral("Sertifikater");

// The per-user settings file with section selected, for the length of a
// scope, whatever passes through. Window thread.
class UserSection {
public:
    explicit UserSection(const QString& section);
    ~UserSection();
    UserSection(const UserSection&) = delete;
    UserSection& operator=(const UserSection&) = delete;
};

// Puts the stored fingerprints in force (CertificatePins), replacing any,
// and with them the stored clear-text log-in answers (cleartext.h).
void loadTrustedCertificates();
// Stores a fingerprint for host and port and puts it in force.
void trustCertificate(const QString& host, std::uint16_t port, const QString& fingerprint);

// The question put to the user about a refused certificate it may trust.
QString trustQuestion(const CertificateError& error);

// Runs step. When it fails on a certificate the user may trust, asks
// (through the platform's question) and, on yes, stores the fingerprint and
// runs step once more. Every other failure, and a no, passes the error on;
// after a no the same certificate of that server is refused at once for the
// rest of the run. Call on the window thread: the settings are read and
// written here.
void withCertificateTrust(const std::function<void()>& step);

// Puts a question about a server (titled as the program's boxes are) and
// returns the answer, true for yes; unless the user said no to the question
// of that key earlier in the run, which answers no at once, so a schedule
// does not ask again at every check. Window thread.
bool askAboutServer(const QString& key, const QString& text);
// Every question may be put again (the user has been to the settings).
void forgetServerRefusals();

} // namespace net
