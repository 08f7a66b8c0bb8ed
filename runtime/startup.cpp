#include "startup.h"

#include "folders.h"
#include "log.h"
#include "machinefacts.h"
#include "platform.h"
#include "safefile.h"
#include "settingsaccess.h"
#include "state.h"
#include "tempcleanup.h"
#include "username.h"

#include <QDir>
#include <QFileInfo>

#include <utility>

namespace rt {

namespace {

void writeAuditGroup(const QString& prefix)
{
    RuntimeState& s = state();
    writeSetting(prefix + QStringLiteral("_TIME"), platform().nowText());
    writeSetting(prefix + QStringLiteral("_NAME"), s.settingsFileName);
    writeSetting(prefix + QStringLiteral("_PROGRAM"), platform().programFile());
    writeSetting(prefix + QStringLiteral("_USER"), userName());
    writeSetting(prefix + QStringLiteral("_INIVERSION"), QLatin1String(kSettingsFileVersion));
}

} // namespace

void locateSettingsFile()
{
    RuntimeState& s = state();
    const QString iniName = QStringLiteral("tavlund.ini");
    // A tavlund.ini in the folder the program starts from overrides the one
    // under etc/, but only when no one else could have put it there or
    // changed it: it also decides where the per-user file lies.
    const QString local = QDir::currentPath() + QLatin1Char('/') + iniName;
    const QString problem = trustProblem(local);
    if (pathKind(local) != PathKind::Missing) {
        if (problem.isEmpty()) {
            s.etcFolder = withSlash(QDir::currentPath());
        } else {
            s.etcFolder = dataRoot() + QStringLiteral("etc/");
            s.pendingWarnings.append(QStringLiteral("ADVARSEL: bruker ikke %1 (%2), men %3")
                                         .arg(local, problem, s.etcFolder + iniName));
        }
    } else {
        s.etcFolder = dataRoot() + QStringLiteral("etc/");
    }
    if (!folderExists(s.etcFolder)) {
        s.etcFolder = dataRoot() + QStringLiteral("etc/");
        QDir().mkpath(s.etcFolder);
    }
    s.settingsFileName = QFileInfo(s.etcFolder + iniName).absoluteFilePath();
    s.etcFolder = withSlash(QFileInfo(s.settingsFileName).absolutePath());
    const bool existed = QFileInfo::exists(s.settingsFileName);
    // A fresh settings object for the file just found; one held before is
    // dropped unsaved.
    s.settingsFile.reset();
    settingsFile();
    selectSection(QStringLiteral("INI_SELF"));
    if (!existed)
        writeAuditGroup(QStringLiteral("CREATED"));
    writeAuditGroup(QStringLiteral("MODIFIED"));
    selectStandardSection();
    setNamedFolder(QStringLiteral("etc"), s.etcFolder);
}

void startSettings(const QStringList& args)
{
    RuntimeState& s = state();
    applySwitches(args);
    locateSettingsFile();
    if (!folderExists(dataRoot() + QStringLiteral("data")) || s.optionInstall)
        installFolders();
    s.logToFile = readBoolSetting(QStringLiteral("LogToFile"));
    for (const QString& warning : std::exchange(s.pendingWarnings, {}))
        writeLog(warning);
    if (readBoolSetting(QStringLiteral("ClearLogFileOnStartup")))
        clearLog();
    boundLogFile();
    // Decided before the clean-up, so that its detailed lines are written.
    if (!s.verboseLogging)
        s.verboseLogging = readBoolSetting(QStringLiteral("VerboseLogging")) && s.logToFile;
    if (readBoolSetting(QStringLiteral("DeleteTemporaryFiles")))
        deleteTempFiles(readBoolSetting(QStringLiteral("DeleteSystemTemporaryFiles")));
    s.logFolder = logFolderPath();
    if (s.logToFile) {
        writeLog(QStringLiteral("START: ") + platform().programFile());
        writeLog(QStringLiteral("INIFIL: ") + s.settingsFileName);
        writeLog(QStringLiteral("BRUKER: ") + userName());
        if (s.verboseLogging)
            logLogin();
    }
}

void endSettings()
{
    RuntimeState& s = state();
    const bool readOnly = platform().isMarkedReadOnly(s.settingsFileName);
    if (s.settingsFile) {
        if (!readOnly && !flushSettingsFile())
            writeLog(QStringLiteral("INI-CRASH i ZT_REG.PAS: ") + s.settingsFileName);
        s.settingsFile.reset();
    }
    // A file that could not be written earlier gets one last try.
    for (auto& [name, ini] : s.unsavedSettingsFiles) {
        if (!platform().isMarkedReadOnly(name) && !ini->updateFile())
            writeLog(QStringLiteral("INI-CRASH i ZT_REG.PAS: ") + name);
    }
    s.unsavedSettingsFiles.clear();
    if (s.verboseLogging) {
        if (readOnly)
            writeLog(QStringLiteral("ADVARSEL: %1 er skrivebeskyttet og vil ikke bli lagret.").arg(s.settingsFileName));
        else
            writeLog(QStringLiteral("Oppdaterer ") + s.settingsFileName);
        writeLog(QStringLiteral("AVSLUTTER PROGRAM. %1 feilmeldinger og %2 advarsler").arg(s.errorCount).arg(s.warningCount));
        if (s.hintCount > 0)
            writeLog(QStringLiteral("Det ble gitt %1 hint i programmet").arg(s.hintCount));
    }
    s.settingsFileName.clear();
    s.etcFolder.clear();
    s.optionIp.clear();
    s.optionCaption.clear();
    s.optionUser.clear();
    s.userNameCache.clear();
}

void runtimeStart(const QStringList& args)
{
    startLog();
    startSettings(args);
}

void runtimeStop()
{
    endSettings();
    endLog();
}

} // namespace rt
