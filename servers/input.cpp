#include "input.h"

#include "errordisplay.h"
#include "dialogfont.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

namespace servers {

TInputForm::TInputForm(QWidget* parent)
    // A title bar without system menu or close box.
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName(QStringLiteral("InputForm"));
    setWindowTitle(QStringLiteral("Input:"));
    setFixedSize(396, 113);
    setFont(dialogFont());

    Label1 = new QLabel(QStringLiteral("Label"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(32, 24);
    Label1->adjustSize();

    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(32, 40, 337, 21);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("O&k"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(88, 80, 75, 25);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

    // Esc rejects the dialog, which is what this button does.
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("&Avbryt"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(216, 80, 75, 25);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(BitBtn1, BitBtn2);
    setTabOrder(BitBtn2, Edit1);
    Edit1->setFocus();
}

void TInputForm::FormShow()
{
    Edit1->setFocus();
}

void TInputForm::opening()
{
    rt::runHandler([this] { FormShow(); });
}

void TInputForm::closeEvent(QCloseEvent* event)
{
    event->ignore();
}

} // namespace servers
