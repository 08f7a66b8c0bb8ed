// Why a connection failed, in the words the error box shows.
#include "connect.h"
#include "linechannel.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>

#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using net::connectFailureReason;

TEST(ConnectFailureReason, SystemTextsBecomeNorwegian)
{
    struct Case {
        const char* name;
        std::function<std::unique_ptr<Poco::Exception>()> make;
        int connectMs;
        const char* expected;
    };
    const Case cases[] = {
        {"time-out", [] { return std::make_unique<Poco::TimeoutException>(); }, 30000, "fikk ikke svar på 30 sekunder"},
        {"time-out, one second", [] { return std::make_unique<Poco::TimeoutException>(); }, 1000,
         "fikk ikke svar på 1 sekund"},
        {"refused", [] { return std::make_unique<Poco::Net::ConnectionRefusedException>("127.0.0.1:110"); }, 30000,
         "tilkoblingen ble avvist"},
        {"unknown name", [] { return std::make_unique<Poco::Net::HostNotFoundException>("pop.example.no"); }, 30000,
         "fant ikke serveren"},
        {"no address", [] { return std::make_unique<Poco::Net::NoAddressFoundException>("pop.example.no"); }, 30000,
         "fant ikke serveren"},
        {"network unreachable",
         [] { return std::make_unique<Poco::Net::NetException>("Network is unreachable", ENETUNREACH); }, 30000,
         "nettverket kan ikke nås"},
        {"no route",
         [] { return std::make_unique<Poco::Net::NetException>("No route to host", EHOSTUNREACH); }, 30000,
         "serveren kan ikke nås"},
        {"other", [] { return std::make_unique<Poco::Net::NetException>("Something odd", 9999); }, 30000,
         "nettverksfeil (Net Exception: Something odd)"},
    };
    for (const Case& c : cases) {
        const std::unique_ptr<Poco::Exception> e = c.make();
        EXPECT_EQ(connectFailureReason(*e, c.connectMs), QString::fromUtf8(c.expected)) << c.name;
    }
}

// What an error text may show of a server's reply that echoes the password.
TEST(HideSecret, ThePasswordWholeOrCutAtTheTextsEndsIsHidden)
{
    const QString secret = QStringLiteral(" Fz hemmelig  Zq7 ");
    const struct {
        const char* name;
        const char* text;
        const char* shown;
    } cases[] = {
        {"whole", "feil for  Fz hemmelig  Zq7  her", "feil for *** her"},
        {"without its end blanks", "feil for Fz hemmelig  Zq7.", "feil for ***."},
        // The secret's own blanks go with the piece.
        {"the rest after a cut at the start", "emmelig  Zq7 og mer", "***og mer"},
        {"the beginning before a cut at the end", "bruker ola Fz hem", "bruker ola***"},
        {"both ends", "q7 midt Fz h", "***midt***"},
        {"two characters are no piece", "7 ok F", "7 ok F"},
        {"nothing of it", "Serveren er opptatt", "Serveren er opptatt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(net::hideSecret(QString::fromUtf8(c.text), secret), QString::fromUtf8(c.shown)) << c.name;
}
