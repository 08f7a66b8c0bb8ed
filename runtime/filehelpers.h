// Small helpers for file sizes and names.
#pragma once

#include <QString>

namespace rt {

// Size in bytes of a file opened for reading and writing; -1 when the file
// is missing, cannot be opened so, or is marked read-only.
qint64 fileSizeOf(const QString& fileName);
// Replaces everything after the first "." of the whole text by extension
// (given without the dot), or appends "." + extension when there is none.
QString changeExtension(const QString& fileName, const QString& extension);

} // namespace rt
