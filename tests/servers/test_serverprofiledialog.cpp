// The server profile dialog, and the FTP settings made ready from the FTP
// profile with the dialog shown when it has no server.
#include "serversfixture.h"

#include "passwordscramble.h"
#include "serverprofiledialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <functional>

using servers::ServerProfileDialog;
using testsupport::ServersFixture;

namespace {

using testsupport::operator<<;

struct Shown {
    QString caption;
    QString kind;
    QStringList fields; // name, server, folder, user, password, port
    bool ssl = false;
};

Shown capture(const ServerProfileDialog& d)
{
    return {d.windowTitle(),
            d.profileKind,
            {d.nameEdit->text(), d.serverEdit->text(), d.folderEdit->text(), d.userEdit->text(),
             d.passwordEdit->text(), d.portEdit->text()},
            d.sslCheck->isChecked()};
}

class ProfileDialogTest : public ServersFixture {
protected:
    void SetUp() override
    {
        ServersFixture::SetUp();
        dialog = std::make_unique<ServerProfileDialog>();
    }
    void TearDown() override
    {
        dialog.reset();
        ServersFixture::TearDown();
    }

    // Opens the dialog for kind; once it shows, records what it shows, runs
    // edit and closes it with close().
    Shown open(const QString& kind, const std::function<void(ServerProfileDialog&)>& edit = {},
               const std::function<void(ServerProfileDialog&)>& closer = {})
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

    std::unique_ptr<ServerProfileDialog> dialog;
};

const QStringList kAllKeys{QStringLiteral("name"),     QStringLiteral("server"), QStringLiteral("folder"),
                           QStringLiteral("username"), QStringLiteral("password"), QStringLiteral("port"),
                           QStringLiteral("SSL")};

struct PortCase {
    const char* name;
    const char* kind;
    const char* port;
};

class ProfilePortTest : public ProfileDialogTest, public testing::WithParamInterface<PortCase> {};

TEST_P(ProfilePortTest, MissingSectionShowsEmptyAndClosingWritesAllKeysWithTheKindsPort)
{
    const QString kind = QString::fromUtf8(GetParam().kind);
    const QString port = QString::fromUtf8(GetParam().port);
    const Shown shown = open(kind);

    EXPECT_EQ(shown.kind, kind);
    EXPECT_EQ(shown.fields, QStringList(6, QString()));
    EXPECT_FALSE(shown.ssl);
    EXPECT_EQ(rt::settingsFile().keys(section(kind)), kAllKeys);
    EXPECT_EQ(stored(kind, QStringLiteral("port")), port);
    EXPECT_EQ(dialog->portEdit->text(), port);
    EXPECT_EQ(stored(kind, QStringLiteral("password")), QStringLiteral("z2"));
    EXPECT_EQ(stored(kind, QStringLiteral("SSL")), QStringLiteral("0"));
    EXPECT_EQ(rt::state().settingsSection, QStringLiteral("STANDARD"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ProfilePortTest,
                         testing::Values(PortCase{"FTP", "FTP", "21"}, PortCase{"HTTP", "HTTP", "80"},
                                         PortCase{"LOG", "LOG", "80"}, PortCase{"CFG", "CFG", "21"},
                                         PortCase{"SMB", "SMB", "445"}, PortCase{"MAIL", "MAIL", "80"},
                                         PortCase{"RDP", "RDP", "3389"}, PortCase{"LowerCaseRdp", "rdp", ""},
                                         PortCase{"PaddedRdp", " RDP", ""}, PortCase{"Unknown", "VNC", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileDialogTest, ShowsTheStoredProfileAndWritesItBackAsTyped)
{
    writeProfile(QStringLiteral("HTTP"), {{QStringLiteral("name"), QStringLiteral("Prisliste")},
                                          {QStringLiteral("server"), QStringLiteral("www.tavlund.example")},
                                          {QStringLiteral("folder"), QStringLiteral("/priser/")},
                                          {QStringLiteral("username"), QStringLiteral("kari")},
                                          {QStringLiteral("password"), rt::scrambleText(QStringLiteral("Hemmelig1"))},
                                          {QStringLiteral("port"), QStringLiteral("åtti")},
                                          {QStringLiteral("SSL"), QStringLiteral("1")}});

    const Shown shown = open(QStringLiteral("HTTP"), [](ServerProfileDialog& d) {
        d.userEdit->setText(QStringLiteral("  ola  "));
        d.passwordEdit->setText(QString());
        d.sslCheck->setChecked(false);
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

class StoredPasswordTest : public ProfileDialogTest, public testing::WithParamInterface<PasswordCase> {};

TEST_P(StoredPasswordTest, ReadsBackUnscrambled)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("password"), GetParam().stored}});
    EXPECT_EQ(open(QStringLiteral("FTP")).fields.value(4), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Cases, StoredPasswordTest,
                         testing::Values(PasswordCase{"EmptyPassword", QStringLiteral("z2"), QString()},
                                         PasswordCase{"OneCharacter", QStringLiteral("x"), QString()},
                                         PasswordCase{"Nothing", QString(), QString()},
                                         PasswordCase{"Scrambled", rt::scrambleText(QStringLiteral("æøå 1")),
                                                      QStringLiteral("æøå 1")}),
                         [](const auto& info) { return std::string(info.param.name); });

struct CloseCase {
    const char* name;
    std::function<void(ServerProfileDialog&)> close;
};

class CloseSavesTest : public ProfileDialogTest, public testing::WithParamInterface<CloseCase> {};

TEST_P(CloseSavesTest, EveryWayOfClosingSaves)
{
    open(QStringLiteral("SMB"), [](ServerProfileDialog& d) { d.serverEdit->setText(QStringLiteral("filer.example")); },
         GetParam().close);
    EXPECT_EQ(stored(QStringLiteral("SMB"), QStringLiteral("server")), QStringLiteral("filer.example"));
    EXPECT_EQ(stored(QStringLiteral("SMB"), QStringLiteral("port")), QStringLiteral("445"));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, CloseSavesTest,
    testing::Values(CloseCase{"CloseBox", [](ServerProfileDialog& d) { d.close(); }},
                    CloseCase{"Escape", [](ServerProfileDialog& d) { QTest::keyClick(d.serverEdit, Qt::Key_Escape); }},
                    CloseCase{"Reject", [](ServerProfileDialog& d) { d.reject(); }},
                    CloseCase{"Accept", [](ServerProfileDialog& d) { d.accept(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileDialogTest, DoubleClickTogglesTheStarMaskAndTheStateOutlivesTheDialog)
{
    EXPECT_EQ(dialog->passwordEdit->toolTip(), QStringLiteral("Dobbelklikk for å skjule/vise passord i klartekst"));
    EXPECT_EQ(
        dialog->passwordEdit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, dialog->passwordEdit),
        int('*'));
    EXPECT_TRUE(dialog->passwordMasked());

    open(QStringLiteral("FTP"), [](ServerProfileDialog& d) { QTest::mouseDClick(d.passwordEdit, Qt::LeftButton); });
    EXPECT_FALSE(dialog->passwordMasked());
    EXPECT_EQ(dialog->passwordEdit->echoMode(), QLineEdit::Normal);

    bool maskedAtShow = true;
    open(QStringLiteral("FTP"), [&](ServerProfileDialog& d) {
        maskedAtShow = d.passwordMasked();
        QTest::mouseDClick(d.passwordEdit, Qt::LeftButton);
    });
    EXPECT_FALSE(maskedAtShow);
    EXPECT_TRUE(dialog->passwordMasked());
}

TEST_F(ProfileDialogTest, TabOrderFollowsTheFieldsAndLabelsStandAboveThem)
{
    const QList<QWidget*> order{dialog->nameEdit,     dialog->serverEdit, dialog->folderEdit, dialog->userEdit,
                                dialog->passwordEdit, dialog->portEdit,   dialog->sslCheck};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        EXPECT_EQ(testsupport::nextTabStop(order[i]), order[i + 1]) << order[i]->objectName().toStdString();
    EXPECT_EQ(dialog->focusWidget(), dialog->nameEdit);

    const QList<std::pair<QLabel*, QLineEdit*>> pairs{
        {dialog->nameLabel, dialog->nameEdit},         {dialog->serverLabel, dialog->serverEdit},
        {dialog->folderLabel, dialog->folderEdit},     {dialog->userLabel, dialog->userEdit},
        {dialog->passwordLabel, dialog->passwordEdit}, {dialog->portLabel, dialog->portEdit}};
    for (const auto& [label, edit] : pairs)
        EXPECT_EQ(label->pos(), edit->pos() - QPoint(0, 16)) << label->text().toStdString();
}

// prepareFtpSettings with the program's dialog instance.
class PrepareFtpSettingsTest : public ServersFixture {
protected:
    void SetUp() override
    {
        ServersFixture::SetUp();
        profileDialog = std::make_unique<ServerProfileDialog>();
    }
    void TearDown() override
    {
        profileDialog.reset();
        ServersFixture::TearDown();
    }

    // Runs prepareFtpSettings; each time the dialog shows, records it and runs edit.
    QList<Shown> prepare(const std::function<void(ServerProfileDialog&)>& edit = {})
    {
        QList<Shown> shown;
        ServerProfileDialog* const d = profileDialog.get();
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
        servers::prepareFtpSettings(*profileDialog);
        return shown;
    }

    std::unique_ptr<ServerProfileDialog> profileDialog;
};

TEST_F(PrepareFtpSettingsTest, AProfileWithoutServerGetsTheDefaultsAndIsShownOnce)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("username"), QStringLiteral("kari")},
                                         {QStringLiteral("password"), rt::scrambleText(QStringLiteral("hemmelig"))},
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
    EXPECT_EQ(s.server, QStringLiteral("ftp.tavlund.example"));
    EXPECT_EQ(s.user, QStringLiteral("anonymous"));
    EXPECT_EQ(s.password, QStringLiteral("kvistgang"));
}

TEST_F(PrepareFtpSettingsTest, EmptyingTheServerInTheDialogIsNotAskedAgain)
{
    const QList<Shown> shown = prepare([](ServerProfileDialog& d) { d.serverEdit->clear(); });
    EXPECT_EQ(shown.size(), 1);
    EXPECT_EQ(servers::ftpSettings().server, QString());
    EXPECT_EQ(stored(QStringLiteral("FTP"), QStringLiteral("server")), QString());
}

TEST_F(PrepareFtpSettingsTest, EmptyLoginIsAnonymousWithoutChangingTheProfile)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("server"), QStringLiteral("ftp.firma.example")},
                                         {QStringLiteral("username"), QString()},
                                         {QStringLiteral("password"), QStringLiteral("z2")}});
    EXPECT_TRUE(prepare().isEmpty());
    const servers::FtpTransferSettings& s = servers::ftpSettings();
    EXPECT_EQ(s.server, QStringLiteral("ftp.firma.example"));
    EXPECT_EQ(s.user, QStringLiteral("anonymous"));
    EXPECT_EQ(s.password, QStringLiteral("kvistgang"));
    EXPECT_EQ(stored(QStringLiteral("FTP"), QStringLiteral("username")), QString());
    EXPECT_EQ(stored(QStringLiteral("FTP"), QStringLiteral("password")), QStringLiteral("z2"));
}

TEST_F(PrepareFtpSettingsTest, EachEmptyValueStandsAlone)
{
    writeProfile(QStringLiteral("FTP"), {{QStringLiteral("server"), QStringLiteral("ftp.firma.example")},
                                         {QStringLiteral("username"), QStringLiteral("kari")}});
    prepare();
    EXPECT_EQ(servers::ftpSettings().user, QStringLiteral("kari"));
    EXPECT_EQ(servers::ftpSettings().password, QStringLiteral("kvistgang"));
}

} // namespace
