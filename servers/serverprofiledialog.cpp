#include "serverprofiledialog.h"

#include "errordisplay.h"
#include "ftpsettings.h"
#include "windowfont.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>

namespace servers {

namespace {

// Masks a password with "*" whatever the desktop style would use.
class StarMaskStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QLineEdit* makeEdit(QWidget* parent, const char* name, int left, int top, int width)
{
    // Empty until a profile is loaded, which every showing does.
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(left, top, width, 21);
    return e;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& caption, const QLineEdit* edit)
{
    auto* l = new QLabel(caption, parent);
    l->setObjectName(QLatin1String(name));
    l->move(edit->x(), edit->y() - 16);
    l->adjustSize();
    return l;
}

} // namespace

ServerProfileDialog::ServerProfileDialog(QWidget* parent)
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ServerProfileDialog"));
    setWindowTitle(QStringLiteral("Oppsett på server"));
    setFixedSize(449, 283);
    setFont(gui::windowFont());

    // Created in tab order.
    nameEdit = makeEdit(this, "nameEdit", 56, 48, 329);
    serverEdit = makeEdit(this, "serverEdit", 56, 104, 329);
    folderEdit = makeEdit(this, "folderEdit", 56, 160, 329);
    userEdit = makeEdit(this, "userEdit", 56, 216, 97);
    passwordEdit = makeEdit(this, "passwordEdit", 160, 216, 97);
    portEdit = makeEdit(this, "portEdit", 264, 216, 57);
    sslCheck = new QCheckBox(QStringLiteral("SSL"), this);
    sslCheck->setObjectName(QStringLiteral("sslCheck"));
    sslCheck->setGeometry(336, 218, 49, 17);

    nameLabel = makeLabel(this, "nameLabel", QStringLiteral("Navn:"), nameEdit);
    serverLabel = makeLabel(this, "serverLabel", QStringLiteral("Server:"), serverEdit);
    folderLabel = makeLabel(this, "folderLabel", QStringLiteral("Mappe:"), folderEdit);
    userLabel = makeLabel(this, "userLabel", QStringLiteral("Brukernavn:"), userEdit);
    passwordLabel = makeLabel(this, "passwordLabel", QStringLiteral("Passord:"), passwordEdit);
    portLabel = makeLabel(this, "portLabel", QStringLiteral("Port:"), portEdit);

    auto* maskStyle = new StarMaskStyle;
    maskStyle->setParent(passwordEdit);
    passwordEdit->setStyle(maskStyle);
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setToolTip(QStringLiteral("Dobbelklikk for å skjule/vise passord i klartekst"));
    passwordEdit->installEventFilter(this);

    nameEdit->setFocus();
}

void ServerProfileDialog::editProfile(const QString& caption, const QString& kind)
{
    setWindowTitle(caption);
    profileKind = kind;
    exec();
}

void ServerProfileDialog::loadProfile()
{
    const ServerProfile p = readServerProfile(profileKind);
    nameEdit->setText(p.name);
    serverEdit->setText(p.server);
    folderEdit->setText(p.folder);
    userEdit->setText(p.user);
    passwordEdit->setText(p.password);
    portEdit->setText(p.port);
    sslCheck->setChecked(p.ssl);
}

ServerProfile ServerProfileDialog::shownProfile() const
{
    return {nameEdit->text(),     serverEdit->text(), folderEdit->text(),   userEdit->text(),
            passwordEdit->text(), portEdit->text(),   sslCheck->isChecked()};
}

void ServerProfileDialog::saveProfile()
{
    // The default port is filled in where the user sees it too.
    if (portEdit->text().isEmpty())
        portEdit->setText(defaultPort(profileKind));
    writeServerProfile(profileKind, shownProfile());
}

void ServerProfileDialog::togglePasswordMask()
{
    passwordEdit->setEchoMode(passwordMasked() ? QLineEdit::Normal : QLineEdit::Password);
}

bool ServerProfileDialog::passwordMasked() const
{
    return passwordEdit->echoMode() == QLineEdit::Password;
}

void ServerProfileDialog::done(int result)
{
    rt::runHandler([this] { saveProfile(); });
    QDialog::done(result);
}

void ServerProfileDialog::opening()
{
    rt::runHandler([this] { loadProfile(); });
}

bool ServerProfileDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == passwordEdit && event->type() == QEvent::MouseButtonDblClick)
        rt::runHandler([this] { togglePasswordMask(); });
    return QDialog::eventFilter(watched, event);
}

void prepareFtpSettings(ServerProfileDialog& profileDialog)
{
    FtpTransferSettings& s = ftpSettings();
    readFtpProfile();
    if (s.server.isEmpty()) {
        writeDefaultFtpProfile();
        profileDialog.editProfile(QStringLiteral("Oppsett FTP-server"), QStringLiteral("FTP"));
        readFtpProfile();
    }
    if (s.user.isEmpty())
        s.user = QStringLiteral("anonymous");
    if (s.password.isEmpty())
        s.password = QStringLiteral("kvistgang");
}

} // namespace servers
