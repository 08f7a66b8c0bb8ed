#include "forms.h"

#include "SendSMTP.h"
#include "Setup.h"
#include "ftpunit.h"
#include "input.h"
#include "ipsjekk.h"
#include "om.h"
#include "serveroppsett.h"
#include "visning.h"

#include <QCoreApplication>

namespace app {

TBrevglimtForm* BrevglimtForm = nullptr;
TAboutBox* AboutBox = nullptr;

void createForms()
{
    BrevglimtForm = new TBrevglimtForm;
    // The settings dialog is made afresh at each opening, so it always
    // shows what is stored.
    BrevglimtForm->settingsDialog = [] { setup::showSetupDialog(BrevglimtForm); };
    AboutBox = new TAboutBox;
    ipsjekk::IPTestForm = new ipsjekk::TIPTestForm;
    ipsjekk::IPTestForm->setOwner(BrevglimtForm);
    // Parented to the strip so it stays above the always-on-top window.
    mailout::SendSMTPForm = new mailout::TSendSMTPForm(BrevglimtForm);
    mailout::SendSMTPForm->setOwner(BrevglimtForm);
    BrevglimtForm->composer = [] { mailout::SendSMTPForm->showComposer(); };
    servers::FTPform = new servers::TFTPform;
    servers::InputForm = new servers::TInputForm;
    servers::InputForm->owner = BrevglimtForm;
    servers::ServerOppsettForm = new servers::TServerOppsettForm;
    servers::ServerOppsettForm->owner = BrevglimtForm;

    BrevglimtForm->aboutBox = [] {
        centreOver(AboutBox, BrevglimtForm);
        AboutBox->exec();
    };
    QObject::connect(BrevglimtForm, &TBrevglimtForm::closed, qApp, &QCoreApplication::quit);
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
