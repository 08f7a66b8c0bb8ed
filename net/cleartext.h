// A log-in in clear text (POP3 without STLS, FTP without TLS) to a server
// that is not on this machine happens only after the user agreed once for
// that server. The answers are stored per user like trusted certificates:
// the per-user settings file's section "KlartekstPålogging", one key
// "host/port" per server, value 1.
#pragma once

#include "neterror.h"

#include <QString>
#include <cstdint>
#include <functional>

namespace net {

inline const QString kClearTextSection = QStringLiteral("KlartekstPålogging");

// The password would travel unencrypted and the user has not agreed to it
// for this server. Thrown before the password is sent; the connection is
// closed.
class ClearTextError : public NetError {
public:
    ClearTextError(const QString& text, QString host, std::uint16_t port)
        : NetError(text), m_host(std::move(host)), m_port(port)
    {
    }
    const QString& host() const { return m_host; }
    std::uint16_t port() const { return m_port; }

private:
    QString m_host;
    std::uint16_t m_port;
};

// Whether the user agreed to clear-text log-ins to host and port (answers
// in force; safe from any thread).
bool clearTextAllowed(const QString& host, std::uint16_t port);
// Throws ClearTextError with "Vil ikke sende passordet til <host> ukryptert:
// <why>" unless host is on this machine or the user agreed for it.
void requireClearTextConsent(const QString& host, std::uint16_t port, const QString& why);

// Puts the stored answers in force, replacing any. Window thread.
void loadClearTextConsents();
// Stores the user's yes for host and port and puts it in force. Window thread.
void allowClearText(const QString& host, std::uint16_t port);
// Forgets every answer in force (tests).
void clearClearTextConsents();

// The question put to the user.
QString clearTextQuestion(const ClearTextError& error);

// Runs step. When it fails with ClearTextError, asks (through the platform's
// question) and, on yes, stores the answer and runs step once more. A no,
// and every other failure, passes the error on; after a no the question is
// not put again for that server this run (askAboutServer). Call on the
// window thread.
void withClearTextConsent(const std::function<void()>& step);

} // namespace net
