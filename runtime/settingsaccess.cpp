#include "settingsaccess.h"

#include "log.h"
#include "platform.h"
#include "safefile.h"
#include "state.h"
#include "username.h"

#include <utility>

namespace rt {

namespace {

const QString kStandard = QStringLiteral("STANDARD");

// The settings object for a file: one whose last save failed is taken back
// from memory, so its values are not lost; otherwise the file is read.
std::unique_ptr<IniFileObj> loadIni(const QString& fileName)
{
    auto& unsaved = state().UnsavedIni;
    if (auto it = unsaved.find(fileName); it != unsaved.end()) {
        auto ini = std::move(it->second);
        unsaved.erase(it);
        return ini;
    }
    auto ini = std::make_unique<IniFileObj>(fileName);
    // A file refused for its size is told once per run; its save then
    // fails with the same reason, which is not told again.
    RuntimeState& s = state();
    if (!ini->loadRefusal().isEmpty() && s.IniSaveReported.insert(fileName).second) {
        const QString line = QStringLiteral("FEIL: INIFIL: leser ikke %1 og endrer den ikke: %2")
                                 .arg(fileName, ini->loadRefusal());
        if (WriteLog(line) < 0)
            s.PendingWarnings.append(line);
    }
    return ini;
}

// Saves and lets go of the current settings object.
void releaseIni()
{
    RuntimeState& s = state();
    if (!s.IniFile)
        return;
    if (!flushIniFile()) {
        const QString name = s.IniFile->fileName();
        s.UnsavedIni[name] = std::move(s.IniFile);
    }
    s.IniFile.reset();
}

} // namespace

IniFileObj& IniFile()
{
    RuntimeState& s = state();
    if (!s.IniFile)
        s.IniFile = loadIni(s.IniFileName);
    return *s.IniFile;
}

void iniselect(const QString& section)
{
    state().IniSection = section;
}

void inistandard()
{
    state().IniSection = kStandard;
}

QString inireadstring(const QString& key)
{
    return IniFile().readString(state().IniSection, key);
}

bool inireadbool(const QString& key)
{
    return IniFile().readBool(state().IniSection, key);
}

qint32 inireadint(const QString& key)
{
    return IniFile().readInteger(state().IniSection, key);
}

void iniwritestring(const QString& key, const QString& value)
{
    IniFile().writeString(state().IniSection, key, value);
}

void iniwritebool(const QString& key, bool value)
{
    IniFile().writeBool(state().IniSection, key, value);
}

void iniwriteint(const QString& key, qint32 value)
{
    IniFile().writeInteger(state().IniSection, key, value);
}

bool flushIniFile()
{
    IniFileObj& ini = IniFile();
    auto& reported = state().IniSaveReported;
    if (ini.updateFile()) {
        reported.erase(ini.fileName());
        return true;
    }
    // Once per file and run: a read-only file, or a link or odd file that is
    // refused, gives a warning, any other failure an error. Until logging
    // is on nothing is recorded, so the report waits for the first flush
    // that can log it.
    if (reported.count(ini.fileName()) == 0) {
        const PathKind kind = pathKind(ini.fileName());
        const bool refused = kind == PathKind::SymLink || kind == PathKind::Other
            || platform().isMarkedReadOnly(ini.fileName());
        const QString level = refused ? QStringLiteral("ADVARSEL: ") : QStringLiteral("FEIL: ");
        if (WriteLog(level + QStringLiteral("kan ikke lagre innstillingene i %1 (%2)").arg(ini.fileName(), ini.errorString())) >= 0)
            reported.insert(ini.fileName());
    }
    return false;
}

void useuserini()
{
    const QString file = userIniFile();
    releaseIni();
    state().IniFile = loadIni(file);
}

void usemainini()
{
    releaseIni();
    state().IniFile = loadIni(state().IniFileName);
}

} // namespace rt
