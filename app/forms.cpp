#include "forms.h"

#include "SendSMTP.h"
#include "Setup.h"
#include "ftpunit.h"
#include "input.h"
#include "ipsjekk.h"
#include "mailpasswords.h"
#include "om.h"
#include "serveroppsett.h"
#include "visning.h"
#include "windowplace.h"

#include <QCoreApplication>
#include <QMetaObject>

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

void showAtStart(TBrevglimtForm& strip)
{
    // An error in the first check is shown like any other; the program goes on.
    strip.showForm();
    // Queued, not timed: nothing else waits on it, and it never runs inside
    // the first check's wait.
    QMetaObject::invokeMethod(&strip, [] { keyring::moveOverPasswords(); }, Qt::QueuedConnection);
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
