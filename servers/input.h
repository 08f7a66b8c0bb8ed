// A modal dialog that asks for one line of text: Enter gives OK, Esc gives
// Cancel, and there is no other way to close it.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace servers {

class TInputForm : public QDialog {
    Q_OBJECT
public:
    explicit TInputForm(QWidget* parent = nullptr);

    // The window the dialog centres itself over when shown.
    QWidget* owner = nullptr;

    QLabel* promptLabel;
    QLineEdit* valueEdit; // the answer; kept from one opening to the next
    QPushButton* okButton; // "O&k", default button
    QPushButton* cancelButton; // "&Avbryt"

    // Puts the keyboard focus into valueEdit; every showing does.
    void focusValueEdit();

protected:
    void showEvent(QShowEvent* event) override;
    // Only the two buttons, Enter and Esc close the dialog.
    void closeEvent(QCloseEvent* event) override;
};

extern TInputForm* InputForm;

} // namespace servers
