// The composer: one window for the whole run in which the user writes a
// message with at most one attached file. Send hands it to a mailout::MailSender
// with the stored sending settings and shows how that ended.
#pragma once

#include "mailsender.h"
#include "owneddialog.h"

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace composer {

class ComposerWindow : public gui::OwnedDialog {
    Q_OBJECT
public:
    explicit ComposerWindow(QWidget* parent = nullptr);
    ~ComposerWindow() override;

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

    // The fields as a message to send.
    mailout::Draft draft() const;

    // Event handlers.
    // Each opening: the last recipient into an empty recipient box.
    void prepareOnOpening();
    // Send is possible exactly when there is recipient text.
    void updateSendButton();
    void pickAttachment();
    // The send, under the busy pointer; the window hides afterwards however
    // it ends, and a failure is shown in a box that names its cause.
    void sendMessage();

protected:
    // Each opening (not a restore from minimised) prepares the window anew.
    void opening() override;

private:
    // Configured from the stored settings at each send.
    mailout::MailSender m_sender;
    // A message went since the window was last opened: it opens empty,
    // without proposing the last recipient.
    bool m_sent = false;
};

} // namespace composer
