// The runtime's process-wide state, in one place: the log and its counters,
// the settings object and its current section, the switches and flags.
#pragma once

#include "inifile.h"

#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <set>

namespace rt {

struct RuntimeState {
    // The log
    QStringList logLines;
    // How many of logLines the log file already holds; the rest is
    // appended when the run ends.
    qsizetype logLinesOnDisk = 0;
    QString logFile;
    QString logFolder;
    bool logToFile = false;
    bool logWriteThrough = false;
    QString lastLogLine;
    qint32 errorCount = 0;
    qint32 warningCount = 0;
    qint32 hintCount = 0;

    // Settings access and start-up
    std::unique_ptr<IniFile> settingsFile;
    QString settingsFileName = QStringLiteral("tavlund.ini");
    QString etcFolder = QStringLiteral("../etc/");
    QString settingsSection = QStringLiteral("STANDARD");
    QString optionUser;
    QString userNameCache;
    QString optionIp;
    QString optionCaption;
    bool optionInstall = false;
    bool verboseLogging = false;

    // Settings files whose last save failed, kept so that switching between
    // the main and the per-user file never drops what could not be written.
    std::map<QString, std::unique_ptr<IniFile>> unsavedSettingsFiles;

    // Settings files whose failed save has been logged this run: a file that
    // cannot be written is reported once, not at every flush.
    std::set<QString> settingsSaveReported;
    // Warnings found before the settings decide whether to log; written
    // once they have.
    QStringList pendingWarnings;

    // Top folder of the clean-up in progress.
    QString cleanTop;

    // Questions about a server (trust a certificate, log in without
    // encryption) the user answered no this run, by key: not put again.
    std::set<QString> refusedServerQuestions;
};

RuntimeState& state();
// Back to the state at load; tests call it between cases.
void resetState();

} // namespace rt
