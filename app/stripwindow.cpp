#include "stripwindow.h"

#include "certtrust.h"
#include "desktopopener.h"
#include "errordisplay.h"
#include "folders.h"
#include "mailboxsettings.h"
#include "mailboxwatcher.h"
#include "mailpasswords.h"
#include "messagefile.h"
#include "messagelist.h"
#include "neterror.h"
#include "platform.h"
#include "pushcheckpacer.h"
#include "shapewidget.h"
#include "termination.h"
#include "windowfont.h"
#include "windowplace.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScopedValueRollback>
#include <QTimer>
#include <QToolButton>

#include <stdexcept>

namespace app {

namespace {

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kLime(0x00, 0xFF, 0x00);
const QColor kGreen(0x00, 0x80, 0x00);
const QColor kAqua(0x00, 0xFF, 0xFF);
const QColor kRed(0xFF, 0x00, 0x00);
const QColor kYellow(0xFF, 0xFF, 0x00);

constexpr int kLineHeight = 13;
constexpr int kListMaxHeight = 309;

QToolButton* makeCloseButton(QWidget* parent, const char* name, const QRect& box, const QColor& face)
{
    auto* b = new QToolButton(parent);
    // A flat button shows what lies under it: the bar, or the list's colour.
    b->setAutoFillBackground(true);
    QPalette pal = b->palette();
    pal.setColor(QPalette::Window, face);
    pal.setColor(QPalette::Button, face);
    pal.setColor(QPalette::ButtonText, Qt::black);
    b->setPalette(pal);
    b->setObjectName(QLatin1String(name));
    b->setText(QStringLiteral("X"));
    b->setAutoRaise(true);
    b->setFont(gui::windowFont(8, true, "Small Fonts"));
    b->setGeometry(box);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

QAction* addItem(QMenu* menu, const char* name, const QString& caption)
{
    QAction* a = menu->addAction(caption);
    a->setObjectName(QLatin1String(name));
    return a;
}

} // namespace

StripWindow::StripWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    , m_watcher(std::make_unique<watch::MailboxWatcher>())
    , m_keyringPassword(std::make_unique<keyring::MailboxPassword>())
{
    setObjectName(QStringLiteral("StripWindow"));
    // What taskbars and window lists show.
    setWindowTitle(QStringLiteral("Brevglimt"));
    setWindowIcon(gui::programIcon());
    // Showing the strip never takes the keyboard from the window in use:
    // typing meant for it would otherwise move the list's selection.
    setAttribute(Qt::WA_ShowWithoutActivating);
    // Without the keyboard the strip is never the active window; its
    // tooltips (a line's full text) show all the same.
    setAttribute(Qt::WA_AlwaysShowToolTips);
    setFixedSize(442, 332);
    setFont(gui::windowFont(11));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kNavy);
    setPalette(pal);

    buildBar();
    buildList();
    buildTimers();
    buildMenus();
    connectControls();
    connectWatcher();
    updateShape();
}

StripWindow::~StripWindow() = default;

// The lime bar with the count and its "X", the list's "X" beside it, and the
// indicator that moves along the bar while the server is contacted.
void StripWindow::buildBar()
{
    barShape = new ShapeWidget(ShapeWidget::Kind::Rectangle, this);
    barShape->setObjectName(QStringLiteral("barShape"));
    barShape->setGeometry(0, 0, 113, 20);
    barShape->setBrushColor(kLime);
    barShape->setPenColor(kGreen, 2);

    statusLabel = new QLabel(QStringLiteral("INNBOKS:"), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setAutoFillBackground(true);
    QPalette labelPal = statusLabel->palette();
    labelPal.setColor(QPalette::Window, kLime);
    labelPal.setColor(QPalette::WindowText, Qt::black);
    statusLabel->setPalette(labelPal);
    statusLabel->setFont(gui::windowFont(11));
    statusLabel->move(8, 4);
    statusLabel->setFixedHeight(13);
    statusLabel->adjustSize();
    statusLabel->setAttribute(Qt::WA_TransparentForMouseEvents); // presses reach the bar

    closeBarButton = makeCloseButton(this, "closeBarButton", QRect(95, 3, 14, 14), kLime);
    closeListButton = makeCloseButton(this, "closeListButton", QRect(419, 7, 14, 14), kYellow);

    indicatorShape = new ShapeWidget(ShapeWidget::Kind::Circle, this);
    indicatorShape->setObjectName(QStringLiteral("indicatorShape"));
    indicatorShape->setGeometry(kIndicatorStart, 2, 17, 17);
    indicatorShape->setBrushColor(kAqua);
    indicatorShape->hide();
}

// The list of waiting messages, and the hidden buffer an opened message
// passes through.
void StripWindow::buildList()
{
    messageList = new QListView(this);
    messageList->setObjectName(QStringLiteral("messageList"));
    listModel = new MessageListModel(kLineHeight, this);
    listModel->setObjectName(QStringLiteral("listModel"));
    messageList->setModel(listModel);
    messageList->setGeometry(0, 20, 433, kListMaxHeight);
    messageList->setUniformItemSizes(true);
    messageList->setFrameShape(QFrame::NoFrame);
    QPalette listPal = messageList->palette();
    listPal.setColor(QPalette::Base, kYellow);
    listPal.setColor(QPalette::Text, Qt::black);
    messageList->setPalette(listPal);
    messageList->setContextMenuPolicy(Qt::CustomContextMenu);
    messageList->setSelectionMode(QAbstractItemView::SingleSelection);
    closeListButton->raise(); // its lower edge lies over the list's top

    hiddenMessageBuffer = new QPlainTextEdit(this);
    hiddenMessageBuffer->setObjectName(QStringLiteral("hiddenMessageBuffer"));
    hiddenMessageBuffer->setGeometry(16, 128, 409, 185);
    hiddenMessageBuffer->setLineWrapMode(QPlainTextEdit::NoWrap);
    hiddenMessageBuffer->hide();
}

void StripWindow::buildTimers()
{
    scheduleTimer = new QTimer(this);
    scheduleTimer->setObjectName(QStringLiteral("scheduleTimer"));
    scheduleTimer->setInterval(60000);
    indicatorTimer = new QTimer(this);
    indicatorTimer->setObjectName(QStringLiteral("indicatorTimer"));
    indicatorTimer->setInterval(100);
}

// The bar's menu and the list's.
void StripWindow::buildMenus()
{
    mainMenu = new QMenu(this);
    mainMenu->setObjectName(QStringLiteral("mainMenu"));
    checkNowAction = addItem(mainMenu, "checkNowAction", QStringLiteral("Brevglimt"));
    settingsAction = addItem(mainMenu, "settingsAction", QStringLiteral("Oppsett"));
    hideAction = addItem(mainMenu, "hideAction", QStringLiteral("Skjul"));
    mainMenu->addSeparator();
    aboutAction = addItem(mainMenu, "aboutAction", QStringLiteral("Om brevglimt"));
    showListAction = addItem(mainMenu, "showListAction", QStringLiteral("Vis meldingsliste"));
    showListAction->setCheckable(true);
    mainMenu->addSeparator();
    newMailAction = addItem(mainMenu, "newMailAction", QStringLiteral("Ny epost"));
    mainMenu->addSeparator();
    quitAction = addItem(mainMenu, "quitAction", QStringLiteral("Avslutt"));

    listMenu = new QMenu(this);
    listMenu->setObjectName(QStringLiteral("listMenu"));
    deleteAction = addItem(listMenu, "deleteAction", QStringLiteral("Slett"));
}

// The controls' signals to their handlers.
void StripWindow::connectControls()
{
    // Every handler runs under the error display.
    auto bind = [this](auto signalSource, auto signal, void (StripWindow::*handler)()) {
        connect(signalSource, signal, this, [this, handler] { runHandler([&] { (this->*handler)(); }); });
    };
    bind(barShape, &ShapeWidget::mousePressed, &StripWindow::onBarPressed);
    bind(closeBarButton, &QToolButton::clicked, &StripWindow::onCloseBarClicked);
    bind(closeListButton, &QToolButton::clicked, &StripWindow::onCloseListClicked);
    bind(scheduleTimer, &QTimer::timeout, &StripWindow::onScheduleTick);
    bind(indicatorTimer, &QTimer::timeout, &StripWindow::onIndicatorTick);
    bind(mainMenu, &QMenu::aboutToShow, &StripWindow::onMainMenuAboutToShow);
    bind(checkNowAction, &QAction::triggered, &StripWindow::onCheckNowChosen);
    bind(settingsAction, &QAction::triggered, &StripWindow::onSettingsChosen);
    bind(hideAction, &QAction::triggered, &StripWindow::onHideChosen);
    bind(aboutAction, &QAction::triggered, &StripWindow::onAboutChosen);
    bind(showListAction, &QAction::triggered, &StripWindow::onShowListToggled);
    bind(newMailAction, &QAction::triggered, &StripWindow::onNewMailChosen);
    bind(quitAction, &QAction::triggered, &StripWindow::onQuitChosen);
    bind(deleteAction, &QAction::triggered, &StripWindow::onDeleteChosen);
    // A double-click anywhere in the list opens the selected message, as
    // one on empty space below the lines does too.
    messageList->viewport()->installEventFilter(this);
    // Enter opens the selected message too.
    messageList->installEventFilter(this);
    connect(messageList, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { listMenu->popup(messageList->viewport()->mapToGlobal(pos)); });
}

// What the watcher reports, the checks push asks for, and the password
// from the keyring.
void StripWindow::connectWatcher()
{
    // Shown as it comes.
    connect(m_watcher.get(), &watch::MailboxWatcher::checkStarted, this, [this] { indicatorOn(true); });
    connect(m_watcher.get(), &watch::MailboxWatcher::actionStarted, this, [this] { indicatorOn(false); });
    connect(m_watcher.get(), &watch::MailboxWatcher::connectionOpened, this,
            [this] { indicatorShape->setBrushColor(kGreen); });
    connect(m_watcher.get(), &watch::MailboxWatcher::connectionClosed, this,
            [this] { indicatorShape->setBrushColor(kRed); });
    connect(m_watcher.get(), &watch::MailboxWatcher::linesRead, this, &StripWindow::replaceLines);
    // IMAP push: a change on the server is shown by a check, as soon as no
    // other exchange or box is in the way; while push is down the indicator
    // stays red.
    m_pushChecks = new watch::PushCheckPacer(
        [this] { return !m_boxOpen && !m_watcher->busy(); },
        [this] {
            bool ok = true;
            runHandler([&] { ok = checkForPush(); });
            return ok;
        },
        this);
    m_pushChecks->setObjectName(QStringLiteral("pushChecks"));
    connect(m_watcher.get(), &watch::MailboxWatcher::serverReportedChange, this, &StripWindow::onServerChange);
    connect(m_watcher.get(), &watch::MailboxWatcher::pushDown, this, [this](bool down) {
        m_pushDown = down;
        if (!indicatorTimer->isActive())
            indicatorOff();
    });
    connect(m_watcher.get(), &watch::MailboxWatcher::countRead, this,
            [this](int count) { setStatusText(QStringLiteral("INNBOKS: ") + QString::number(count)); });

    // A password the settings file does not hold comes from the keyring.
    // When the keyring cannot give it, the check does not run and the user
    // is told once (queued: the box must not open inside the watcher's call).
    m_watcher->setPasswordSource([passwords = m_keyringPassword.get()](const settings::MailboxSettings& s) {
        return passwords->fetch({keyring::AccountKind::Mailbox, s.host.toLower(), s.user});
    });
    connect(
        m_watcher.get(), &watch::MailboxWatcher::passwordUnavailable, this,
        [this] {
            const QString notice = m_keyringPassword->takeNotice();
            if (!notice.isEmpty())
                runHandler([&] { showNotice(notice); });
        },
        Qt::QueuedConnection);
}

void StripWindow::runHandler(const std::function<void()>& handler)
{
    const QScopedValueRollback<bool> restore(m_boxOpen);
    rt::runHandler([&] {
        try {
            handler();
        } catch (...) {
            m_boxOpen = true; // held while the error box stands
            throw;
        }
    });
}

// ---------------------------------------------------------------- look

void StripWindow::updateShape()
{
    // Only the controls exist on screen; the rest of the strip is
    // see-through and lets the mouse through to what lies beneath.
    QRegion region;
    for (QWidget* w : {static_cast<QWidget*>(barShape), static_cast<QWidget*>(statusLabel),
                       static_cast<QWidget*>(closeBarButton), static_cast<QWidget*>(closeListButton),
                       static_cast<QWidget*>(messageList)}) {
        if (w->isVisibleTo(this))
            region += w->geometry();
    }
    if (indicatorShape->isVisibleTo(this))
        region += QRegion(indicatorShape->geometry(), QRegion::Ellipse);
    setMask(region);
}

void StripWindow::setListVisible(bool visible)
{
    messageList->setVisible(visible);
    closeListButton->setVisible(messageList->isVisibleTo(this));
    updateShape();
}

void StripWindow::setStatusText(const QString& text)
{
    statusLabel->setText(text);
    statusLabel->adjustSize();
    statusLabel->setFixedHeight(13);
    updateShape();
}

void StripWindow::replaceLines(const QStringList& lines)
{
    listModel->setLines(lines);
}

void StripWindow::indicatorOn(bool aqua)
{
    if (aqua)
        indicatorShape->setBrushColor(kAqua);
    indicatorTimer->start();
    indicatorShape->show();
    updateShape();
}

void StripWindow::indicatorOff()
{
    indicatorTimer->stop();
    // At rest the indicator shows only that push is in trouble: red,
    // standing, its tooltip saying why.
    if (m_pushDown || !m_pushCheckFailure.isEmpty()) {
        const QString lead = m_pushDown ? QStringLiteral("Ingen push-forbindelse til serveren; prøver igjen.")
                                        : QStringLiteral("Nye meldinger kunne ikke hentes; prøver igjen.");
        const QString why = m_pushDown ? m_watcher->pushFailure() : m_pushCheckFailure;
        indicatorShape->setToolTip(why.isEmpty() ? lead : lead + QLatin1Char('\n') + why);
        indicatorShape->setBrushColor(kRed);
        indicatorShape->show();
    } else {
        indicatorShape->setToolTip(QString());
        indicatorShape->hide();
    }
    updateShape();
}

// ---------------------------------------------------------------- showing

void StripWindow::showStrip()
{
    runHandler([this] { bringToFront(); });
}

void StripWindow::bringToFront()
{
    const bool wasHidden = !isVisible();
    if (wasHidden) {
        // Placed before it is mapped, so it never shows elsewhere first.
        move(23, 2);
        gui::showOnAllWorkspaces(this);
        gui::keepFromDemandingAttention(this);
    }
    show();
    raise();
    if (wasHidden)
        runShowSequence();
}

void StripWindow::runShowSequence()
{
    move(23, 2);
    readSettings();
    // Only this check waits for "StartupCheck"; one the user asks for, or
    // the schedule's, always runs.
    if (m_watcher->settings().startupCheck)
        checkMailbox();
}

bool StripWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == messageList->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        runHandler([this] { onListDoubleClicked(); });
        return true;
    }
    if (watched == messageList && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            runHandler([this] { onListDoubleClicked(); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void StripWindow::contextMenuEvent(QContextMenuEvent* event)
{
    mainMenu->popup(event->globalPos());
}

void StripWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    emit closed();
}

int StripWindow::selectedRow() const
{
    const QModelIndexList selected = messageList->selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.first().row();
}

// ---------------------------------------------------------------- settings and check

void StripWindow::readSettings()
{
    const settings::MailboxSettings settings = settings::readMailboxSettings();
    m_watcher->configure(settings);
    showWindowOnChange = settings.showOnNew;
    showListOnChange = settings.showListOnNew;
    beepOnChange = settings.beepOnMail;
    hideWhenEmpty = settings.hideWhenEmpty;
    // A changed interval restarts the countdown, an unchanged one keeps it;
    // a timer of 0 ms would fire without pause, so it is stopped instead, as
    // it is with "Scheduler" off.
    const int interval = settings.scheduler ? settings.scheduleMs : 0;
    if (interval == 0)
        scheduleTimer->stop();
    if (interval != scheduleTimer->interval())
        scheduleTimer->setInterval(interval);

    setListVisible(settings.showList);
    if (settings.host.isEmpty())
        onSettingsChosen();
    m_lastCount = 0;
    if (scheduleTimer->interval() > 0 && !scheduleTimer->isActive())
        scheduleTimer->start();
    // With IMAP push watches from the start, whatever the show sequence
    // and the schedule do; queued, so a keyring that asks first never
    // holds up what called this. A check running by then starts it itself.
    QTimer::singleShot(0, this, [this] { runHandler([this] { m_watcher->ensurePush(); }); });
}

void StripWindow::checkMailbox()
{
    m_checkDue = false;
    const watch::MailboxWatcher::CheckReport report = m_watcher->check();
    if (!report.ran)
        return;
    m_pushCheckFailure.clear();
    // The headers read and the cache written are freed by now.
    rt::releaseFreedMemory();
    const int n = report.count;
    messageList->setFixedHeight(std::min((n - 1) * kLineHeight + 17, kListMaxHeight));
    updateShape();
    if (hideWhenEmpty && n == 0)
        hide();
    if (n != m_lastCount) {
        // Showing a hidden strip reads the settings again (which sets the
        // last count to 0), so the count is stored after the reactions:
        // the next check of an unchanged mailbox is no change.
        if (showWindowOnChange)
            bringToFront();
        m_lastCount = n;
        if (beepOnChange)
            rt::platform().beep();
        if (showListOnChange)
            messageList->setVisible(true);
        setListVisible(messageList->isVisibleTo(this));
    }
    indicatorOff();
}

// ---------------------------------------------------------------- message actions

void StripWindow::showNotice(const QString& text)
{
    const QScopedValueRollback<bool> open(m_boxOpen, true);
    rt::platform().messageBox(rt::applicationTitle(), text, rt::MsgIcon::Information);
}

void StripWindow::mailboxChanged()
{
    indicatorOff();
    showNotice(QStringLiteral("Postkassen er endret siden forrige sjekk, så meldingen ble ikke rørt. "
                              "Meldingslisten hentes på nytt."));
    checkMailbox();
}

namespace {
QString unidentifiedText(const QString& done)
{
    return QStringLiteral("Meldingen kan ikke skilles sikkert fra andre meldinger i postkassen, så den ble ikke %1.")
        .arg(done);
}

QString noMailProgramText(const QString& path)
{
    return QStringLiteral("Ingen e-postprogram kunne åpne meldingen. Den er lagret i %1.").arg(path);
}
} // namespace

void StripWindow::onListDoubleClicked()
{
    // With no line selected there is nothing to open and nothing is sent.
    const int row = selectedRow();
    if (row < 0)
        return;
    const QString tmpFolder = rt::namedFolder(QStringLiteral("tmp"));
    hiddenMessageBuffer->clear();
    const watch::MailboxWatcher::Retrieved r = m_watcher->retrieveMessage(row);
    switch (r.outcome) {
    case watch::MailboxWatcher::Outcome::Ignored:
    case watch::MailboxWatcher::Outcome::FlaggedOnly: return;
    case watch::MailboxWatcher::Outcome::Unidentified: showNotice(unidentifiedText(QStringLiteral("åpnet"))); return;
    case watch::MailboxWatcher::Outcome::Changed: mailboxChanged(); return;
    case watch::MailboxWatcher::Outcome::Refused:
        indicatorOff();
        repaint();
        throw net::NetError(r.refusal);
    case watch::MailboxWatcher::Outcome::Done: break;
    }
    hiddenMessageBuffer->setPlainText(QString::fromUtf8(r.message));
    const desktop::MessageFile file = desktop::writeMessageFile(tmpFolder, r.message);
    if (!file.written())
        throw std::runtime_error(file.error.toStdString());
    const QString& path = file.path;
    // The message is marked read only once something showed it (IMAP);
    // queued either way, so nothing waits inside the opener's report.
    rt::shellOpen(path, QString(), QString(),
                  [strip = QPointer<StripWindow>(this), path, mark = r.seenMark](bool opened) {
                      if (!strip)
                          return;
                      QTimer::singleShot(0, strip, [strip, path, mark, opened] {
                          if (!opened)
                              strip->runHandler([&] { strip->showNotice(noMailProgramText(path)); });
                          else if (mark)
                              strip->runHandler([&] { strip->markOpenedSeen(*mark); });
                      });
                  });
    indicatorOff();
    repaint();
}

void StripWindow::onDeleteChosen()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    switch (m_watcher->deleteMessage(row)) {
    case watch::MailboxWatcher::Outcome::Ignored:
    case watch::MailboxWatcher::Outcome::Refused: return;
    case watch::MailboxWatcher::Outcome::Unidentified: showNotice(unidentifiedText(QStringLiteral("slettet"))); return;
    case watch::MailboxWatcher::Outcome::Changed: mailboxChanged(); return;
    case watch::MailboxWatcher::Outcome::FlaggedOnly:
        indicatorOff();
        showNotice(QStringLiteral("Serveren kan ikke slette én enkelt melding (den mangler UIDPLUS), så meldingen er "
                                  "bare merket for sletting. Den forsvinner fra serveren når et e-postprogram "
                                  "rydder innboksen."));
        break;
    case watch::MailboxWatcher::Outcome::Done: break;
    }
    indicatorOff();
    checkMailbox();
}

// ---------------------------------------------------------------- other handlers

void StripWindow::onBarPressed()
{
    mainMenu->popup(QCursor::pos());
}

void StripWindow::onCloseBarClicked()
{
    close();
}

void StripWindow::onQuitChosen()
{
    close();
}

void StripWindow::onCheckNowChosen()
{
    // A keyring that stayed locked may ask the user again.
    m_keyringPassword->allowAsking();
    checkMailbox();
}

void StripWindow::onScheduleTick()
{
    // A tick while a failure box stands, or while the server is being
    // contacted, is dropped; the schedule goes on with the next one.
    if (m_boxOpen || m_watcher->busy())
        return;
    checkMailbox();
}

void StripWindow::onServerChange()
{
    m_pushChecks->request();
}

void StripWindow::markOpenedSeen(const watch::MailboxWatcher::SeenMark& mark)
{
    bool done = false;
    if (!m_boxOpen) {
        try {
            done = m_watcher->markSeen(mark);
        } catch (const net::NetError& e) {
            indicatorOff();
            throw net::NetError(
                QStringLiteral("Meldingen ble åpnet, men kunne ikke merkes som lest på serveren: %1").arg(e.text()));
        }
    }
    if (!done) {
        QTimer::singleShot(kRetryWhileBusyMs, this, [this, mark] { runHandler([&] { markOpenedSeen(mark); }); });
        return;
    }
    indicatorOff();
}

bool StripWindow::checkForPush()
{
    try {
        checkMailbox();
    } catch (const net::NetError& e) {
        // Push's own attempts promise only the red indicator; so does a
        // check push asked for. The pacer tries again after a back-off.
        m_pushCheckFailure = e.text();
        indicatorOff();
        return false;
    }
    return true;
}

void StripWindow::onSettingsChosen()
{
    // After a termination signal no new dialog opens, so the program can end.
    if (!openSettingsDialog || rt::terminationRequested())
        return;
    const settings::MailboxSettings before = m_watcher->settings();
    const quint64 keyringChangesBefore = keyring::keyringChanges(keyring::AccountKind::Mailbox);
    openSettingsDialog();
    m_keyringPassword->allowAsking();
    // After the settings every question about a server may be put again.
    net::forgetServerRefusals();
    readSettings();
    // A new server or log-in is checked at once, so the user sees the list
    // without asking for it; from the event loop, after this handler (a
    // check that the show sequence runs meanwhile makes it unneeded).
    const settings::MailboxSettings& now = m_watcher->settings();
    if (!now.host.isEmpty()
        && (!settings::sameAccount(before, now)
            || keyring::keyringChanges(keyring::AccountKind::Mailbox) != keyringChangesBefore)) {
        m_checkDue = true;
        QTimer::singleShot(0, this, [this] {
            if (m_checkDue)
                runHandler([this] { checkMailbox(); });
        });
    }
}

void StripWindow::onHideChosen()
{
    hide();
}

void StripWindow::onAboutChosen()
{
    if (openAboutDialog)
        openAboutDialog();
}

void StripWindow::onShowListToggled()
{
    setListVisible(!messageList->isVisibleTo(this));
}

void StripWindow::onMainMenuAboutToShow()
{
    showListAction->setChecked(messageList->isVisibleTo(this));
}

void StripWindow::onCloseListClicked()
{
    setListVisible(false);
}

void StripWindow::onNewMailChosen()
{
    if (openComposer)
        openComposer();
}

void StripWindow::onIndicatorTick()
{
    const int left = indicatorShape->x() > 401 ? kIndicatorStart : indicatorShape->x() + 3;
    indicatorShape->move(left, indicatorShape->y());
    updateShape();
    indicatorShape->repaint();
}

} // namespace app
