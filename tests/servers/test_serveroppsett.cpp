// The server profile dialog and the routines that prepare the FTP settings
// from the FTP profile.
#include "serversfixture.h"

#include "felles.h"
#include "serveroppsett.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <functional>
#include <optional>

using servers::TServerOppsettForm;
using testsupport::ServersFixture;

namespace {

using testsupport::operator<<;

struct Shown {
    QString caption;
    QString kind;
    QStringList fields; // navn, server, mappe, brukernavn, passord, port
    bool ssl = false;
};

Shown capture(const TServerOppsettForm& d)
{
    return {d.windowTitle(),
            d.C_tag,
            {d.navn->text(), d.server->text(), d.mappe->text(), d.brukernavn->text(), d.passord->text(),
             d.port->text()},
            d.SSLL->isChecked()};
}

class ServerOppsettTest : public ServersFixture {
protected:
    void SetUp() override
    {
        ServersFixture::SetUp();
        dialog = std::make_unique<TServerOppsettForm>();
    }
    void TearDown() override
    {
        dialog.reset();
        ServersFixture::TearDown();
    }

    // Opens the dialog for kind; once it shows, records what it shows, runs
    // edit and closes it with close().
    Shown open(const QString& kind, const std::function<void(TServerOppsettForm&)>& edit = {},
               const std::function<void(TServerOppsettForm&)>& closer = {})
    {
        Shown shown;
        QTimer::singleShot(0, dialog.get(), [&] {
            shown = capture(*dialog);
            if (edit)
                edit(*dialog);
            if (closer)
                closer(*dialog);
            else
                dialog->close();
        });
        dialog->editProfile(QStringLiteral("Oppsett"), kind);
        EXPECT_FALSE(dialog->isVisible());
        return shown;
    }

    std::unique_ptr<TServerOppsettForm> dialog;
};

const QStringList kAllKeys{QStringLiteral("name"),     QStringLiteral("server"), QStringLiteral("folder"),
                           QStringLiteral("username"), QStringLiteral("password"), QStringLiteral("port"),
                           QStringLiteral("SSL")};

struct PortCase {
    const char* name;
    const char* kind;
    const char* port;
};

class ProfilePortTest : public ServerOppsettTest, public testing::WithParamInterface<PortCase> {};

TEST_P(ProfilePortTest, MissingSectionShowsEmptyAndClosingWritesAllKeysWithTheKindsPort)
{
    const QString kind = QString::fromUtf8(GetParam().kind);
    const QString port = QString::fromUtf8(GetParam().port);
    const Shown shown = open(kind);

    EXPECT_EQ(shown.kind, kind);
    EXPECT_EQ(shown.fields, QStringList(6, QString()));
    EXPECT_FALSE(shown.ssl);
    EXPECT_EQ(rt::IniFile().keys(section(kind)), kAllKeys);
    EXPECT_EQ(stored(kind, QStringLiteral("port")), port);
    EXPECT_EQ(dialog->port->text(), port);
    EXPECT_EQ(stored(kind, QStringLiteral("password")), QStringLiteral("z2"));
    EXPECT_EQ(stored(kind, QStringLiteral("SSL")), QStringLiteral("0"));
    EXPECT_EQ(rt::state().IniSection, QStringLiteral("STANDARD"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ProfilePortTest,
                         testing::Values(PortCase{"FTP", "FTP", "21"}, PortCase{"HTTP", "HTTP", "80"},
                                         PortCase{"LOG", "LOG", "80"}, PortCase{"CFG", "CFG", "21"},
                                         PortCase{"SMB", "SMB", "445"}, PortCase{"MAIL", "MAIL", "80"},
                                         PortCase{"RDP", "RDP", "3389"}, PortCase{"LowerCaseRdp", "rdp", ""},
                                         PortCase{"PaddedRdp", " RDP", ""}, PortCase{"Unknown", "VNC", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerOppsettTest, ShowsTheStoredProfileAndWritesItBackAsTyped)
{
    writeProfile(QStringLiteral("HTTP"), {{QStringLiteral("name"), QStringLiteral("Prisliste")},
                                          {QStringLiteral("server"), QStringLiteral("www.tavlund.example")},
                                          {QStringLiteral("folder"), QStringLiteral("/priser/")},
                                          {QStringLiteral("username"), QStringLiteral("kari")},
                                          {QStringLiteral("password"), rt::ScrambleText(QStringLiteral("Hemmelig1"))},
                                          {QStringLiteral("port"), QStringLiteral("åtti")},
                                          {QStringLiteral("SSL"), QStringLiteral("1")}});

    const Shown shown = open(QStringLiteral("HTTP"), [](TServerOppsettForm& d) {
        d.brukernavn->setText(QStringLiteral("  ola  "));
        d.passord->setText(QString());
        d.SSLL->setChecked(false);
    });

    EXPECT_EQ(shown.fields, (QStringList{QStringLiteral("Prisliste"), QStringLiteral("www.tavlund.example"),
                                         QStringLiteral("/priser/"), QStringLiteral("kari"),
                                         QStringLiteral("Hemmelig1"), QStringLiteral("åtti")}));
    EXPECT_TRUE(shown.ssl);
    EXPECT_EQ(stored(QStringLiteral("HTTP"), QStringLiteral("username")), QStringLiteral("  ola  "));
    EXPECT_EQ(stored(QStringLiteral("HTTP"), QStringLiteral("password")), QStringLiteral("z2"));
    EXPECT_EQ(stored(QStringLiteral("HTTP"), QStringLiteral("port")), QStringLiteral("åtti"));
    EXPECT_EQ(stored(QStringLiteral("HTTP"), QStringLiteral("SSL")), QStringLiteral("0"));
}

struct PasswordCase {
    const char* name;
    QString stored;
    QString shown;
};

class StoredPasswordTest : public ServerOppsettTest, public testing::WithParamInterface<PasswordCase> {};

TEST_P(StoredPasswordTest, ReadsBackUnscrambled)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("password"), GetParam().stored}});
    EXPECT_EQ(open(QStringLiteral("FTP")).fields.value(4), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Cases, StoredPasswordTest,
                         testing::Values(PasswordCase{"EmptyPassword", QStringLiteral("z2"), QString()},
                                         PasswordCase{"OneCharacter", QStringLiteral("x"), QString()},
                                         PasswordCase{"Nothing", QString(), QString()},
                                         PasswordCase{"Scrambled", rt::ScrambleText(QStringLiteral("æøå 1")),
                                                      QStringLiteral("æøå 1")}),
                         [](const auto& info) { return std::string(info.param.name); });

struct CloseCase {
    const char* name;
    std::function<void(TServerOppsettForm&)> close;
};

class CloseSavesTest : public ServerOppsettTest, public testing::WithParamInterface<CloseCase> {};

TEST_P(CloseSavesTest, EveryWayOfClosingSaves)
{
    open(QStringLiteral("SMB"), [](TServerOppsettForm& d) { d.server->setText(QStringLiteral("filer.example")); },
         GetParam().close);
    EXPECT_EQ(stored(QStringLiteral("SMB"), QStringLiteral("server")), QStringLiteral("filer.example"));
    EXPECT_EQ(stored(QStringLiteral("SMB"), QStringLiteral("port")), QStringLiteral("445"));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, CloseSavesTest,
    testing::Values(CloseCase{"CloseBox", [](TServerOppsettForm& d) { d.close(); }},
                    CloseCase{"Escape", [](TServerOppsettForm& d) { QTest::keyClick(d.server, Qt::Key_Escape); }},
                    CloseCase{"Reject", [](TServerOppsettForm& d) { d.reject(); }},
                    CloseCase{"Accept", [](TServerOppsettForm& d) { d.accept(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerOppsettTest, DoubleClickTogglesTheStarMaskAndTheStateOutlivesTheDialog)
{
    EXPECT_EQ(dialog->passord->toolTip(), QStringLiteral("Dobbelklikk for å skjule/vise passord i klartekst"));
    EXPECT_EQ(dialog->passord->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, dialog->passord),
              int('*'));
    EXPECT_TRUE(dialog->passwordMasked());

    open(QStringLiteral("FTP"), [](TServerOppsettForm& d) { QTest::mouseDClick(d.passord, Qt::LeftButton); });
    EXPECT_FALSE(dialog->passwordMasked());
    EXPECT_EQ(dialog->passord->echoMode(), QLineEdit::Normal);

    bool maskedAtShow = true;
    open(QStringLiteral("FTP"), [&](TServerOppsettForm& d) {
        maskedAtShow = d.passwordMasked();
        QTest::mouseDClick(d.passord, Qt::LeftButton);
    });
    EXPECT_FALSE(maskedAtShow);
    EXPECT_TRUE(dialog->passwordMasked());
}

TEST_F(ServerOppsettTest, TabOrderFollowsTheFieldsAndLabelsStandAboveThem)
{
    const QList<QWidget*> order{dialog->navn,       dialog->server, dialog->mappe, dialog->brukernavn,
                                dialog->passord,    dialog->port,   dialog->SSLL};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        EXPECT_EQ(testsupport::nextTabStop(order[i]), order[i + 1]) << order[i]->objectName().toStdString();
    EXPECT_EQ(dialog->focusWidget(), dialog->navn);

    const QList<std::pair<QLabel*, QLineEdit*>> pairs{{dialog->Label1, dialog->navn},    {dialog->Label2, dialog->server},
                                                     {dialog->Label3, dialog->mappe},   {dialog->Label4, dialog->brukernavn},
                                                     {dialog->Label5, dialog->passord}, {dialog->Label6, dialog->port}};
    for (const auto& [label, edit] : pairs)
        EXPECT_EQ(label->pos(), edit->pos() - QPoint(0, 16)) << label->text().toStdString();
}

// LesFTPOppsett: the FTP profile into the transfer settings.
struct FtpPortCase {
    const char* name;
    QString stored;
    std::uint16_t port;
};

class FtpProfilePortTest : public ServersFixture, public testing::WithParamInterface<FtpPortCase> {};

TEST_P(FtpProfilePortTest, OnlyAPortInRangeIsUsed)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("port"), GetParam().stored}});
    servers::LesFTPOppsett();
    EXPECT_EQ(servers::ftpSettings().FTPport, GetParam().port);
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
    servers::ftpSettings().FTPssl = !GetParam().ssl; // a value left from before is replaced
    servers::LesFTPOppsett();
    EXPECT_EQ(servers::ftpSettings().FTPssl, GetParam().ssl);
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
                                         {QStringLiteral("password"), rt::ScrambleText(QStringLiteral("p å ss"))},
                                         {QStringLiteral("folder"), QStringLiteral("inn")}});
    servers::ftpSettings().FTPmappe = QStringLiteral("ut");
    servers::LesFTPOppsett();
    const servers::FtpTransferSettings& s = servers::ftpSettings();
    EXPECT_EQ(s.FTPserver, QStringLiteral("ftp.firma.example"));
    EXPECT_EQ(s.FTPbrukernavn, QStringLiteral("kari"));
    EXPECT_EQ(s.FTPpassord, QStringLiteral("p å ss"));
    EXPECT_EQ(s.FTPmappe, QStringLiteral("ut")); // the caller's folder, not the profile's
    EXPECT_EQ(rt::state().IniSection, QStringLiteral("STANDARD"));
}

TEST_F(FtpProfileTest, TheDefaultIsWrittenKeyByKeyWithoutSsl)
{
    servers::LagStandardFTPOppsett();
    const QString kind = QStringLiteral("FTP");
    EXPECT_EQ(rt::IniFile().keys(section(kind)),
              (QStringList{QStringLiteral("name"), QStringLiteral("server"), QStringLiteral("folder"),
                           QStringLiteral("username"), QStringLiteral("password"), QStringLiteral("port")}));
    EXPECT_EQ(stored(kind, QStringLiteral("name")), QStringLiteral("Tavlund FTP-server"));
    EXPECT_EQ(stored(kind, QStringLiteral("server")), QStringLiteral("ftp.tavlund.example"));
    EXPECT_EQ(stored(kind, QStringLiteral("folder")), QString());
    EXPECT_EQ(stored(kind, QStringLiteral("username")), QStringLiteral("anonymous"));
    EXPECT_EQ(rt::UnscrambleText(stored(kind, QStringLiteral("password"))), QStringLiteral("kvistgang"));
    EXPECT_EQ(stored(kind, QStringLiteral("port")), QStringLiteral("21"));
}

// HentFTPOppsett with a profile dialog as the program's.
class HentFtpOppsettTest : public ServersFixture {
protected:
    void SetUp() override
    {
        ServersFixture::SetUp();
        profileDialog = std::make_unique<TServerOppsettForm>();
    }
    void TearDown() override
    {
        profileDialog.reset();
        ServersFixture::TearDown();
    }

    // Runs HentFTPOppsett; each time the dialog shows, records it and runs edit.
    QList<Shown> prepare(const std::function<void(TServerOppsettForm&)>& edit = {})
    {
        QList<Shown> shown;
        TServerOppsettForm* const d = profileDialog.get();
        // Polls while a modal loop runs, so a second opening would be recorded too.
        QTimer timer;
        timer.setInterval(0);
        QObject::connect(&timer, &QTimer::timeout, d, [&] {
            if (!d->isVisible())
                return;
            shown.append(capture(*d));
            if (edit)
                edit(*d);
            d->close();
        });
        timer.start();
        servers::HentFTPOppsett(*profileDialog);
        return shown;
    }

    std::unique_ptr<TServerOppsettForm> profileDialog;
};

TEST_F(HentFtpOppsettTest, AProfileWithoutServerGetsTheDefaultsAndIsShownOnce)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("username"), QStringLiteral("kari")},
                                         {QStringLiteral("password"), rt::ScrambleText(QStringLiteral("hemmelig"))},
                                         {QStringLiteral("SSL"), QStringLiteral("1")}});
    const QList<Shown> shown = prepare();

    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].caption, QStringLiteral("Oppsett FTP-server"));
    EXPECT_EQ(shown[0].kind, QStringLiteral("FTP"));
    EXPECT_EQ(shown[0].fields, (QStringList{QStringLiteral("Tavlund FTP-server"), QStringLiteral("ftp.tavlund.example"),
                                            QString(), QStringLiteral("anonymous"), QStringLiteral("kvistgang"),
                                            QStringLiteral("21")}));
    EXPECT_TRUE(shown[0].ssl); // "SSL" is not part of the defaults
    const servers::FtpTransferSettings& s = servers::ftpSettings();
    EXPECT_EQ(s.FTPserver, QStringLiteral("ftp.tavlund.example"));
    EXPECT_EQ(s.FTPbrukernavn, QStringLiteral("anonymous"));
    EXPECT_EQ(s.FTPpassord, QStringLiteral("kvistgang"));
}

TEST_F(HentFtpOppsettTest, EmptyingTheServerInTheDialogIsNotAskedAgain)
{
    const QList<Shown> shown = prepare([](TServerOppsettForm& d) { d.server->clear(); });
    EXPECT_EQ(shown.size(), 1);
    EXPECT_EQ(servers::ftpSettings().FTPserver, QString());
    EXPECT_EQ(stored(QStringLiteral("FTP"), QStringLiteral("server")), QString());
}

TEST_F(HentFtpOppsettTest, EmptyLoginIsAnonymousWithoutChangingTheProfile)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("server"), QStringLiteral("ftp.firma.example")},
                                         {QStringLiteral("username"), QString()},
                                         {QStringLiteral("password"), QStringLiteral("z2")}});
    EXPECT_TRUE(prepare().isEmpty());
    const servers::FtpTransferSettings& s = servers::ftpSettings();
    EXPECT_EQ(s.FTPserver, QStringLiteral("ftp.firma.example"));
    EXPECT_EQ(s.FTPbrukernavn, QStringLiteral("anonymous"));
    EXPECT_EQ(s.FTPpassord, QStringLiteral("kvistgang"));
    EXPECT_EQ(stored(QStringLiteral("FTP"), QStringLiteral("username")), QString());
    EXPECT_EQ(stored(QStringLiteral("FTP"), QStringLiteral("password")), QStringLiteral("z2"));
}

TEST_F(HentFtpOppsettTest, EachEmptyValueStandsAlone)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("server"), QStringLiteral("ftp.firma.example")},
                                         {QStringLiteral("username"), QStringLiteral("kari")}});
    prepare();
    EXPECT_EQ(servers::ftpSettings().FTPbrukernavn, QStringLiteral("kari"));
    EXPECT_EQ(servers::ftpSettings().FTPpassord, QStringLiteral("kvistgang"));
}

} // namespace
