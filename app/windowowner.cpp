#include "windowowner.h"

#include "aboutdialog.h"
#include "composerwindow.h"
#include "connectiontestwindow.h"
#include "ftptransferwindow.h"
#include "inputdialog.h"
#include "mailpasswords.h"
#include "offthread.h"
#include "serverprofiledialog.h"
#include "settingsdialog.h"
#include "stripwindow.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

namespace app {

WindowOwner::WindowOwner()
    : m_strip(std::make_unique<StripWindow>())
{
    StripWindow* const strip = m_strip.get();
    m_aboutDialog = std::make_unique<AboutDialog>(strip);
    m_aboutDialog->setOwner(strip);
    m_connectionTestWindow = std::make_unique<connectiontest::ConnectionTestWindow>(strip);
    m_connectionTestWindow->setOwner(strip);
    m_composerWindow = std::make_unique<composer::ComposerWindow>(strip);
    m_composerWindow->setOwner(strip);
    m_ftpTransferWindow = std::make_unique<servers::FtpTransferWindow>(strip);
    m_inputDialog = std::make_unique<servers::InputDialog>(strip);
    m_inputDialog->setOwner(strip);
    m_serverProfileDialog = std::make_unique<servers::ServerProfileDialog>(strip);
    m_serverProfileDialog->setOwner(strip);
    m_ftpTransferWindow->setProfileDialog(*m_serverProfileDialog);

    strip->openSettingsDialog = [this] { openSettingsDialog(); };
    strip->openComposer = [this] { m_composerWindow->showComposer(); };
    strip->openAboutDialog = [this] { m_aboutDialog->exec(); };
    QObject::connect(strip, &StripWindow::closed, qApp, &QCoreApplication::quit);
}

WindowOwner::~WindowOwner() = default;

void WindowOwner::openSettingsDialog()
{
    settingsdialog::showSettingsDialog(m_strip.get(), *m_connectionTestWindow);
}

namespace {

constexpr int kMoveOverRetryMs = 50;

// The move of the file's passwords into the keyring, from the event loop,
// once no exchange with a server is being waited for: so a question of the
// keyring's never holds back the start-up check's result, nor a dialog's
// save. A dialog or box that stands meanwhile does not stop it.
void moveOverWhenFree(QObject* context)
{
    if (rt::offThreadStepRunning()) {
        // The timer only queues the next try: the move spins event loops of
        // its own.
        QTimer::singleShot(kMoveOverRetryMs, context, [context] {
            QMetaObject::invokeMethod(context, [context] { moveOverWhenFree(context); }, Qt::QueuedConnection);
        });
        return;
    }
    keyring::moveOverPasswords();
}

} // namespace

void showAtStart(StripWindow& strip)
{
    // Whether there is a keyring at all is asked at once (that asks the user
    // nothing); the move itself is queued first, so that it also runs while
    // a dialog the show sequence opens (the settings at a first start) or a
    // box stands.
    if (keyring::keyringThere())
        QMetaObject::invokeMethod(&strip, [&strip] { moveOverWhenFree(&strip); }, Qt::QueuedConnection);
    // An error in the first check is shown like any other; the program goes on.
    strip.showStrip();
}

} // namespace app
