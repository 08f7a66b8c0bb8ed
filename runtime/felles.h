// Small file helpers and the scrambling of stored passwords.
#pragma once

#include <QString>
#include <functional>

namespace rt {

// Size in bytes of a file opened for reading and writing; -1 when the file
// is missing, cannot be opened so, or is marked read-only.
qint64 FileSizeOf(const QString& fileName);
// Replaces everything after the first "." of the whole text by extension
// (given without the dot), or appends "." + extension when there is none.
QString ChangeExtension(const QString& fileName, const QString& extension);
// Opens a document with the desktop's default program, busy cursor
// meanwhile; done is called later with whether the opener succeeded.
void ShellOpen(const QString& file, const QString& parameters, const QString& folder,
               const std::function<void(bool opened)>& done = {});

// "z", each character shifted up by its 1-based position, "2".
QString ScrambleText(const QString& plain);
// Drops the first and last character and shifts each one back.
QString UnscrambleText(const QString& stored);

} // namespace rt
