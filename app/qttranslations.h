// Qt's own texts (standard buttons, file dialog, edit menus) in Norwegian:
// the program's Bokmål translation first, Qt's Nynorsk file for the rest.
#pragma once

#include <QList>

class QTranslator;

namespace app {

// Loads both and installs them in the application; returns those that
// loaded (owned by the application object).
QList<QTranslator*> installQtTranslations();

} // namespace app
