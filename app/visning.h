// The main window: a borderless, always-on-top strip in the top-left corner
// with the inbox count, and below it the list of waiting messages.
#pragma once

#include "mailheader.h"
#include "pop3client.h"

#include <QWidget>
#include <functional>

class QListWidget;
class QLabel;
class QMenu;
class QAction;
class QPlainTextEdit;
class QTimer;
class QToolButton;

namespace app {

class TShape;

class TBrevglimtForm : public QWidget {
    Q_OBJECT
public:
    explicit TBrevglimtForm(QWidget* parent = nullptr);
    ~TBrevglimtForm() override;

    // Makes the window visible and brings it to the front; when it was
    // hidden, the show sequence (position, settings, check) runs first.
    void showForm();

    // Reads the mailbox settings and arms the schedule.
    void hentoppsett();
    // One check of the mailbox.
    void sjekkpop(QObject* sender = nullptr);

    // Opens the settings dialog; set by the program once that window exists.
    std::function<void()> settingsDialog;
    // Shows the composer; set by the program once that window exists.
    std::function<void()> composer;
    // Shows the about box modally.
    std::function<void()> aboutBox;

    // Controls and members, named as the rest of the program knows them.
    TShape* Shape1;
    QLabel* Statuslabel;
    QToolButton* SpeedButton1;
    QToolButton* SpeedButton2;
    TShape* Shape2;
    QListWidget* Liste;
    QPlainTextEdit* Memo1;
    net::Pop3Client POP3;
    net::HeaderInfo Msg;
    QTimer* Timer1;
    QTimer* Timer2;
    QMenu* PopupMenu1;
    QMenu* PopupMenu2;
    QAction* Brevglimt1;
    QAction* Oppsett1;
    QAction* Skjul1;
    QAction* OmBrevglimt1;
    QAction* Vismeldingsliste;
    QAction* Sendepost1;
    QAction* Avslutt1;
    QAction* Slett1;

    // State read by hentoppsett and used by sjekkpop.
    bool sjekkioppstart = false;
    bool HideVedIngenPost = false;
    qint32 Sisteantall = 0;
    bool LagLyd = false;
    bool VisVindu = false;
    bool VisListeNy = false;

    // Event handlers.
    void FormShow();
    void Shape1MouseDown();
    void SpeedButton1Click();
    void Avslutt1Click();
    void Brevglimt1Click();
    void Timer1Timer();
    void Oppsett1Click();
    void Skjul1Click();
    void OmBrevglimt1Click();
    void VismeldingslisteClick();
    void PopupMenu1Popup();
    void SpeedButton2Click();
    void Sendepost1Click();
    void Timer2Timer();
    void POP3Connected();
    void POP3Disconnected();
    void ListeDblClick();
    void Slett1Click();

    // Identity of each list line's message at the last check, so that an
    // action never hits another message after the mailbox has changed.
    QStringList lineIdentities() const { return m_identities; }

    static constexpr int kIndicatorStart = 129;
    // Row of the selected line, -1 when none is selected.
    int selectedRow() const;

signals:
    // The window was closed: the program ends.
    void closed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void indicatorOn(bool aqua);
    void indicatorOff();
    void updateShape();
    void setListVisible(bool visible);
    void setStatusText(const QString& text);
    // True when message number i on the server is still the one line i-1
    // stood for; otherwise tells the user, checks again and returns false.
    bool confirmLine(int row);
    QString identityOnServer(int number);
    bool m_usesUidl = false;
    QStringList m_identities;
};

// The message number names a message by its unique id when the server
// offers one, otherwise by its Message-ID and Date.
QString uidIdentity(const QByteArray& uid);
QString headerIdentity(const net::HeaderInfo& info);

} // namespace app
