// The program's folders under the application-data root, and where each
// one is recorded in the settings.
#pragma once

#include <QString>

namespace rt {

// The application-data root "<root>/Tavlund/".
QString dataRoot();
// The folder recorded for name in the [FOLDERS] section (default: below the
// root), made when missing and below the root; ends in "/".
QString namedFolder(const QString& name);
void setNamedFolder(const QString& name, const QString& path);
// Makes one folder level; logs "Oppretter mappen …", or a FEIL line when it
// cannot be made. A folder already there is left as it is, silently.
void makeFolder(const QString& path);
QString programFolder();
QString logFolderPath();
void installFolders();

// The path with one "/" at its end.
QString withSlash(QString path);
// True when the path names an existing folder (an empty path never does).
bool folderExists(const QString& path);

} // namespace rt
