// The main window: a borderless, always-on-top strip in the top-left corner
// with the inbox count, and below it the list of waiting messages. It shows
// what the mailbox watcher reports and hands it the user's actions; the
// watcher talks to the server on a worker thread, so the strip keeps
// painting and its indicator keeps moving while the server is contacted.
#pragma once

#include "mailboxwatcher.h"

#include <QWidget>
#include <functional>
#include <memory>

class QListView;
class QLabel;
class QMenu;
class QAction;
class QPlainTextEdit;
class QTimer;
class QToolButton;

namespace watch {
class PushCheckPacer;
}
namespace keyring {
class MailboxPassword;
}

namespace app {

class ShapeWidget;
class MessageListModel;

class StripWindow : public QWidget {
    Q_OBJECT
public:
    explicit StripWindow(QWidget* parent = nullptr);
    ~StripWindow() override;

    // Makes the window visible and brings it to the front; when it was
    // hidden, the show sequence (position, settings, check) runs first. An
    // error on the way is shown in the error box.
    void showStrip();

    // Reads the mailbox settings and arms the schedule.
    void readSettings();
    // One check of the mailbox (ignored while another server step runs).
    void checkMailbox();

    // Opens the settings dialog; set by the program once that window exists.
    std::function<void()> openSettingsDialog;
    // Shows the composer; set by the program once that window exists.
    std::function<void()> openComposer;
    // Shows the about box modally.
    std::function<void()> openAboutDialog;

    watch::MailboxWatcher& watcher() { return *m_watcher; }
    // The checks push asks for: merged, and at least two seconds apart.
    watch::PushCheckPacer& pushChecks() { return *m_pushChecks; }
    // The count of the last check, stored after the strip's reactions to
    // it; 0 after the settings were read, so a check finding mail then is a
    // change.
    int lastCount() const { return m_lastCount; }

    // Controls.
    ShapeWidget* barShape;             // the lime bar; a press opens the main menu
    QLabel* statusLabel;          // "INNBOKS: " and the count
    QToolButton* closeBarButton;  // the bar's "X": ends the program
    QToolButton* closeListButton; // the list's "X": hides the list
    ShapeWidget* indicatorShape;       // the circle that moves while the server is contacted
    QListView* messageList;       // one line per waiting message (listModel's)
    QPlainTextEdit* hiddenMessageBuffer; // never shown; holds an opened message
    QTimer* scheduleTimer;        // the scheduled checks
    QTimer* indicatorTimer;       // moves the indicator every 100 ms
    MessageListModel* listModel;  // the lines messageList shows
    QMenu* mainMenu;
    QMenu* listMenu;
    QAction* checkNowAction; // "Brevglimt"
    QAction* settingsAction; // "Oppsett"
    QAction* hideAction;     // "Skjul"
    QAction* aboutAction;    // "Om brevglimt"
    QAction* showListAction; // "Vis meldingsliste"
    QAction* newMailAction;  // "Ny epost"
    QAction* quitAction;     // "Avslutt"
    QAction* deleteAction;   // "Slett", in the list's menu

    // How the strip reacts to a check, read with the settings.
    bool hideWhenEmpty = false;      // "HideWindow": hide after a check that finds nothing
    bool beepOnChange = false;       // "BeepOnMail"
    bool showWindowOnChange = false; // "ShowOnNew"
    bool showListOnChange = false;   // "ShowListOnNew"

    // Event handlers.
    void runShowSequence();
    void onBarPressed();
    void onCloseBarClicked();
    void onQuitChosen();
    void onCheckNowChosen();
    void onScheduleTick();
    void onSettingsChosen();
    void onHideChosen();
    void onAboutChosen();
    void onShowListToggled();
    void onMainMenuAboutToShow();
    void onCloseListClicked();
    void onNewMailChosen();
    void onIndicatorTick();
    void onListDoubleClicked();
    void onDeleteChosen();
    // IMAP push reported a change on the server (or came up): a check is
    // due, paced by pushChecks.
    void onServerChange();

    static constexpr int kIndicatorStart = 129;
    // How soon an action that found another exchange in the way is tried again.
    static constexpr int kRetryWhileBusyMs = 500;
    // Row of the selected line, -1 when none is selected.
    int selectedRow() const;
    // A failure box (or another box of the strip's own) is open: no
    // scheduled check starts meanwhile.
    bool boxOpen() const { return m_boxOpen; }

signals:
    // The window was closed: the program ends.
    void closed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The constructor's parts, in the order it runs them.
    void buildBar();
    void buildList();
    void buildTimers();
    void buildMenus();
    void connectControls();
    void connectWatcher();
    // Runs an event handler; an error it lets through is shown in the error
    // box, and while that box is open no scheduled check starts.
    void runHandler(const std::function<void()>& handler);
    // Shows the window; when it was hidden the show sequence runs inside.
    void bringToFront();
    void indicatorOn(bool aqua);
    void indicatorOff();
    void updateShape();
    void setListVisible(bool visible);
    void setStatusText(const QString& text);
    void replaceLines(const QStringList& lines);
    void showNotice(const QString& text);
    // The line's message on the server is another now: say so, read again.
    void mailboxChanged();
    // Marks an opened IMAP message read once the desktop showed it; tried
    // again shortly while another exchange or a box is in the way.
    void markOpenedSeen(const watch::MailboxWatcher::SeenMark& mark);
    // A check push asked for. It stands under push's rules: a server it
    // cannot reach shows as the red indicator, not as a box. False when it
    // failed so.
    bool checkForPush();

    std::unique_ptr<watch::MailboxWatcher> m_watcher;
    // The mailbox password from the keyring, when the settings file has none.
    std::unique_ptr<keyring::MailboxPassword> m_keyringPassword;
    int m_lastCount = 0;
    bool m_boxOpen = false;
    // The settings dialog changed the server or log-in: a check is due.
    bool m_checkDue = false;
    // The IMAP push connection failed and is being reopened.
    bool m_pushDown = false;
    // Why the last check push asked for failed; empty after one went through.
    QString m_pushCheckFailure;
    watch::PushCheckPacer* m_pushChecks = nullptr;
};

} // namespace app
