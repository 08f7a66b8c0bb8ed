// Who runs the program, and the settings file that belongs to them.
#pragma once

#include <QString>

namespace rt {

// The user name in capitals: the --user switch, else the login name, else
// "BRUKER".
QString userName();
QString loginUserName();
// The per-user settings file: etcFolder + the user name + ".INI", with path
// separators, NUL and leading dots in the name replaced by "_" so the file
// always lies in the settings folder.
QString userSettingsFile();

} // namespace rt
