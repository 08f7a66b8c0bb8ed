// Server profiles as stored in the main settings file, and the FTP profile
// read into the FTP transfer settings.
#include "serversfixture.h"

#include "passwordscramble.h"
#include "serverprofile.h"

#include <optional>

using testsupport::ServersFixture;

namespace {

using testsupport::operator<<;

class ServerProfileTest : public ServersFixture {};

TEST_F(ServerProfileTest, EachValueIsStoredUnderItsOwnKeyAndReadBack)
{
    const servers::ServerProfile profile{QStringLiteral("Prisliste"), QStringLiteral("www.tavlund.example"),
                                         QStringLiteral("/priser/"),  QStringLiteral(" kari "),
                                         QStringLiteral("p å ss"),    QStringLiteral("åtti"),
                                         true};
    servers::writeServerProfile(QStringLiteral("HTTP"), profile);

    const QString kind = QStringLiteral("HTTP");
    EXPECT_EQ(rt::settingsFile().keys(section(kind)),
              (QStringList{QStringLiteral("name"), QStringLiteral("server"), QStringLiteral("folder"),
                           QStringLiteral("username"), QStringLiteral("password"), QStringLiteral("port"),
                           QStringLiteral("SSL")}));
    EXPECT_EQ(stored(kind, QStringLiteral("name")), QStringLiteral("Prisliste"));
    EXPECT_EQ(stored(kind, QStringLiteral("server")), QStringLiteral("www.tavlund.example"));
    EXPECT_EQ(stored(kind, QStringLiteral("folder")), QStringLiteral("/priser/"));
    EXPECT_EQ(stored(kind, QStringLiteral("username")), QStringLiteral(" kari "));
    EXPECT_NE(stored(kind, QStringLiteral("password")), QStringLiteral("p å ss")) << "stored scrambled";
    EXPECT_EQ(rt::unscrambleText(stored(kind, QStringLiteral("password"))), QStringLiteral("p å ss"));
    EXPECT_EQ(stored(kind, QStringLiteral("port")), QStringLiteral("åtti")) << "no default port filled in";
    EXPECT_EQ(stored(kind, QStringLiteral("SSL")), QStringLiteral("1"));
    EXPECT_EQ(rt::state().settingsSection, QStringLiteral("STANDARD"));

    EXPECT_EQ(servers::readServerProfile(kind), profile);
    EXPECT_EQ(servers::readServerProfile(QStringLiteral("FTP")), servers::ServerProfile{}) << "another kind's section";
    EXPECT_EQ(rt::state().settingsSection, QStringLiteral("STANDARD"));
}

// readFtpProfile: the FTP profile into the transfer settings.
struct FtpPortCase {
    const char* name;
    QString stored;
    std::uint16_t port;
};

class FtpProfilePortTest : public ServersFixture, public testing::WithParamInterface<FtpPortCase> {};

TEST_P(FtpProfilePortTest, OnlyAPortInRangeIsUsed)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("port"), GetParam().stored}});
    servers::readFtpProfile();
    EXPECT_EQ(servers::ftpSettings().port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpProfilePortTest,
                         testing::Values(FtpPortCase{"Standard", QStringLiteral("21"), 21},
                                         FtpPortCase{"Other", QStringLiteral("2121"), 2121},
                                         FtpPortCase{"Padded", QStringLiteral(" 990 "), 990},
                                         FtpPortCase{"Highest", QStringLiteral("65535"), 65535},
                                         FtpPortCase{"Zero", QStringLiteral("0"), 21},
                                         FtpPortCase{"TooHigh", QStringLiteral("65536"), 21},
                                         FtpPortCase{"Negative", QStringLiteral("-21"), 21},
                                         FtpPortCase{"Word", QStringLiteral("ftp"), 21},
                                         FtpPortCase{"Empty", QString(), 21}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FtpSslCase {
    const char* name;
    std::optional<QString> stored; // nothing: no "SSL" key
    bool ssl;
};

class FtpProfileSslTest : public ServersFixture, public testing::WithParamInterface<FtpSslCase> {};

TEST_P(FtpProfileSslTest, TheSslFlagTurnsOnFtps)
{
    if (GetParam().stored)
        writeProfile(QStringLiteral("FTP"), {{QStringLiteral("SSL"), *GetParam().stored}});
    servers::ftpSettings().explicitTls = !GetParam().ssl; // a value left from before is replaced
    servers::readFtpProfile();
    EXPECT_EQ(servers::ftpSettings().explicitTls, GetParam().ssl);
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpProfileSslTest,
                         testing::Values(FtpSslCase{"On", QStringLiteral("1"), true},
                                         FtpSslCase{"Off", QStringLiteral("0"), false},
                                         FtpSslCase{"Missing", std::nullopt, false}),
                         [](const auto& info) { return std::string(info.param.name); });

class FtpProfileTest : public ServersFixture {};

TEST_F(FtpProfileTest, ReadingFillsTheTransferSettings)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("server"), QStringLiteral("ftp.firma.example")},
                                         {QStringLiteral("username"), QStringLiteral("kari")},
                                         {QStringLiteral("password"), rt::scrambleText(QStringLiteral("p å ss"))},
                                         {QStringLiteral("folder"), QStringLiteral("inn")}});
    servers::ftpSettings().folder = QStringLiteral("ut");
    servers::readFtpProfile();
    const servers::FtpTransferSettings& s = servers::ftpSettings();
    EXPECT_EQ(s.server, QStringLiteral("ftp.firma.example"));
    EXPECT_EQ(s.user, QStringLiteral("kari"));
    EXPECT_EQ(s.password, QStringLiteral("p å ss"));
    EXPECT_EQ(s.folder, QStringLiteral("ut")); // the caller's folder, not the profile's
    EXPECT_EQ(rt::state().settingsSection, QStringLiteral("STANDARD"));
}

TEST_F(FtpProfileTest, TheDefaultIsWrittenKeyByKeyWithoutSsl)
{
    servers::writeDefaultFtpProfile();
    const QString kind = QStringLiteral("FTP");
    EXPECT_EQ(rt::settingsFile().keys(section(kind)),
              (QStringList{QStringLiteral("name"), QStringLiteral("server"), QStringLiteral("folder"),
                           QStringLiteral("username"), QStringLiteral("password"), QStringLiteral("port")}));
    EXPECT_EQ(stored(kind, QStringLiteral("name")), QStringLiteral("Tavlund FTP-server"));
    EXPECT_EQ(stored(kind, QStringLiteral("server")), QStringLiteral("ftp.tavlund.example"));
    EXPECT_EQ(stored(kind, QStringLiteral("folder")), QString());
    EXPECT_EQ(stored(kind, QStringLiteral("username")), QStringLiteral("anonymous"));
    EXPECT_EQ(rt::unscrambleText(stored(kind, QStringLiteral("password"))), QStringLiteral("kvistgang"));
    EXPECT_EQ(stored(kind, QStringLiteral("port")), QStringLiteral("21"));
}

} // namespace
