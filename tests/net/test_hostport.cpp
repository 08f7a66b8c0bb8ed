#include "hostport.h"

#include <gtest/gtest.h>

#include <QString>

#include <ostream>

namespace {

constexpr std::uint16_t kDefault = 110;

struct HostPortCase {
    const char* text;
    const char* host;
    std::uint16_t port;
};

void PrintTo(const HostPortCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class SplitHostPort : public ::testing::TestWithParam<HostPortCase> {};

TEST_P(SplitHostPort, Splits)
{
    const HostPortCase& c = GetParam();
    const net::HostPort hp = net::splitHostPort(QString::fromUtf8(c.text), kDefault);
    EXPECT_EQ(hp.host, QString::fromUtf8(c.host));
    EXPECT_EQ(hp.port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    WithOrWithoutPort, SplitHostPort,
    ::testing::Values(
        HostPortCase{"host", "host", kDefault},
        HostPortCase{"host:995", "host", 995},
        HostPortCase{"host:1", "host", 1},
        HostPortCase{"host:65535", "host", 65535},
        HostPortCase{"::1", "::1", kDefault},
        HostPortCase{"fe80::1", "fe80::1", kDefault}));

// Without a valid port the default is used and the whole text is the host.
INSTANTIATE_TEST_SUITE_P(
    InvalidPort, SplitHostPort,
    ::testing::Values(
        HostPortCase{"host:", "host:", kDefault},
        HostPortCase{"host:0", "host:0", kDefault},
        HostPortCase{"host:65536", "host:65536", kDefault},
        HostPortCase{"host:70000", "host:70000", kDefault},
        HostPortCase{"host:abc", "host:abc", kDefault},
        HostPortCase{"", "", kDefault}));

// The host of a bracketed IPv6 address, with or without its brackets.
TEST(SplitHostPort, BracketedIpv6)
{
    struct Case {
        const char* text;
        std::uint16_t port;
    };
    const Case cases[] = {{"[::1]:1100", 1100}, {"[::1]", kDefault}};
    for (const Case& c : cases) {
        const net::HostPort hp = net::splitHostPort(QString::fromUtf8(c.text), kDefault);
        EXPECT_EQ(hp.port, c.port) << c.text;
        EXPECT_TRUE(hp.host == QStringLiteral("::1") || hp.host == QStringLiteral("[::1]"))
            << c.text << " -> " << hp.host.toStdString();
    }
}

} // namespace
