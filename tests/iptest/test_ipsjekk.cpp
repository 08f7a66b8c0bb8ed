// The connectivity test on its real window, headless, against loopback ports.
#include "fakeplatform.h"
#include "ipsjekk.h"

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
using ipsjekk::IPTestForm;
using ipsjekk::kFailureColour;
using ipsjekk::kNormalColour;
using ipsjekk::sjekkip;
using ipsjekk::TIPTestForm;

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
                                   if (busy && IPTestForm)
                                       during.append({IPTestForm->isVisible(), IPTestForm->statusLabel->text(),
                                                      IPTestForm->okButton->isVisibleTo(IPTestForm),
                                                      IPTestForm->panelColour()});
                               },
                               {},
                               {}});
        IPTestForm = new TIPTestForm;
    }
    void TearDown() override { delete IPTestForm; }

    TIPTestForm& form() { return *IPTestForm; }
    Seen lastSeen() const { return during.isEmpty() ? Seen{} : during.last(); }

    RuntimeFixtureGuard guard;
    QList<Seen> during;
};

} // namespace

TEST_F(ConnectionTest, WindowAsDrawn)
{
    TIPTestForm& f = form();
    EXPECT_EQ(f.objectName(), QStringLiteral("IPTestForm"));
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
        int result;
        QString tried; // host:port as shown
        bool outcomeShown; // the window stays with the outcome and "O&k"
        Listener* reached; // the listener the attempt connects to, if any
        bool windowFreesBacklog = false;
    };
    const Case cases[] = {
        {"listening port", QStringLiteral("127.0.0.1"), o, true, 0, QStringLiteral("127.0.0.1:") + os, true, &open},
        {"host name", QStringLiteral("localhost"), o, true, 0, QStringLiteral("localhost:") + os, true, &open},
        {"port in the host text wins", QStringLiteral("127.0.0.1:") + os, 110, true, 0,
         QStringLiteral("127.0.0.1:") + os, true, &open},
        {"success not reported", QStringLiteral("127.0.0.1"), o, false, 0, QStringLiteral("127.0.0.1:") + os, false,
         &open},
        {"closed port", QStringLiteral("127.0.0.1"), c, true, -1, QStringLiteral("127.0.0.1:") + cs, true, nullptr},
        {"closed port in the host text wins over an open one", QStringLiteral("127.0.0.1:") + cs, o, true, -1,
         QStringLiteral("127.0.0.1:") + cs, true, nullptr},
        {"empty host", QString(), 110, true, -1, QStringLiteral(":110"), true, nullptr},
        {"port out of range", QStringLiteral("127.0.0.1"), 70000, true, -1, QStringLiteral("127.0.0.1:70000"), true,
         nullptr},
        {"failure not reported", QStringLiteral("127.0.0.1"), c, false, -1, QStringLiteral("127.0.0.1:") + cs, false,
         nullptr},
        {"no answer until the window thread frees the backlog", QStringLiteral("127.0.0.1"), full.port(), true, 0,
         QStringLiteral("127.0.0.1:") + fs, true, &full, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        form().dismiss(); // each case starts from a hidden window
        during.clear();
        guard.fake.busyCalls.clear();

        // Runs while the attempt waits: the busy pointer is on and not yet off.
        QList<Seen> seenFromTimer;
        QTimer windowTimer;
        windowTimer.setInterval(5);
        QObject::connect(&windowTimer, &QTimer::timeout, [&] {
            if (guard.fake.busyCalls != QList<bool>{true} || !seenFromTimer.isEmpty())
                return;
            seenFromTimer.append({form().isVisible(), form().statusLabel->text(),
                                  form().okButton->isVisibleTo(&form()), form().panelColour()});
            full.acceptWaiting();
        });
        if (k.windowFreesBacklog)
            windowTimer.start();

        EXPECT_EQ(sjekkip(k.host, k.port, k.report), k.result);
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

        EXPECT_EQ(form().isVisible(), k.outcomeShown);
        EXPECT_EQ(form().okButton->isVisibleTo(&form()), k.outcomeShown);
        if (k.outcomeShown && k.result == -1) {
            EXPECT_EQ(form().panelColour(), kFailureColour);
            EXPECT_EQ(form().statusLabel->text(), QStringLiteral("Kan ikke koble til: ") + k.tried);
        } else {
            EXPECT_EQ(form().panelColour(), kNormalColour);
        }
        if (k.outcomeShown && k.result == 0) {
            EXPECT_EQ(form().statusLabel->text(), QStringLiteral("Tilkoblingen virker: ") + k.tried);
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
    EXPECT_EQ(sjekkip(QStringLiteral("[::1]:") + port, 110, true), 0);
    EXPECT_EQ(lastSeen().text, QStringLiteral("Sjekker [::1]:%1 ....").arg(port));
    EXPECT_EQ(open->bytesFromNextConnection(), 0);
    EXPECT_EQ(form().statusLabel->text(), QStringLiteral("Tilkoblingen virker: [::1]:%1").arg(port));
}

TEST_F(ConnectionTest, SecondTestWhileFailureShownRunsInTheSameWindow)
{
    Listener open;
    const int c = closedPort();
    struct Step {
        const char* name;
        int port;
        int result;
        QColor colourDuring;
    };
    const Step steps[] = {
        {"first failure, from hidden", c, -1, kNormalColour},
        {"again while the failure shows", c, -1, kFailureColour},
        {"success while the failure shows", open.port(), 0, kFailureColour},
        {"failure while the success shows", c, -1, kNormalColour},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(sjekkip(QStringLiteral("127.0.0.1"), s.port, true), s.result);
        const Seen seen = lastSeen();
        EXPECT_EQ(seen.colour, s.colourDuring);
        EXPECT_FALSE(seen.okVisible);
        EXPECT_EQ(seen.text, QStringLiteral("Sjekker 127.0.0.1:%1 ....").arg(s.port));
        EXPECT_TRUE(form().isVisible());
        EXPECT_TRUE(form().okButton->isVisibleTo(&form()));
        EXPECT_EQ(form().panelColour(), s.result == 0 ? kNormalColour : kFailureColour);
        EXPECT_EQ(form().statusLabel->text(), (s.result == 0 ? QStringLiteral("Tilkoblingen virker: 127.0.0.1:%1")
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
        std::function<void(TIPTestForm&)> dismiss;
    };
    const Way ways[] = {
        {"click O&k", [](TIPTestForm& f) { QTest::mouseClick(f.okButton, Qt::LeftButton); }},
        {"Enter", [](TIPTestForm& f) { QTest::keyClick(&f, Qt::Key_Return); }},
        {"Escape", [](TIPTestForm& f) { QTest::keyClick(&f, Qt::Key_Escape); }},
    };
    for (const Way& w : ways) {
        SCOPED_TRACE(w.name);
        ASSERT_EQ(sjekkip(QStringLiteral("127.0.0.1"), c, true), -1);
        ASSERT_TRUE(form().isVisible());
        w.dismiss(form());
        EXPECT_FALSE(form().isVisible());
        EXPECT_EQ(form().panelColour(), kNormalColour);
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
        sjekkip(QStringLiteral("127.0.0.1"), c, true);
        shown = form().isVisible();
        // Through the window system, where a window blocked by the modal
        // dialog would lose the click.
        QTest::mouseClick(form().windowHandle(), Qt::LeftButton, {},
                          form().okButton->mapTo(&form(), form().okButton->rect().center()));
        hiddenAfterClick = !form().isVisible();
        modal.reject();
    });
    modal.exec();
    EXPECT_TRUE(shown);
    EXPECT_TRUE(hiddenAfterClick);
}

TEST_F(ConnectionTest, CreatesItsWindowWhenTheProgramHasNot)
{
    delete IPTestForm;
    ASSERT_EQ(IPTestForm, nullptr) << "a destroyed window does not stay behind as the program's one";
    Listener open;
    EXPECT_EQ(sjekkip(QStringLiteral("127.0.0.1"), open.port(), false), 0);
    ASSERT_NE(IPTestForm, nullptr);
    EXPECT_FALSE(IPTestForm->isVisible());
    EXPECT_EQ(open.bytesFromNextConnection(), 0);
}

TEST_F(ConnectionTest, CentredOverItsOwnerAndKeptOnTheScreen)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget owner;
    form().setOwner(&owner);
    const int c = closedPort();

    owner.setGeometry(screen.left() + 100, screen.top() + 100, 442, 332);
    sjekkip(QStringLiteral("127.0.0.1"), c, true);
    EXPECT_LE((form().geometry().center() - owner.geometry().center()).manhattanLength(), 1);
    form().dismiss();

    owner.setGeometry(screen.left() - 300, screen.top() - 100, 200, 100);
    sjekkip(QStringLiteral("127.0.0.1"), c, true);
    EXPECT_TRUE(screen.contains(form().geometry())) << "an owner off the edge still leaves the window whole";
}
