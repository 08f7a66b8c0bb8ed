#include "clientsession.h"

#include "cleartext.h"

namespace net {

bool hasLineBreak(const QString& s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

ClientSession::ClientSession()
{
    control.fail = [this](const QString& text) { failClosed(text); };
    control.scrub = [this](QString text) { return scrub(std::move(text)); };
}

void ClientSession::close(bool notify)
{
    if (!control.isOpen())
        return;
    control.close();
    afterClose(notify);
}

void ClientSession::failClosed(const QString& text)
{
    close(true);
    throw NetError(scrub(text));
}

void ClientSession::failOpen(const QString& text)
{
    throw NetError(scrub(text));
}

void ClientSession::connectTo(const QString& where, const QString& host, std::uint16_t port, const Timeouts& timeouts)
{
    control.where = where;
    control.timeouts = timeouts;
    try {
        control.open(host, port);
    } catch (const NetError& e) {
        failOpen(e.text());
    }
}

void ClientSession::startTls(const QString& host, QString* toleratedRefusal)
{
    tlsStep([&] { control.startTls(host, toleratedRefusal); });
}

void ClientSession::upgradeToTls(const QString& host, const QString& strayInputText, QString* toleratedRefusal)
{
    if (control.hasPendingInput())
        failClosed(strayInputText);
    startTls(host, toleratedRefusal);
}

void ClientSession::requireClearTextConsent(const QString& host, std::uint16_t port, const QString& why)
{
    try {
        net::requireClearTextConsent(host, port, why);
    } catch (const ClearTextError&) {
        close(true);
        throw;
    }
}

void ClientSession::requireSingleLineLogin(const QString& user, const QString& password)
{
    if (hasLineBreak(user) || hasLineBreak(password))
        failClosed(QStringLiteral("Brukernavnet eller passordet inneholder ugyldige tegn"));
}

} // namespace net
