#include "om.h"

#include "windowplace.h"

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace app {

namespace {
QFont aboutFont(const char* family, int pixels, bool bold = false)
{
    QFont f(QString::fromLatin1(family));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}
} // namespace

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("Om"));
    setFixedSize(179, 195);
    setFont(aboutFont("MS Sans Serif", 11));

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setGeometry(8, 8, 161, 145);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);

    ProgramIcon = new QLabel(panel);
    ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
    ProgramIcon->setGeometry(8, 8, 33, 33);
    ProgramIcon->setScaledContents(true);
    ProgramIcon->setPixmap(gui::programIcon().pixmap(33, 33));

    ProductName = new QLabel(QStringLiteral("Brevglimt"), panel);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    ProductName->setFont(aboutFont("MS Sans Serif", 11, true));
    ProductName->move(72, 16);

    Version = new QLabel(QStringLiteral("Versjon 1.1"), panel);
    Version->setObjectName(QStringLiteral("Version"));
    Version->move(72, 32);

    Copyright = new QLabel(QStringLiteral("Copyright © Tavlund"), panel);
    Copyright->setObjectName(QStringLiteral("Copyright"));
    Copyright->move(8, 56);

    auto* rule = new QFrame(panel);
    rule->setObjectName(QStringLiteral("Bevel1"));
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setGeometry(8, 80, 145, 2);

    Label1 = new QLabel(QStringLiteral("Laget av Tavlunds utviklere. Brukerstøtte: support@tavlund.example"), panel);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(16, 88, 130, 44);
    Label1->setWordWrap(true);
    Label1->setFont(aboutFont("Small Fonts", 9));

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(51, 164, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace app
