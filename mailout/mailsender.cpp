#include "mailsender.h"

#include "certtrust.h"
#include "hostport.h"
#include "log.h"
#include "mailpasswords.h"
#include "neterror.h"
#include "offthread.h"
#include "state.h"
#include "username.h"

#include <QScopeGuard>
#include <optional>
#include <stdexcept>

namespace mailout {

void MailSender::configure(const settings::SmtpSettings& smtp, const settings::SenderIdentity& sender)
{
    m_smtp = smtp;
    m_sender = sender;
}

void MailSender::log(const QString& text) const
{
    if (m_smtp.logSmtp)
        rt::writeLog(text);
}

SendOutcome MailSender::send(const Draft& draft)
{
    // Remembered even when the send fails.
    settings::writeLastRecipients(draft.recipients);

    // A password the settings file does not hold comes from the keyring,
    // which may first have the desktop ask to unlock it (it is read off this
    // thread). One that cannot be had (none stored anywhere, or the keyring
    // locked) fails the send before any connection, saying why.
    const bool logsIn = m_smtp.logsIn();
    QString keyringFailure;
    const std::optional<QString> password = logsIn && m_smtp.password.isEmpty()
        ? keyring::passwordFromKeyring(keyring::accountFor(keyring::AccountKind::Smtp, m_smtp.serverName, m_smtp.user),
                                       &keyringFailure)
        : std::optional<QString>(m_smtp.password);

    net::OutgoingMail mail;
    mail.sender.address = m_sender.address;
    mail.sender.name = m_sender.name;
    mail.recipients = net::parseAddressList(draft.recipients);
    mail.subject = draft.subject;
    mail.bodyLines = draft.body.split(u'\n');
    mail.attachmentPath = draft.attachmentPath;

    // Whatever happens, the connection is let go; a QUIT still owed goes
    // from the worker thread too.
    const auto release = qScopeGuard([this] {
        if (!m_client.connected())
            return;
        try {
            rt::awaitOffThread([this] { m_client.disconnect(); });
        } catch (const std::exception&) {
            // The connection is closed either way.
        }
    });
    try {
        sendOrThrow(mail, password, keyringFailure);
        return SendOutcome{true, QString()};
    } catch (const std::exception& e) {
        const QString cause = net::errorText(e);
        log(QStringLiteral("SMTP: Kan ikke sende melding til ") + m_smtp.serverName);
        // The cause goes to the log only with detailed logging on.
        if (rt::state().verboseLogging)
            log(QStringLiteral("SMTP: ") + cause);
        return SendOutcome{false, cause};
    }
}

void MailSender::sendOrThrow(const net::OutgoingMail& mail, const std::optional<QString>& password,
                             const QString& keyringFailure)
{
    const QString& host = m_smtp.serverName;
    const net::HostPort server = net::splitHostPort(host, 25);
    m_client.host = server.host;
    m_client.port = server.port;
    m_client.authenticate = m_smtp.logsIn();
    m_client.user = m_smtp.logsIn() ? m_smtp.user : QString();
    m_client.password = m_smtp.logsIn() ? password.value_or(QString()) : QString();

    log(QStringLiteral("SMTP: ") + rt::userName() + QStringLiteral(" tillates tilgang"));
    log(QStringLiteral("SMTP: fra ") + mail.sender.address + QStringLiteral(" til ")
        + net::addressListText(mail.recipients) + QStringLiteral(" via ") + host);
    if (!password)
        throw std::runtime_error(keyringFailure.toStdString());
    // A certificate the user may trust is asked about once, then kept.
    net::withCertificateTrust([this] { rt::awaitOffThread([this] { m_client.connect(); }); });
    // Encrypted without a verified certificate (no login, so nothing secret
    // goes): said whether or not the send is logged.
    if (!m_client.certificateWarning().isEmpty())
        rt::writeLog(QStringLiteral("ADVARSEL: SMTP: ") + m_client.certificateWarning()
                     + QStringLiteral("; sender likevel kryptert til ") + host
                     + QStringLiteral(" siden ingen pålogging brukes"));
    log(QStringLiteral("SMTP: tilkoblet ") + host);
    rt::awaitOffThread([this, &mail] { m_client.send(mail); });
    log(QStringLiteral("SMTP: melding sendt"));
    rt::awaitOffThread([this] { m_client.disconnect(); });
    log(QStringLiteral("SMTP: koblet fra ") + host);
}

} // namespace mailout
