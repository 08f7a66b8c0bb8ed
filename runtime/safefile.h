// Writing the program's own files without following a planted link: the
// log, the settings files and the retrieved message. Each refuses a path
// that exists as anything but a regular file (a symbolic link, a folder, a
// pipe) and never writes through it.
#pragma once

#include <QByteArray>
#include <QString>

namespace rt {

enum class PathKind { Missing, Regular, SymLink, Other };

// What the path itself is, without following a link in its last part.
PathKind pathKind(const QString& path);

// Why a file handed to the program by others (a settings file in the start
// folder) cannot be trusted: it is a link or no regular file, it is not
// owned by this user, or it or its folder can be written by others (a
// folder owned by another user than this one or root counts as such).
// Empty when the file can be trusted or does not exist.
QString trustProblem(const QString& path);

// The outcome of a write: code 0 on success, else an errno value and a
// Norwegian reason fit for a log line or a message box.
struct FileWriteResult {
    int code = 0;
    QString reason;
    bool ok() const { return code == 0; }
};

enum class FileMode {
    OwnerOnly,    // always readable and writable by the owner alone (0600)
    KeepExisting, // an existing file keeps its permission bits; a new one gets 0600
};

// Replaces the file's content at once: the bytes go to a new file in the
// same folder, which is synced and renamed over the target, so readers see
// the old or the new content, never a mix, and a link is never followed.
FileWriteResult writeFileAtomically(const QString& path, const QByteArray& bytes,
                                    FileMode mode = FileMode::OwnerOnly);

// Appends to the file, creating it (0600) when missing.
FileWriteResult appendToFile(const QString& path, const QByteArray& bytes);

// For callers that report an error text: empty on success, else
// "<reason>". The retrieved message is written this way.
QString saveFileSafely(const QString& path, const QByteArray& bytes);

} // namespace rt
