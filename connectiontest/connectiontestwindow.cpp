#include "connectiontestwindow.h"

#include "errordisplay.h"
#include "hostport.h"
#include "offthread.h"
#include "platform.h"
#include "windowfont.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QWindow>

#include <Poco/Exception.h>
#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <vector>

namespace connectiontest {

namespace {

struct Target {
    QString host;
    int port = 0;
};

// A port written after the host wins over the one the caller gives.
Target targetOf(const QString& text, int port)
{
    const net::HostPort own = net::splitHostPort(text, 0);
    return {own.host, own.port != 0 ? int(own.port) : port};
}

// "host:port", an IPv6 address in brackets so that its port stands apart.
QString hostPortText(const Target& t)
{
    const QString host = t.host.contains(QLatin1Char(':')) ? QLatin1Char('[') + t.host + QLatin1Char(']') : t.host;
    return host + QLatin1Char(':') + QString::number(t.port);
}

std::vector<Poco::Net::IPAddress> addressesOf(const QString& host)
{
    const QByteArray ace = QUrl::toAce(host);
    const std::string name = (ace.isEmpty() ? host.toUtf8() : ace).toStdString();
    Poco::Net::IPAddress literal;
    if (Poco::Net::IPAddress::tryParse(name, literal))
        return {literal};
    // No address-configuration filter: "localhost" must resolve on a
    // machine with nothing but loopback.
    return Poco::Net::DNS::hostByName(name, Poco::Net::DNS::DNS_HINT_NONE).addresses();
}

// One connection, closed at once without a byte sent. Every address of the
// name is tried in turn within one shared time limit.
bool tryConnect(const Target& t)
{
    if (t.host.isEmpty() || t.port < 0 || t.port > 65535)
        return false;
    try {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
        for (const Poco::Net::IPAddress& address : addressesOf(t.host)) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            try {
                Poco::Net::StreamSocket socket(address.family());
                socket.connect(Poco::Net::SocketAddress(address, Poco::UInt16(t.port)),
                               Poco::Timespan(Poco::Timespan::TimeDiff(left.count())));
                socket.close();
                return true;
            } catch (const Poco::Exception&) {
                // refused, unreachable, timed out: the next address may answer
            }
        }
    } catch (const Poco::Exception&) {
        // the name could not be resolved
    } catch (const std::exception&) {
    }
    return false;
}

} // namespace

bool ConnectionTestWindow::testConnection(const QString& host, int port, bool report)
{
    // The window thread serves events while the attempt runs; the window
    // may not outlive them.
    const QPointer<ConnectionTestWindow> stillThere = this;
    const Target target = targetOf(host, port);
    const QString shown = hostPortText(target);

    showForTest();
    okButton->hide();
    statusLabel->setText(QStringLiteral("Sjekker ") + shown + QStringLiteral(" ...."));

    bool connected = false;
    {
        rt::BusyCursor busy;
        // On a worker thread: the window paints its text and answers the
        // window manager while the attempt waits.
        connected = rt::awaitOffThreadResult([target] { return tryConnect(target); });
    }
    if (!stillThere)
        return connected;

    if (report) {
        // The outcome stays until "O&k": a working connection is news too.
        setPanelColour(connected ? kNormalColour : kFailureColour);
        statusLabel->setText((connected ? QStringLiteral("Tilkoblingen virker: ") : QStringLiteral("Kan ikke koble til: "))
                             + shown);
        okButton->show();
        okButton->setFocus();
    } else {
        hide();
    }
    return connected;
}

ConnectionTestWindow::ConnectionTestWindow(QWidget* parent)
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("ConnectionTestWindow"));
    // What window lists and a window switcher show for it.
    setWindowTitle(QStringLiteral("Tilkoblingstest"));
    setFixedSize(297, 37);
    setFont(gui::windowFont());

    statusPanel = new QFrame(this);
    statusPanel->setObjectName(QStringLiteral("statusPanel"));
    statusPanel->setGeometry(0, 0, 297, 37);
    statusPanel->setFrameShape(QFrame::Panel);
    statusPanel->setFrameShadow(QFrame::Sunken);
    statusPanel->setLineWidth(1);
    statusPanel->setAutoFillBackground(true);
    setPanelColour(kNormalColour);

    statusLabel = new QLabel(statusPanel);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setGeometry(6, 12, 236, 13);
    statusLabel->setAlignment(Qt::AlignCenter);
    QPalette labelPal = statusLabel->palette();
    labelPal.setColor(QPalette::WindowText, Qt::black);
    statusLabel->setPalette(labelPal);

    okButton = new QPushButton(QStringLiteral("O&k"), statusPanel);
    okButton->setObjectName(QStringLiteral("okButton"));
    okButton->setGeometry(248, 8, 41, 21);
    okButton->setDefault(true);

    connect(okButton, &QPushButton::clicked, this, [this] { rt::runHandler([&] { dismiss(); }); });
}

QColor ConnectionTestWindow::panelColour() const
{
    return statusPanel->palette().color(QPalette::Window);
}

void ConnectionTestWindow::setPanelColour(const QColor& colour)
{
    QPalette pal = statusPanel->palette();
    pal.setColor(QPalette::Window, colour);
    statusPanel->setPalette(pal);
}

void ConnectionTestWindow::resetColourOnShow()
{
    setPanelColour(kNormalColour);
}

void ConnectionTestWindow::dismiss()
{
    setPanelColour(kNormalColour);
    hide();
}

void ConnectionTestWindow::reject()
{
    dismiss();
}

void ConnectionTestWindow::opening()
{
    rt::runHandler([&] { resetColourOnShow(); });
}

void ConnectionTestWindow::showForTest()
{
    // While a modal dialog runs, every other window is blocked; as that
    // dialog's transient the window and its "O&k" button stay usable.
    QWidget* modal = QApplication::activeModalWidget();
    QWindow* above = nullptr;
    if (modal && modal != this)
        above = modal->window()->windowHandle();
    else if (parentWidget())
        above = parentWidget()->window()->windowHandle();
    (void)winId(); // the native window must exist to take a transient parent
    if (QWindow* w = windowHandle())
        w->setTransientParent(above);
    show();
    raise();
    activateWindow();
}

QWidget* ConnectionTestWindow::placedOver() const
{
    QWidget* over = owner() ? owner() : QApplication::activeModalWidget();
    return over == this ? nullptr : over;
}

} // namespace connectiontest
