// Line-oriented text-file operations.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdio>

namespace rt {

// A text file opened by the operations below; the caller owns it.
struct TextFileHandle {
    QString name;
    std::FILE* file = nullptr;
};

// Each returns 0 or the platform's error number, and on failure adds 1 to
// errorCount; openAppend, createNew and closeText also show a message box.
int openAppend(TextFileHandle& handle, const QString& fileName);
int createNew(TextFileHandle& handle, const QString& fileName);
int writeTextLine(TextFileHandle& handle, const QString& line);
int closeText(TextFileHandle& handle);
// Opens (or creates) the file, writes the line, closes it: every step runs.
int appendLine(const QString& fileName, const QString& line);

// These never open a symbolic link or anything but a regular file: such a
// name fails with ELOOP or EINVAL.

// Reads a text file as lines (UTF-8, or Windows-1252 for older files).
QStringList readTextLines(const QString& fileName, bool* ok = nullptr);
// Writes lines with CR LF ends through a temporary file renamed over the
// old one, refusing a link or odd file in its place. Returns an error text,
// empty on success.
QString saveTextLines(const QString& fileName, const QStringList& lines);

// The lines from index from on, as they are written to a text file:
// encoded, each ended by CR LF.
QByteArray textFileBytes(const QStringList& lines, qsizetype from = 0);

} // namespace rt
