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
    iniwritestring(prefix + QStringLiteral("_TIME"), platform().nowText());
    iniwritestring(prefix + QStringLiteral("_NAME"), s.IniFileName);
    iniwritestring(prefix + QStringLiteral("_PROGRAM"), platform().programFile());
    iniwritestring(prefix + QStringLiteral("_USER"), username());
    iniwritestring(prefix + QStringLiteral("_INIVERSION"), QLatin1String(kIniVersion));
}

} // namespace

void locateIniFile()
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
            s.EtcFolder = withSlash(QDir::currentPath());
        } else {
            s.EtcFolder = approot() + QStringLiteral("etc/");
            s.PendingWarnings.append(QStringLiteral("ADVARSEL: bruker ikke %1 (%2), men %3")
                                         .arg(local, problem, s.EtcFolder + iniName));
        }
    } else {
        s.EtcFolder = approot() + QStringLiteral("etc/");
    }
    if (!folderExists(s.EtcFolder)) {
        s.EtcFolder = approot() + QStringLiteral("etc/");
        QDir().mkpath(s.EtcFolder);
    }
    s.IniFileName = QFileInfo(s.EtcFolder + iniName).absoluteFilePath();
    s.EtcFolder = withSlash(QFileInfo(s.IniFileName).absolutePath());
    const bool existed = QFileInfo::exists(s.IniFileName);
    // A fresh settings object for the file just found; one held before is
    // dropped unsaved.
    s.IniFile.reset();
    IniFile();
    iniselect(QStringLiteral("INI_SELF"));
    if (!existed)
        writeAuditGroup(QStringLiteral("CREATED"));
    writeAuditGroup(QStringLiteral("MODIFIED"));
    inistandard();
    setfolder(QStringLiteral("etc"), s.EtcFolder);
}

void ztregStart(const QStringList& args)
{
    RuntimeState& s = state();
    applySwitches(args);
    locateIniFile();
    if (!folderExists(approot() + QStringLiteral("data")) || s.OptionInstall)
        installfolders();
    s.LogToFile = inireadbool(QStringLiteral("LogToFile"));
    for (const QString& warning : std::exchange(s.PendingWarnings, {}))
        WriteLog(warning);
    if (inireadbool(QStringLiteral("ClearLogFileOnStartup")))
        ClearLog();
    boundLogFile();
    // Decided before the clean-up, so that its detailed lines are written.
    if (!s.VerboseLogging)
        s.VerboseLogging = inireadbool(QStringLiteral("VerboseLogging")) && s.LogToFile;
    if (inireadbool(QStringLiteral("DeleteTemporaryFiles")))
        deletetempfiles(inireadbool(QStringLiteral("DeleteSystemTemporaryFiles")));
    s.LogFolder = logpath();
    if (s.LogToFile) {
        WriteLog(QStringLiteral("START: ") + platform().programFile());
        WriteLog(QStringLiteral("INIFIL: ") + s.IniFileName);
        WriteLog(QStringLiteral("BRUKER: ") + username());
        if (s.VerboseLogging)
            loglogin();
    }
}

void ztregEnd()
{
    RuntimeState& s = state();
    const bool readOnly = platform().isMarkedReadOnly(s.IniFileName);
    if (s.IniFile) {
        if (!readOnly && !flushIniFile())
            WriteLog(QStringLiteral("INI-CRASH i ZT_REG.PAS: ") + s.IniFileName);
        s.IniFile.reset();
    }
    // A file that could not be written earlier gets one last try.
    for (auto& [name, ini] : s.UnsavedIni) {
        if (!platform().isMarkedReadOnly(name) && !ini->updateFile())
            WriteLog(QStringLiteral("INI-CRASH i ZT_REG.PAS: ") + name);
    }
    s.UnsavedIni.clear();
    if (s.VerboseLogging) {
        if (readOnly)
            WriteLog(QStringLiteral("ADVARSEL: %1 er skrivebeskyttet og vil ikke bli lagret.").arg(s.IniFileName));
        else
            WriteLog(QStringLiteral("Oppdaterer ") + s.IniFileName);
        WriteLog(QStringLiteral("AVSLUTTER PROGRAM. %1 feilmeldinger og %2 advarsler").arg(s.ErrorCount).arg(s.WarningCount));
        if (s.HintCount > 0)
            WriteLog(QStringLiteral("Det ble gitt %1 hint i programmet").arg(s.HintCount));
    }
    s.IniFileName.clear();
    s.EtcFolder.clear();
    s.OptionIp.clear();
    s.OptionCaption.clear();
    s.OptionUser.clear();
    s.UserNameCache.clear();
}

void runtimeStart(const QStringList& args)
{
    textfilStart();
    ztregStart(args);
}

void runtimeStop()
{
    ztregEnd();
    textfilEnd();
}

} // namespace rt
