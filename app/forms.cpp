#include "forms.h"

#include "om.h"
#include "visning.h"

#include <QCoreApplication>

namespace app {

TBrevglimtForm* BrevglimtForm = nullptr;
TAboutBox* AboutBox = nullptr;

void createForms()
{
    BrevglimtForm = new TBrevglimtForm;
    AboutBox = new TAboutBox;

    BrevglimtForm->aboutBox = [] {
        centreOver(AboutBox, BrevglimtForm);
        AboutBox->exec();
    };
    QObject::connect(BrevglimtForm, &TBrevglimtForm::closed, qApp, &QCoreApplication::quit);
}

void destroyForms()
{
    delete AboutBox;
    AboutBox = nullptr;
    delete BrevglimtForm;
    BrevglimtForm = nullptr;
}

} // namespace app
