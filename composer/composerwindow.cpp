#include "composerwindow.h"

#include "errordisplay.h"
#include "platform.h"
#include "smtpsettings.h"
#include "windowfont.h"

#include <QComboBox>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyle>
#include <QToolButton>

namespace composer {

namespace {

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QRect& box)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(box);
    return l;
}

} // namespace

QString ComposerWindow::supportAddress()
{
    return QStringLiteral("support@tavlund.example");
}

ComposerWindow::ComposerWindow(QWidget* parent)
    : gui::OwnedDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ComposerWindow"));
    setWindowTitle(QStringLiteral("Ny epost"));
    setFixedSize(612, 336);
    setFont(gui::windowFont());
    setModal(false);

    recipientLabel = makeLabel(this, "recipientLabel", QStringLiteral("Mottager:"), QRect(8, 12, 60, 16));

    recipientBox = new QComboBox(this);
    recipientBox->setObjectName(QStringLiteral("recipientBox"));
    recipientBox->setEditable(true);
    recipientBox->setInsertPolicy(QComboBox::NoInsert);
    recipientBox->addItem(supportAddress());
    recipientBox->setEditText(QString());
    recipientBox->setGeometry(72, 8, 436, 22);
    recipientLabel->setBuddy(recipientBox);

    sendButton = new QPushButton(QStringLiteral("Send"), this);
    sendButton->setObjectName(QStringLiteral("sendButton"));
    sendButton->setIcon(QIcon::fromTheme(QStringLiteral("mail-send"), style()->standardIcon(QStyle::SP_ArrowRight)));
    sendButton->setGeometry(516, 6, 88, 26);
    sendButton->setEnabled(false);
    sendButton->setAutoDefault(false);

    subjectLabel = makeLabel(this, "subjectLabel", QStringLiteral("Emne:"), QRect(8, 42, 60, 16));

    subjectEdit = new QLineEdit(this);
    subjectEdit->setObjectName(QStringLiteral("subjectEdit"));
    subjectEdit->setGeometry(72, 38, 532, 22);
    subjectLabel->setBuddy(subjectEdit);

    bodyEdit = new QPlainTextEdit(this);
    bodyEdit->setObjectName(QStringLiteral("bodyEdit"));
    bodyEdit->setGeometry(8, 68, 596, 228);
    bodyEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    bodyEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bodyEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bodyEdit->setTabChangesFocus(false);

    attachmentLabel = makeLabel(this, "attachmentLabel", QStringLiteral("Vedlegg:"), QRect(8, 310, 60, 16));

    attachmentEdit = new QLineEdit(this);
    attachmentEdit->setObjectName(QStringLiteral("attachmentEdit"));
    attachmentEdit->setGeometry(72, 306, 500, 22);
    attachmentLabel->setBuddy(attachmentEdit);

    pickAttachmentButton = new QToolButton(this);
    pickAttachmentButton->setObjectName(QStringLiteral("pickAttachmentButton"));
    pickAttachmentButton->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    pickAttachmentButton->setGeometry(580, 305, 24, 24);

    setTabOrder(recipientBox, sendButton);
    setTabOrder(sendButton, subjectEdit);
    setTabOrder(subjectEdit, bodyEdit);
    setTabOrder(bodyEdit, attachmentEdit);
    setTabOrder(attachmentEdit, pickAttachmentButton);

    // No filter, the platform's default options.
    chooseAttachmentFile = [this] { return QFileDialog::getOpenFileName(this); };

    connect(recipientBox, &QComboBox::editTextChanged, this, [this] { rt::runHandler([this] { updateSendButton(); }); });
    connect(pickAttachmentButton, &QToolButton::clicked, this, [this] { rt::runHandler([this] { pickAttachment(); }); });
    connect(sendButton, &QPushButton::clicked, this, [this] { rt::runHandler([this] { sendMessage(); }); });
}

ComposerWindow::~ComposerWindow() = default;

void ComposerWindow::showComposer()
{
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    show();
    raise();
    activateWindow();
}

void ComposerWindow::opening()
{
    rt::runHandler([this] { prepareOnOpening(); });
}

void ComposerWindow::prepareOnOpening()
{
    if (recipientBox->currentText().isEmpty() && !m_sent)
        recipientBox->setEditText(settings::readLastRecipients());
    m_sent = false;
    recipientBox->setFocus(Qt::OtherFocusReason);
    recipientBox->lineEdit()->selectAll();
    updateSendButton();
}

void ComposerWindow::updateSendButton()
{
    sendButton->setEnabled(!recipientBox->currentText().isEmpty());
}

void ComposerWindow::pickAttachment()
{
    const QString file = chooseAttachmentFile ? chooseAttachmentFile() : QString();
    if (!file.isEmpty())
        attachmentEdit->setText(file);
}

mailout::Draft ComposerWindow::draft() const
{
    return mailout::Draft{recipientBox->currentText(), subjectEdit->text(), bodyEdit->toPlainText(), attachmentEdit->text()};
}

void ComposerWindow::sendMessage()
{
    // However this ends, the window hides. After a failure it keeps its
    // fields for the next opening; after a send that went it is emptied, so
    // nothing invites sending the same message twice.
    const auto hideAfterwards = qScopeGuard([this] { hide(); });

    mailout::SendOutcome outcome;
    {
        const rt::BusyCursor busy;
        m_sender.configure(settings::readSmtpSettings(), settings::readSenderIdentity());
        outcome = m_sender.send(draft());
    }
    if (outcome.sent) {
        m_sent = true;
        recipientBox->setEditText(QString());
        subjectEdit->clear();
        bodyEdit->clear();
        attachmentEdit->clear();
        return;
    }
    // The pointer is normal again before the box waits for the user.
    rt::platform().messageBox(QStringLiteral("FEIL"), failureText(outcome.cause), rt::MsgIcon::None);
}

QString ComposerWindow::failureText(const QString& cause)
{
    if (cause.isEmpty())
        return QStringLiteral("Sending mislyktes ");
    return QStringLiteral("Sending mislyktes \n") + rt::errorDisplayText(cause);
}

} // namespace composer
