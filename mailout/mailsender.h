// The mail sender: sends one written message over SMTP to the server of the
// sending settings, as the user it is from. The connection, the send and the
// goodbye each run on a worker thread while the calling (window) thread
// keeps serving paints and timers; send() returns when they are done.
// Failures come back as the cause in Norwegian, never as an exception.
#pragma once

#include "smtpclient.h"
#include "smtpsettings.h"

#include <QString>
#include <optional>

namespace mailout {

// A message as the user wrote it.
struct Draft {
    QString recipients;     // as typed: addresses separated by "," or ";"
    QString subject;
    QString body;           // lines separated by "\n"
    QString attachmentPath; // full path of the one file to attach; empty for none
};

// How a send ended.
struct SendOutcome {
    bool sent = false;
    QString cause; // why it was not sent, without a closing full stop; may be empty
};

class MailSender {
public:
    MailSender() = default;
    MailSender(const MailSender&) = delete;
    MailSender& operator=(const MailSender&) = delete;

    // The server, log-in and logging of the next sends, and who they are from.
    void configure(const settings::SmtpSettings& smtp, const settings::SenderIdentity& sender);

    // How long the session waits for the server.
    void setTimeouts(const net::Timeouts& timeouts) { m_client.timeouts = timeouts; }

    // Sends draft. The recipient text is remembered (settings::writeLastRecipients())
    // before anything else. A log-in password the settings do not hold
    // comes from the keyring. With "LogSMTP" the steps go to the log as
    // "SMTP: " lines; a certificate the user may trust is asked about (on
    // this thread) before the session goes on. However it ends, no
    // connection is left standing; a refused recipient, say, is answered
    // with QUIT from the worker thread, so a stalling server cannot freeze
    // the caller.
    SendOutcome send(const Draft& draft);

    // A session is standing (never after send() returned).
    bool connected() const { return m_client.connected(); }

private:
    void sendOrThrow(const net::OutgoingMail& mail, const std::optional<QString>& password,
                     const QString& keyringFailure);
    // Writes text to the log when the settings ask for the send's lines.
    void log(const QString& text) const;

    settings::SmtpSettings m_smtp;
    settings::SenderIdentity m_sender;
    // Works on a worker thread while a step runs; this thread touches it only
    // before and after each step.
    net::SmtpClient m_client;
};

} // namespace mailout
