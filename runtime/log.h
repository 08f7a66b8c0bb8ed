// The program's log: lines kept in memory and appended to the log file.
#pragma once

#include <QString>

namespace rt {

// Appends one time-stamped line to the log. -1 when logToFile is off,
// otherwise 0 (or appendLine's result while logWriteThrough is on).
qint32 writeLog(const QString& text);
// Empties the log in memory and on disk, leaving one line that says so.
void clearLog();
// A log file past this size at start is moved aside.
inline constexpr qint64 kLogSizeLimit = 4 * 1024 * 1024;
// Keeps the log bounded: when the file has grown past the limit it becomes
// "<log>.old" (replacing an older one) and the new log starts with a line
// saying so. A log name that is a link or no regular file is reported with
// an "ADVARSEL: " line; nothing is written through it.
void boundLogFile(qint64 limit = kLogSizeLimit);
// Computes logFolder and logFile from the application-data root and the
// program file's name; returns logFile.
QString logFileName();

// Start and end of the log's life in the process. The end appends the
// lines of this run to the log file (the file is never read whole).
void startLog();
void endLog();

} // namespace rt
