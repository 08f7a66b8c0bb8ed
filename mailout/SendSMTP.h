// The composer: one window for the whole run in which the user writes a
// message with at most one attached file and sends it over SMTP to the
// server of the mail settings.
#pragma once

#include "owneddialog.h"
#include "smtpclient.h"

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace mailout {

class TSendSMTPForm : public gui::OwnedDialog {
    Q_OBJECT
public:
    explicit TSendSMTPForm(QWidget* parent = nullptr);
    ~TSendSMTPForm() override;

    // The preset item of the recipient list.
    static QString supportAddress();
    // The failure box's text: "Sending mislyktes " and, on the line below,
    // the cause (with a full stop as the error display adds one).
    static QString failureText(const QString& cause);

    // Shows the window without making it modal and brings it to the front.
    void showComposer();

    // Controls.
    QLabel* recipientLabel;
    QComboBox* recipientBox; // editable; the preset item is supportAddress()
    QPushButton* sendButton;
    QLabel* subjectLabel;
    QLineEdit* subjectEdit;
    QPlainTextEdit* bodyEdit;
    QLabel* attachmentLabel;
    QLineEdit* attachmentEdit; // full path of the one file to attach
    QToolButton* pickAttachmentButton;
    // The file-open dialog: the chosen file's full path, empty when the user
    // cancels. Tests replace it.
    std::function<QString()> chooseAttachmentFile;
    // The message of the current send and the client that sends it. The
    // client works on a worker thread while a send runs; the window thread
    // touches it only before and after each step.
    net::OutgoingMail message;
    net::SmtpClient smtpClient;

    // Event handlers.
    // Each opening: the last recipient into an empty recipient box.
    void prepareOnOpening();
    // Send is possible exactly when there is recipient text.
    void updateSendButton();
    void pickAttachment();
    // The send; the window hides afterwards however it ends, and a failure
    // is shown in a box that names its cause.
    void sendMessage();

protected:
    // Each opening (not a restore from minimised) prepares the window anew.
    void opening() override;

private:
    // A message went since the window was last opened: it opens empty,
    // without proposing the last recipient.
    bool m_sent = false;
};

} // namespace mailout
