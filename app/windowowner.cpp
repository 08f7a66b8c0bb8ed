#include "windowowner.h"

#include "SendSMTP.h"
#include "Setup.h"
#include "ftpunit.h"
#include "input.h"
#include "ipsjekk.h"
#include "mailpasswords.h"
#include "offthread.h"
#include "om.h"
#include "serveroppsett.h"
#include "visning.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

namespace app {

WindowOwner::WindowOwner()
    : m_strip(std::make_unique<TBrevglimtForm>())
{
    TBrevglimtForm* const strip = m_strip.get();
    m_aboutBox = std::make_unique<TAboutBox>(strip);
    m_aboutBox->setOwner(strip);
    m_connectionTest = std::make_unique<ipsjekk::TIPTestForm>(strip);
    m_connectionTest->setOwner(strip);
    m_composer = std::make_unique<mailout::TSendSMTPForm>(strip);
    m_composer->setOwner(strip);
    m_ftpTransfer = std::make_unique<servers::TFTPform>(strip);
    m_input = std::make_unique<servers::TInputForm>(strip);
    m_input->setOwner(strip);
    m_serverProfile = std::make_unique<servers::TServerOppsettForm>(strip);
    m_serverProfile->setOwner(strip);
    m_ftpTransfer->setProfileDialog(*m_serverProfile);

    strip->settingsDialog = [this] { openSettingsDialog(); };
    strip->composer = [this] { m_composer->showComposer(); };
    strip->aboutBox = [this] { m_aboutBox->exec(); };
    QObject::connect(strip, &TBrevglimtForm::closed, qApp, &QCoreApplication::quit);
}

WindowOwner::~WindowOwner() = default;

void WindowOwner::openSettingsDialog()
{
    setup::showSetupDialog(m_strip.get(), *m_connectionTest);
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

void showAtStart(TBrevglimtForm& strip)
{
    // Whether there is a keyring at all is asked at once (that asks the user
    // nothing); the move itself is queued first, so that it also runs while
    // a dialog the show sequence opens (the settings at a first start) or a
    // box stands.
    if (keyring::keyringThere())
        QMetaObject::invokeMethod(&strip, [&strip] { moveOverWhenFree(&strip); }, Qt::QueuedConnection);
    // An error in the first check is shown like any other; the program goes on.
    strip.showForm();
}

} // namespace app
