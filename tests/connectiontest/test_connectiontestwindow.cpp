// The connectivity test on its real window, headless, against loopback ports.
#include "connectiontestwindow.h"
#include "fakeplatform.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <QDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace testsupport;
using connectiontest::kFailureColour;
using connectiontest::kNormalColour;
using connectiontest::ConnectionTestWindow;

namespace {

// A listening loopback port. The connection a test makes waits in the
// backlog and is looked at after the test has returned.
class Listener {
public:
    explicit Listener(const std::string& address = "127.0.0.1", int backlog = 64)
        : m_socket(Poco::Net::SocketAddress(address, 0), backlog)
    {
    }
    int port() const { return m_socket.address().port(); }

    // Accepts the next connection and reads until the peer closes it:
    // the number of bytes it sent, or -1 when no connection came, -2 when
    // the peer did not close it.
    int bytesFromNextConnection()
    {
        if (!m_socket.poll(Poco::Timespan(5, 0), Poco::Net::Socket::SELECT_READ))
            return -1;
        Poco::Net::StreamSocket peer = m_socket.acceptConnection();
        peer.setReceiveTimeout(Poco::Timespan(5, 0));
        char buffer[256];
        int total = 0;
        try {
            for (int n; (n = peer.receiveBytes(buffer, sizeof buffer)) > 0;)
                total += n;
        } catch (const Poco::TimeoutException&) {
            return -2;
        }
        return total;
    }

    bool hasConnection() { return m_socket.poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_READ); }
    // Takes one waiting connection off the backlog (and drops it).
    void acceptWaiting() { m_socket.acceptConnection().close(); }

private:
    Poco::Net::ServerSocket m_socket;
};

// A loopback port on which nothing listens.
int closedPort()
{
    Poco::Net::ServerSocket s(Poco::Net::SocketAddress("127.0.0.1", 0));
    const int port = s.address().port();
    s.close();
    return port;
}

// The window as the user saw it while the attempt blocked.
struct Seen {
    bool visible = false;
    QString text;
    bool okVisible = false;
    QColor colour;
};

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The busy cursor goes on right before the attempt: the moment to
        // look at the window.
        guard.fake.setUiHooks({{}, [this](bool busy) {
                                   guard.fake.busyCalls.append(busy);
                                   if (busy && window)
                                       during.append({window->isVisible(), window->statusLabel->text(),
                                                      window->okButton->isVisibleTo(window.get()),
                                                      window->panelColour()});
                               },
                               {},
                               {}});
        window = std::make_unique<ConnectionTestWindow>();
    }
    void TearDown() override { window.reset(); }

    ConnectionTestWindow& testWindow() { return *window; }
    Seen lastSeen() const { return during.isEmpty() ? Seen{} : during.last(); }

    RuntimeFixtureGuard guard;
    QList<Seen> during;
    std::unique_ptr<ConnectionTestWindow> window;
};

} // namespace

TEST_F(ConnectionTest, WindowAsDrawn)
{
    ConnectionTestWindow& f = testWindow();
    EXPECT_EQ(f.objectName(), QStringLiteral("ConnectionTestWindow"));
    EXPECT_TRUE(f.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(f.size(), QSize(297, 37));
    EXPECT_EQ(f.font().pixelSize(), 11);
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(f.statusPanel->objectName(), QStringLiteral("statusPanel"));
    EXPECT_EQ(f.statusPanel->geometry(), QRect(0, 0, 297, 37));
    EXPECT_EQ(f.statusPanel->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(f.panelColour(), QColor(192, 192, 240));
    EXPECT_EQ(f.statusLabel->objectName(), QStringLiteral("statusLabel"));
    EXPECT_TRUE(f.statusLabel->alignment().testFlag(Qt::AlignHCenter));
    EXPECT_FALSE(f.statusLabel->autoFillBackground());
    EXPECT_EQ(f.okButton->objectName(), QStringLiteral("okButton"));
    EXPECT_EQ(f.okButton->text(), QStringLiteral("O&k"));
    EXPECT_TRUE(f.okButton->isDefault());
    EXPECT_GT(f.okButton->x(), f.statusLabel->geometry().right()) << "the button stands right of the text";
}

TEST_F(ConnectionTest, ResultTextAndWindowForEachOutcome)
{
    Listener open;
    const int o = open.port();
    const int c = closedPort();
    const QString os = QString::number(o), cs = QString::number(c);
    // A port whose backlog is full: a connection attempt gets no answer
    // until a timer on the window thread takes the waiting connection off,
    // which it can do only while the window thread keeps running.
    Listener full("127.0.0.1", 0);
    Poco::Net::StreamSocket filler(Poco::Net::SocketAddress("127.0.0.1", Poco::UInt16(full.port())));
    const QString fs = QString::number(full.port());

    struct Case {
        const char* name;
        QString host;
        int port;
        bool report;
        bool connected;
        QString tried; // host:port as shown
        bool outcomeShown; // the window stays with the outcome and "O&k"
        Listener* reached; // the listener the attempt connects to, if any
        bool windowFreesBacklog = false;
    };
    const Case cases[] = {
        {"listening port", QStringLiteral("127.0.0.1"), o, true, true, QStringLiteral("127.0.0.1:") + os, true, &open},
        {"host name", QStringLiteral("localhost"), o, true, true, QStringLiteral("localhost:") + os, true, &open},
        {"port in the host text wins", QStringLiteral("127.0.0.1:") + os, 110, true, true,
         QStringLiteral("127.0.0.1:") + os, true, &open},
        {"success not reported", QStringLiteral("127.0.0.1"), o, false, true, QStringLiteral("127.0.0.1:") + os, false,
         &open},
        {"closed port", QStringLiteral("127.0.0.1"), c, true, false, QStringLiteral("127.0.0.1:") + cs, true, nullptr},
        {"closed port in the host text wins over an open one", QStringLiteral("127.0.0.1:") + cs, o, true, false,
         QStringLiteral("127.0.0.1:") + cs, true, nullptr},
        {"empty host", QString(), 110, true, false, QStringLiteral(":110"), true, nullptr},
        {"port out of range", QStringLiteral("127.0.0.1"), 70000, true, false, QStringLiteral("127.0.0.1:70000"), true,
         nullptr},
        {"failure not reported", QStringLiteral("127.0.0.1"), c, false, false, QStringLiteral("127.0.0.1:") + cs, false,
         nullptr},
        {"no answer until the window thread frees the backlog", QStringLiteral("127.0.0.1"), full.port(), true, true,
         QStringLiteral("127.0.0.1:") + fs, true, &full, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        testWindow().dismiss(); // each case starts from a hidden window
        during.clear();
        guard.fake.busyCalls.clear();

        // Runs while the attempt waits: the busy pointer is on and not yet off.
        QList<Seen> seenFromTimer;
        QTimer windowTimer;
        windowTimer.setInterval(5);
        QObject::connect(&windowTimer, &QTimer::timeout, [&] {
            if (guard.fake.busyCalls != QList<bool>{true} || !seenFromTimer.isEmpty())
                return;
            seenFromTimer.append({testWindow().isVisible(), testWindow().statusLabel->text(),
                                  testWindow().okButton->isVisibleTo(&testWindow()), testWindow().panelColour()});
            full.acceptWaiting();
        });
        if (k.windowFreesBacklog)
            windowTimer.start();

        EXPECT_EQ(testWindow().testConnection(k.host, k.port, k.report), k.connected);
        windowTimer.stop();

        ASSERT_EQ(during.size(), 1);
        const Seen seen = lastSeen();
        EXPECT_TRUE(seen.visible);
        EXPECT_EQ(seen.text, QStringLiteral("Sjekker ") + k.tried + QStringLiteral(" ...."));
        EXPECT_FALSE(seen.okVisible);
        EXPECT_EQ(seen.colour, kNormalColour);
        EXPECT_EQ(guard.fake.busyCalls, (QList<bool>{true, false})) << "the pointer is back to normal";
        if (k.windowFreesBacklog) {
            ASSERT_EQ(seenFromTimer.size(), 1) << "the window thread stood still during the attempt";
            EXPECT_TRUE(seenFromTimer[0].visible);
            EXPECT_EQ(seenFromTimer[0].text, seen.text);
            EXPECT_FALSE(seenFromTimer[0].okVisible);
        }

        EXPECT_EQ(testWindow().isVisible(), k.outcomeShown);
        EXPECT_EQ(testWindow().okButton->isVisibleTo(&testWindow()), k.outcomeShown);
        if (k.outcomeShown && !k.connected) {
            EXPECT_EQ(testWindow().panelColour(), kFailureColour);
            EXPECT_EQ(testWindow().statusLabel->text(), QStringLiteral("Kan ikke koble til: ") + k.tried);
        } else {
            EXPECT_EQ(testWindow().panelColour(), kNormalColour);
        }
        if (k.outcomeShown && k.connected) {
            EXPECT_EQ(testWindow().statusLabel->text(), QStringLiteral("Tilkoblingen virker: ") + k.tried);
        }
        if (k.reached) {
            EXPECT_EQ(k.reached->bytesFromNextConnection(), 0) << "connected, closed, nothing sent";
        }
        EXPECT_FALSE(open.hasConnection());
    }
}

TEST_F(ConnectionTest, IPv6AddressInBrackets)
{
    std::unique_ptr<Listener> open;
    try {
        open = std::make_unique<Listener>("::1");
    } catch (const Poco::Exception&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    const QString port = QString::number(open->port());
    EXPECT_TRUE(testWindow().testConnection(QStringLiteral("[::1]:") + port, 110, true));
    EXPECT_EQ(lastSeen().text, QStringLiteral("Sjekker [::1]:%1 ....").arg(port));
    EXPECT_EQ(open->bytesFromNextConnection(), 0);
    EXPECT_EQ(testWindow().statusLabel->text(), QStringLiteral("Tilkoblingen virker: [::1]:%1").arg(port));
}

TEST_F(ConnectionTest, SecondTestWhileFailureShownRunsInTheSameWindow)
{
    Listener open;
    const int c = closedPort();
    struct Step {
        const char* name;
        int port;
        bool connected;
        QColor colourDuring;
    };
    const Step steps[] = {
        {"first failure, from hidden", c, false, kNormalColour},
        {"again while the failure shows", c, false, kFailureColour},
        {"success while the failure shows", open.port(), true, kFailureColour},
        {"failure while the success shows", c, false, kNormalColour},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(testWindow().testConnection(QStringLiteral("127.0.0.1"), s.port, true), s.connected);
        const Seen seen = lastSeen();
        EXPECT_EQ(seen.colour, s.colourDuring);
        EXPECT_FALSE(seen.okVisible);
        EXPECT_EQ(seen.text, QStringLiteral("Sjekker 127.0.0.1:%1 ....").arg(s.port));
        EXPECT_TRUE(testWindow().isVisible());
        EXPECT_TRUE(testWindow().okButton->isVisibleTo(&testWindow()));
        EXPECT_EQ(testWindow().panelColour(), s.connected ? kNormalColour : kFailureColour);
        EXPECT_EQ(testWindow().statusLabel->text(), (s.connected ? QStringLiteral("Tilkoblingen virker: 127.0.0.1:%1")
                                                            : QStringLiteral("Kan ikke koble til: 127.0.0.1:%1"))
                                                  .arg(s.port));
    }
    EXPECT_EQ(open.bytesFromNextConnection(), 0);
}

TEST_F(ConnectionTest, FailureIsDismissedWithOkEnterOrEscape)
{
    const int c = closedPort();
    struct Way {
        const char* name;
        std::function<void(ConnectionTestWindow&)> dismiss;
    };
    const Way ways[] = {
        {"click O&k", [](ConnectionTestWindow& f) { QTest::mouseClick(f.okButton, Qt::LeftButton); }},
        {"Enter", [](ConnectionTestWindow& f) { QTest::keyClick(&f, Qt::Key_Return); }},
        {"Escape", [](ConnectionTestWindow& f) { QTest::keyClick(&f, Qt::Key_Escape); }},
    };
    for (const Way& w : ways) {
        SCOPED_TRACE(w.name);
        ASSERT_FALSE(testWindow().testConnection(QStringLiteral("127.0.0.1"), c, true));
        ASSERT_TRUE(testWindow().isVisible());
        w.dismiss(testWindow());
        EXPECT_FALSE(testWindow().isVisible());
        EXPECT_EQ(testWindow().panelColour(), kNormalColour);
    }
}

// The settings dialog that runs the test is modal; the failure window must
// still take the click on its button.
TEST_F(ConnectionTest, OkWorksWhileAModalDialogIsOpen)
{
    const int c = closedPort();
    QDialog modal;
    bool shown = false, hiddenAfterClick = false;
    QTimer::singleShot(0, &modal, [&] {
        testWindow().testConnection(QStringLiteral("127.0.0.1"), c, true);
        shown = testWindow().isVisible();
        // Through the window system, where a window blocked by the modal
        // dialog would lose the click.
        QTest::mouseClick(testWindow().windowHandle(), Qt::LeftButton, {},
                          testWindow().okButton->mapTo(&testWindow(), testWindow().okButton->rect().center()));
        hiddenAfterClick = !testWindow().isVisible();
        modal.reject();
    });
    modal.exec();
    EXPECT_TRUE(shown);
    EXPECT_TRUE(hiddenAfterClick);
}

// The window thread serves events while the attempt runs; a window that is
// destroyed meanwhile is not touched after it.
TEST_F(ConnectionTest, AWindowDestroyedDuringTheAttemptIsLeftAlone)
{
    Listener full("127.0.0.1", 0);
    Poco::Net::StreamSocket filler(Poco::Net::SocketAddress("127.0.0.1", Poco::UInt16(full.port())));
    QTimer destroyer;
    destroyer.setInterval(5);
    QObject::connect(&destroyer, &QTimer::timeout, [&] {
        if (guard.fake.busyCalls != QList<bool>{true})
            return;
        destroyer.stop();
        window.reset();
        full.acceptWaiting(); // the attempt may end now
    });
    destroyer.start();
    ConnectionTestWindow* const tested = window.get();
    EXPECT_TRUE(tested->testConnection(QStringLiteral("127.0.0.1"), full.port(), true));
    EXPECT_EQ(window, nullptr) << "the window was not destroyed during the attempt; the case shows nothing";
    EXPECT_EQ(full.bytesFromNextConnection(), 0);
}

TEST_F(ConnectionTest, CentredOverItsOwnerAndKeptOnTheScreen)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget owner;
    testWindow().setOwner(&owner);
    const int c = closedPort();

    owner.setGeometry(screen.left() + 100, screen.top() + 100, 442, 332);
    testWindow().testConnection(QStringLiteral("127.0.0.1"), c, true);
    EXPECT_LE((testWindow().geometry().center() - owner.geometry().center()).manhattanLength(), 1);
    testWindow().dismiss();

    owner.setGeometry(screen.left() - 300, screen.top() - 100, 200, 100);
    testWindow().testConnection(QStringLiteral("127.0.0.1"), c, true);
    EXPECT_TRUE(screen.contains(testWindow().geometry())) << "an owner off the edge still leaves the window whole";
}
