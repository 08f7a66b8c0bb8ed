// The program's log and the line-oriented text-file operations.
#pragma once

#include <QString>
#include <cstdio>

namespace rt {

// Appends one time-stamped line to the log. -1 when LogToFile is off,
// otherwise 0 (or AppendLine's result while LogWriteThrough is on).
qint32 WriteLog(const QString& text);
// Empties the log in memory and on disk, leaving one line that says so.
void ClearLog();
// A log file past this size at start is moved aside.
inline constexpr qint64 kLogSizeLimit = 4 * 1024 * 1024;
// Keeps the log bounded: when the file has grown past the limit it becomes
// "<log>.old" (replacing an older one) and the new log starts with a line
// saying so. A log name that is a link or no regular file is reported with
// an "ADVARSEL: " line; nothing is written through it.
void boundLogFile(qint64 limit = kLogSizeLimit);
// Computes LogFolder and LogFile from the application-data root and the
// program file's name; returns LogFile.
QString LogFileName();

// A text file opened by the operations below; the caller owns it.
struct TextFileHandle {
    QString name;
    std::FILE* file = nullptr;
};

// Each returns 0 or the platform's error number, and on failure adds 1 to
// ErrorCount; OpenAppend, CreateNew and CloseText also show a message box.
int OpenAppend(TextFileHandle& handle, const QString& fileName);
int CreateNew(TextFileHandle& handle, const QString& fileName);
int WriteTextLine(TextFileHandle& handle, const QString& line);
int CloseText(TextFileHandle& handle);
// Opens (or creates) the file, writes the line, closes it: every step runs.
int AppendLine(const QString& fileName, const QString& line);

// These never open a symbolic link or anything but a regular file: such a
// name fails with ELOOP or EINVAL.

// Reads a text file as lines (UTF-8, or Windows-1252 for older files).
QStringList readTextLines(const QString& fileName, bool* ok = nullptr);
// Writes lines with CR LF ends through a temporary file renamed over the
// old one, refusing a link or odd file in its place. Returns an error text,
// empty on success.
QString saveTextLines(const QString& fileName, const QStringList& lines);

// Start and end of the log's life in the process. The end appends the
// lines of this run to the log file (the file is never read whole).
void textfilStart();
void textfilEnd();

} // namespace rt
