#include "aboutdialog.h"

#include "windowfont.h"
#include "windowplace.h"

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace app {

AboutDialog::AboutDialog(QWidget* parent)
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowTitle(QStringLiteral("Om"));
    setFixedSize(179, 195);
    setFont(gui::windowFont(11, false, "MS Sans Serif"));

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("panel"));
    panel->setGeometry(8, 8, 161, 145);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);

    iconLabel = new QLabel(panel);
    iconLabel->setObjectName(QStringLiteral("iconLabel"));
    iconLabel->setGeometry(8, 8, 33, 33);
    iconLabel->setScaledContents(true);
    iconLabel->setPixmap(gui::programIcon().pixmap(33, 33));

    productNameLabel = new QLabel(QStringLiteral("Brevglimt"), panel);
    productNameLabel->setObjectName(QStringLiteral("productNameLabel"));
    productNameLabel->setFont(gui::windowFont(11, true, "MS Sans Serif"));
    productNameLabel->move(72, 16);

    versionLabel = new QLabel(QStringLiteral("Versjon 1.1"), panel);
    versionLabel->setObjectName(QStringLiteral("versionLabel"));
    versionLabel->move(72, 32);

    copyrightLabel = new QLabel(QStringLiteral("Copyright © Tavlund"), panel);
    copyrightLabel->setObjectName(QStringLiteral("copyrightLabel"));
    copyrightLabel->move(8, 56);

    auto* rule = new QFrame(panel);
    rule->setObjectName(QStringLiteral("rule"));
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setGeometry(8, 80, 145, 2);

    makerLabel = new QLabel(QStringLiteral("Laget av Tavlunds utviklere. Brukerstøtte: support@tavlund.example"), panel);
    makerLabel->setObjectName(QStringLiteral("makerLabel"));
    makerLabel->setGeometry(16, 88, 130, 44);
    makerLabel->setWordWrap(true);
    makerLabel->setFont(gui::windowFont(9, false, "Small Fonts"));

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setObjectName(QStringLiteral("okButton"));
    okButton->setGeometry(51, 164, 75, 25);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace app
