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
    // Log (textfil)
    QStringList LogLines;
    // How many of LogLines the log file already holds; the rest is
    // appended when the run ends.
    qsizetype LogLinesOnDisk = 0;
    QString LogFile;
    QString LogFolder;
    bool LogToFile = false;
    bool LogWriteThrough = false;
    QString LastLogLine;
    qint32 ErrorCount = 0;
    qint32 WarningCount = 0;
    qint32 HintCount = 0;

    // Settings access and start-up (zt_reg)
    std::unique_ptr<IniFileObj> IniFile;
    QString IniFileName = QStringLiteral("tavlund.ini");
    QString EtcFolder = QStringLiteral("../etc/");
    QString IniSection = QStringLiteral("STANDARD");
    QString OptionUser;
    QString UserNameCache;
    QString OptionIp;
    QString OptionCaption;
    bool OptionInstall = false;
    bool VerboseLogging = false;

    // Settings files whose last save failed, kept so that switching between
    // the main and the per-user file never drops what could not be written.
    std::map<QString, std::unique_ptr<IniFileObj>> UnsavedIni;

    // Settings files whose failed save has been logged this run: a file that
    // cannot be written is reported once, not at every flush.
    std::set<QString> IniSaveReported;
    // Warnings found before the settings decide whether to log; written
    // once they have.
    QStringList PendingWarnings;

    // Top folder of the clean-up in progress.
    QString CleanTop;

    // Questions about a server (trust a certificate, log in without
    // encryption) the user answered no this run, by key: not put again.
    std::set<QString> RefusedServerQuestions;
};

RuntimeState& state();
// Back to the state at load; tests call it between cases.
void resetState();

} // namespace rt
