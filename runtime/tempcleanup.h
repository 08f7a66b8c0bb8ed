// Clean-up of temporary files at start-up, kept to the program's own
// folders and the system's temporary folder.
#pragma once

#include <QString>

namespace rt {

// Empties the program's tmp folder and, with system, the system's
// temporary folders and the print spool.
void deleteTempFiles(bool system);
// Why a folder may not be cleaned: its path is a symbolic link, or its real
// path (no "..", links resolved) lies neither below the Tavlund folder nor
// in the system's temporary folder. Empty when it may.
QString cleanupRefusal(const QString& path);
// Empties the folder when cleanupRefusal allows it; otherwise logs one
// "ADVARSEL: " line naming it and deletes nothing.
void cleanFolder(QString path);
// Deletes what lies in folder, and the folder itself unless it is the one
// being cleaned.
void deleteTree(const QString& folder);

} // namespace rt
