// Settings access, user name, folders, machine facts, clean-up, and the
// runtime's start-up and shutdown order.
#pragma once

#include "inifile.h"

#include <QString>
#include <QStringList>

namespace rt {

// ---- Settings access ----
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

// ---- User name ----
QString username();
QString registryuser();
// The per-user settings file: EtcFolder + the user name + ".INI", with path
// separators, NUL and leading dots in the name replaced by "_" so the file
// always lies in the settings folder.
QString userIniFile();

// ---- Folders ----
// The application-data root "<root>/Tavlund/".
QString approot();
QString tavlundpath(const QString& name);
void setfolder(const QString& name, const QString& path);
// Makes one folder level; logs "Oppretter mappen …", or a FEIL line when it
// cannot be made. A folder already there is left as it is, silently.
void mkdirsafe(const QString& path);
QString binpath();
QString logpath();
void installfolders();

// ---- Switches and machine facts ----
void applySwitches(const QStringList& args);
QString computername();
QString domainname();
QString ipaddress();
QString spooldir();
QString tempdir();
void loglogin();

// ---- Clean-up of temporary files ----
void deletetempfiles(bool system);
// Why a folder may not be cleaned: its path is a symbolic link, or its real
// path (no "..", links resolved) lies neither below the Tavlund folder nor
// in the system's temporary folder. Empty when it may.
QString cleanupRefusal(const QString& path);
// Empties the folder when cleanupRefusal allows it; otherwise logs one
// "ADVARSEL: " line naming it and deletes nothing.
void cleanfolder(QString path);
void deletetree(const QString& folder);

// ---- Start-up and shutdown ----
// Finds and opens the main settings file and stamps its audit header.
void locateIniFile();
void ztregStart(const QStringList& args);
void ztregEnd();
// The whole runtime: textfil, then zt_reg; shutdown in reverse order.
void runtimeStart(const QStringList& args);
void runtimeStop();

inline constexpr const char* kIniVersion = "5.36";

} // namespace rt
