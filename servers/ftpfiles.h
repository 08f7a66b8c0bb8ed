// The local side of an FTP transfer: the parts of a path, opening the file
// to send, and putting a downloaded file in place of the old one. No windows
// here.
#pragma once

#include "ftpsettings.h"

#include <QString>
#include <optional>

class QFile;

namespace servers {

// The file name part of a path: what follows its last "/".
QString filePart(const QString& path);
// The folder part of a path: everything up to and including its last "/".
QString folderPart(const QString& path);
// Where a download keeps the file it replaces: the whole path + ".old", so
// files that differ only in their extension keep backups of their own.
QString backupPath(const QString& path);

// Opens the file to be sent for reading; the reason when that cannot be done
// (missing, not a regular file, unreadable).
std::optional<QString> openForUpload(QFile& file);

// Gives the open temporary file the permission bits of the file at target,
// so a download does not change who may read or write it. Without a
// regular file at target the temporary file keeps its own. Throws
// net::NetError when the bits cannot be set.
void keepPermissions(const QString& target, QFile& temporary);

// Renames temporary over target, keeping the file it replaces as backup
// (deleting an older backup first), and logs each step. When the new file
// cannot be put in place, the old one goes back to target, an error line
// names the temporary file that still holds the new one, and the result is
// FtpResult::NotPutInPlace.
FtpResult putInPlace(const QString& target, const QString& temporary, const QString& backup);

} // namespace servers
