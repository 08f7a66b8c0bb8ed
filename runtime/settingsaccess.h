// The current settings file and section: reading and writing values, and
// switching between the main and the per-user file.
#pragma once

#include "inifile.h"

#include <QString>

namespace rt {

// The current settings file, read on first use.
IniFile& settingsFile();
void selectSection(const QString& section);
void selectStandardSection();
QString readSetting(const QString& key);
bool readBoolSetting(const QString& key);
qint32 readIntSetting(const QString& key);
void writeSetting(const QString& key, const QString& value);
void writeBoolSetting(const QString& key, bool value);
void writeIntSetting(const QString& key, qint32 value);
// Saves the current file and switches to the per-user or the main file.
void useUserSettingsFile();
void useMainSettingsFile();
// Writes settingsFile to disk; on failure keeps the settings in memory for the
// next attempt and logs it once per file and run ("ADVARSEL: " for a
// read-only file, "FEIL: " otherwise). True when written.
bool flushSettingsFile();

} // namespace rt
