#include "clientsession.h"

#include "cleartext.h"

namespace net {

bool hasLineBreak(const QString& s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

ClientSession::ClientSession()
{
    ch.fail = [this](const QString& text) { failClosed(text); };
    ch.scrub = [this](QString text) { return scrub(std::move(text)); };
}

void ClientSession::close(bool notify)
{
    if (!ch.isOpen())
        return;
    ch.close();
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
    ch.where = where;
    ch.timeouts = timeouts;
    try {
        ch.open(host, port);
    } catch (const NetError& e) {
        failOpen(e.text());
    }
}

void ClientSession::startTls(const QString& host, QString* toleratedRefusal)
{
    tlsStep([&] { ch.startTls(host, toleratedRefusal); });
}

void ClientSession::upgradeToTls(const QString& host, const QString& strayInputText, QString* toleratedRefusal)
{
    if (ch.hasPendingInput())
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
