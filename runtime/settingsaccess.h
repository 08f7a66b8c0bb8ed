// The current settings file and section: reading and writing values, and
// switching between the main and the per-user file.
#pragma once

#include "inifile.h"

#include <QString>

namespace rt {

// The current settings file, read on first use.
IniFileObj& IniFile();
void iniselect(const QString& section);
void inistandard();
QString inireadstring(const QString& key);
bool inireadbool(const QString& key);
qint32 inireadint(const QString& key);
void iniwritestring(const QString& key, const QString& value);
void iniwritebool(const QString& key, bool value);
void iniwriteint(const QString& key, qint32 value);
// Saves the current file and switches to the per-user or the main file.
void useuserini();
void usemainini();
// Writes IniFile to disk; on failure keeps the settings in memory for the
// next attempt and logs it once per file and run ("ADVARSEL: " for a
// read-only file, "FEIL: " otherwise). True when written.
bool flushIniFile();

} // namespace rt
