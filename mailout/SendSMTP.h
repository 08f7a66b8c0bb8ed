// The composer: one window for the whole run in which the user writes a
// message with at most one attached file and sends it over SMTP to the
// server of the mail settings.
#pragma once

#include "smtpclient.h"

#include <QDialog>
#include <QPointer>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace mailout {

class TSendSMTPForm : public QDialog {
    Q_OBJECT
public:
    explicit TSendSMTPForm(QWidget* parent = nullptr);
    ~TSendSMTPForm() override;

    // The preset item of the recipient list.
    static QString supportAddress();

    // The window it centres over each time it is shown (the main window).
    void setOwner(QWidget* owner) { m_owner = owner; }
    QWidget* owner() const { return m_owner; }

    // Shows the window without making it modal and brings it to the front.
    void showComposer();

    // Controls and members, named as the rest of the program knows them.
    QLabel* Label1;
    QComboBox* eMottager;
    QPushButton* SendKnapp;
    QLabel* Label2;
    QLineEdit* eEmne;
    QPlainTextEdit* eBody;
    QLabel* Label3;
    QLineEdit* eFilename;
    QToolButton* BitBtn1;
    // The file-open dialog: the chosen file's full path, empty when the user
    // cancels. Tests replace it.
    std::function<QString()> OpenDialog1;
    // The message of the current send and the client that sends it.
    net::OutgoingMail AMsg;
    net::SmtpClient IdSMTP1;

    // Event handlers.
    void FormShow();
    void eMottagerChange();
    void BitBtn1Click();
    void SendKnappClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QPointer<QWidget> m_owner;
};

// The program's composer; nullptr until the program creates it.
extern TSendSMTPForm* SendSMTPForm;

} // namespace mailout
