// A modal dialog that asks for one line of text: Enter gives OK, Esc gives
// Cancel, and there is no other way to close it.
#pragma once

#include "owneddialog.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace servers {

class InputDialog : public gui::OwnedDialog {
    Q_OBJECT
public:
    explicit InputDialog(QWidget* parent = nullptr);

    QLabel* promptLabel;
    QLineEdit* valueEdit; // the answer; kept from one opening to the next
    QPushButton* okButton; // "O&k", default button
    QPushButton* cancelButton; // "&Avbryt"

    // Puts the keyboard focus into valueEdit; every showing does.
    void focusValueEdit();

protected:
    void opening() override;
    // Only the two buttons, Enter and Esc close the dialog.
    void closeEvent(QCloseEvent* event) override;
};

} // namespace servers
