#include "inputdialog.h"

#include "errordisplay.h"
#include "windowfont.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

namespace servers {

InputDialog::InputDialog(QWidget* parent)
    // A title bar without system menu or close box.
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName(QStringLiteral("InputDialog"));
    setWindowTitle(QStringLiteral("Input:"));
    setFixedSize(396, 113);
    setFont(gui::windowFont());

    promptLabel = new QLabel(QStringLiteral("Label"), this);
    promptLabel->setObjectName(QStringLiteral("promptLabel"));
    promptLabel->move(32, 24);
    promptLabel->adjustSize();

    valueEdit = new QLineEdit(this);
    valueEdit->setObjectName(QStringLiteral("valueEdit"));
    valueEdit->setGeometry(32, 40, 337, 21);

    okButton = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("O&k"), this);
    okButton->setObjectName(QStringLiteral("okButton"));
    okButton->setGeometry(88, 80, 75, 25);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

    // Esc rejects the dialog, which is what this button does.
    cancelButton =
        new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("&Avbryt"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    cancelButton->setGeometry(216, 80, 75, 25);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(okButton, cancelButton);
    setTabOrder(cancelButton, valueEdit);
    valueEdit->setFocus();
}

void InputDialog::focusValueEdit()
{
    valueEdit->setFocus();
}

void InputDialog::opening()
{
    rt::runHandler([this] { focusValueEdit(); });
}

void InputDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
}

} // namespace servers
