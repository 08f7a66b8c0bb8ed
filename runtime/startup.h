// The runtime's start-up and shutdown order: switches, the main settings
// file, the folders, the log and the clean-up.
#pragma once

#include <QStringList>

namespace rt {

// Finds and opens the main settings file and stamps its audit header.
void locateSettingsFile();
void startSettings(const QStringList& args);
void endSettings();
// The whole runtime: the log, then the settings and folders; shutdown in
// reverse order.
void runtimeStart(const QStringList& args);
void runtimeStop();

// Written into the main settings file's audit header.
inline constexpr const char* kSettingsFileVersion = "5.36";

} // namespace rt
