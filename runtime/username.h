// Who runs the program, and the settings file that belongs to them.
#pragma once

#include <QString>

namespace rt {

// The user name in capitals: the --user switch, else the login name, else
// "BRUKER".
QString username();
QString registryuser();
// The per-user settings file: EtcFolder + the user name + ".INI", with path
// separators, NUL and leading dots in the name replaced by "_" so the file
// always lies in the settings folder.
QString userIniFile();

} // namespace rt
