#include "serveroppsett.h"

#include "errordisplay.h"
#include "felles.h"
#include "ftpsettings.h"
#include "inifile.h"
#include "dialogfont.h"
#include "zt_reg.h"

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
    auto* e = new QLineEdit(QLatin1String(name), parent);
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

const QString kServerKey = QStringLiteral("server");
const QString kUserKey = QStringLiteral("username");
const QString kPasswordKey = QStringLiteral("password");
const QString kPortKey = QStringLiteral("port");

} // namespace

QString profileSection(const QString& kind)
{
    return QStringLiteral("SERVER-SETTING-") + kind;
}

QString defaultPort(const QString& kind)
{
    static const struct {
        const char* kind;
        const char* port;
    } table[] = {
        {"FTP", "21"}, {"HTTP", "80"}, {"LOG", "80"}, {"CFG", "21"}, {"SMB", "445"}, {"MAIL", "80"}, {"RDP", "3389"},
    };
    for (const auto& row : table) {
        if (kind == QLatin1String(row.kind))
            return QLatin1String(row.port);
    }
    return {};
}

TServerOppsettForm::TServerOppsettForm(QWidget* parent)
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ServerOppsettForm"));
    setWindowTitle(QStringLiteral("Oppsett på server"));
    setFixedSize(449, 283);
    setFont(dialogFont());

    // Created in tab order.
    navn = makeEdit(this, "navn", 56, 48, 329);
    server = makeEdit(this, "server", 56, 104, 329);
    mappe = makeEdit(this, "mappe", 56, 160, 329);
    brukernavn = makeEdit(this, "brukernavn", 56, 216, 97);
    passord = makeEdit(this, "passord", 160, 216, 97);
    port = makeEdit(this, "port", 264, 216, 57);
    SSLL = new QCheckBox(QStringLiteral("SSL"), this);
    SSLL->setObjectName(QStringLiteral("SSLL"));
    SSLL->setGeometry(336, 218, 49, 17);

    Label1 = makeLabel(this, "Label1", QStringLiteral("Navn:"), navn);
    Label2 = makeLabel(this, "Label2", QStringLiteral("Server:"), server);
    Label3 = makeLabel(this, "Label3", QStringLiteral("Mappe:"), mappe);
    Label4 = makeLabel(this, "Label4", QStringLiteral("Brukernavn:"), brukernavn);
    Label5 = makeLabel(this, "Label5", QStringLiteral("Passord:"), passord);
    Label6 = makeLabel(this, "Label6", QStringLiteral("Port:"), port);

    auto* maskStyle = new StarMaskStyle;
    maskStyle->setParent(passord);
    passord->setStyle(maskStyle);
    passord->setEchoMode(QLineEdit::Password);
    passord->setToolTip(QStringLiteral("Dobbelklikk for å skjule/vise passord i klartekst"));
    passord->installEventFilter(this);

    navn->setFocus();
}

void TServerOppsettForm::editProfile(const QString& caption, const QString& kind)
{
    setWindowTitle(caption);
    C_tag = kind;
    exec();
}

void TServerOppsettForm::FormShow()
{
    rt::iniselect(profileSection(C_tag));
    navn->setText(rt::inireadstring(QStringLiteral("name")));
    server->setText(rt::inireadstring(kServerKey));
    mappe->setText(rt::inireadstring(QStringLiteral("folder")));
    brukernavn->setText(rt::inireadstring(kUserKey));
    passord->setText(rt::UnscrambleText(rt::inireadstring(kPasswordKey)));
    port->setText(rt::inireadstring(kPortKey));
    SSLL->setChecked(rt::inireadbool(QStringLiteral("SSL")));
    rt::inistandard();
}

void TServerOppsettForm::FormClose()
{
    rt::iniselect(profileSection(C_tag));
    rt::iniwritestring(QStringLiteral("name"), navn->text());
    rt::iniwritestring(kServerKey, server->text());
    rt::iniwritestring(QStringLiteral("folder"), mappe->text());
    rt::iniwritestring(kUserKey, brukernavn->text());
    rt::iniwritestring(kPasswordKey, rt::ScrambleText(passord->text()));
    if (port->text().isEmpty())
        port->setText(defaultPort(C_tag));
    rt::iniwritestring(kPortKey, port->text());
    rt::iniwritebool(QStringLiteral("SSL"), SSLL->isChecked());
    rt::inistandard();
}

void TServerOppsettForm::passordDblClick()
{
    passord->setEchoMode(passwordMasked() ? QLineEdit::Normal : QLineEdit::Password);
}

bool TServerOppsettForm::passwordMasked() const
{
    return passord->echoMode() == QLineEdit::Password;
}

void TServerOppsettForm::done(int result)
{
    rt::runHandler([this] { FormClose(); });
    QDialog::done(result);
}

void TServerOppsettForm::opening()
{
    rt::runHandler([this] { FormShow(); });
}

bool TServerOppsettForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == passord && event->type() == QEvent::MouseButtonDblClick)
        rt::runHandler([this] { passordDblClick(); });
    return QDialog::eventFilter(watched, event);
}

void LesFTPOppsett()
{
    FtpTransferSettings& s = ftpSettings();
    rt::iniselect(profileSection(QStringLiteral("FTP")));
    s.FTPserver = rt::inireadstring(kServerKey);
    s.FTPbrukernavn = rt::inireadstring(kUserKey);
    s.FTPpassord = rt::UnscrambleText(rt::inireadstring(kPasswordKey));
    qint32 number = 0;
    const bool valid = rt::parseIniInteger(rt::inireadstring(kPortKey), number) && number >= 1 && number <= 65535;
    s.FTPport = valid ? std::uint16_t(number) : std::uint16_t(21);
    s.FTPssl = rt::inireadbool(QStringLiteral("SSL"));
    rt::inistandard();
}

void LagStandardFTPOppsett()
{
    rt::iniselect(profileSection(QStringLiteral("FTP")));
    rt::iniwritestring(QStringLiteral("name"), QStringLiteral("Tavlund FTP-server"));
    rt::iniwritestring(kServerKey, standardFtpServer());
    rt::iniwritestring(QStringLiteral("folder"), QString());
    rt::iniwritestring(kUserKey, QStringLiteral("anonymous"));
    rt::iniwritestring(kPasswordKey, rt::ScrambleText(QStringLiteral("kvistgang")));
    rt::iniwriteint(kPortKey, 21);
    rt::inistandard();
}

void HentFTPOppsett(TServerOppsettForm& profileDialog)
{
    FtpTransferSettings& s = ftpSettings();
    LesFTPOppsett();
    if (s.FTPserver.isEmpty()) {
        LagStandardFTPOppsett();
        profileDialog.editProfile(QStringLiteral("Oppsett FTP-server"), QStringLiteral("FTP"));
        LesFTPOppsett();
    }
    if (s.FTPbrukernavn.isEmpty())
        s.FTPbrukernavn = QStringLiteral("anonymous");
    if (s.FTPpassord.isEmpty())
        s.FTPpassord = QStringLiteral("kvistgang");
}

} // namespace servers
