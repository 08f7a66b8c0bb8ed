#include "forms.h"

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
#include "windowplace.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

namespace app {

TBrevglimtForm* BrevglimtForm = nullptr;
TAboutBox* AboutBox = nullptr;

void createForms()
{
    BrevglimtForm = new TBrevglimtForm;
    // The settings dialog is made afresh at each opening, so it always
    // shows what is stored.
    BrevglimtForm->settingsDialog = [] { setup::showSetupDialog(BrevglimtForm); };
    // Every window belongs to the strip (or to the window that opens it),
    // so the window manager keeps it above the always-on-top strip.
    AboutBox = new TAboutBox(BrevglimtForm);
    ipsjekk::IPTestForm = new ipsjekk::TIPTestForm(BrevglimtForm);
    ipsjekk::IPTestForm->setOwner(BrevglimtForm);
    mailout::SendSMTPForm = new mailout::TSendSMTPForm(BrevglimtForm);
    mailout::SendSMTPForm->setOwner(BrevglimtForm);
    BrevglimtForm->composer = [] { mailout::SendSMTPForm->showComposer(); };
    servers::FTPform = new servers::TFTPform(BrevglimtForm);
    servers::InputForm = new servers::TInputForm(BrevglimtForm);
    servers::InputForm->owner = BrevglimtForm;
    servers::ServerOppsettForm = new servers::TServerOppsettForm(BrevglimtForm);
    servers::ServerOppsettForm->owner = BrevglimtForm;

    BrevglimtForm->aboutBox = [] {
        gui::placeOver(AboutBox, BrevglimtForm);
        AboutBox->exec();
    };
    QObject::connect(BrevglimtForm, &TBrevglimtForm::closed, qApp, &QCoreApplication::quit);
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

void destroyForms()
{
    delete servers::ServerOppsettForm;
    servers::ServerOppsettForm = nullptr;
    delete servers::InputForm;
    servers::InputForm = nullptr;
    delete servers::FTPform;
    servers::FTPform = nullptr;
    delete mailout::SendSMTPForm;
    delete ipsjekk::IPTestForm;
    delete AboutBox;
    AboutBox = nullptr;
    delete BrevglimtForm;
    BrevglimtForm = nullptr;
}

} // namespace app
