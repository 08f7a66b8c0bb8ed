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
std::unique_ptr<IniFile> loadIni(const QString& fileName)
{
    auto& unsaved = state().unsavedSettingsFiles;
    if (auto it = unsaved.find(fileName); it != unsaved.end()) {
        auto ini = std::move(it->second);
        unsaved.erase(it);
        return ini;
    }
    auto ini = std::make_unique<IniFile>(fileName);
    // A file refused for its size is told once per run; its save then
    // fails with the same reason, which is not told again.
    RuntimeState& s = state();
    if (!ini->loadRefusal().isEmpty() && s.settingsSaveReported.insert(fileName).second) {
        const QString line = QStringLiteral("FEIL: INIFIL: leser ikke %1 og endrer den ikke: %2")
                                 .arg(fileName, ini->loadRefusal());
        if (writeLog(line) < 0)
            s.pendingWarnings.append(line);
    }
    return ini;
}

// Saves and lets go of the current settings object.
void releaseIni()
{
    RuntimeState& s = state();
    if (!s.settingsFile)
        return;
    if (!flushSettingsFile()) {
        const QString name = s.settingsFile->fileName();
        s.unsavedSettingsFiles[name] = std::move(s.settingsFile);
    }
    s.settingsFile.reset();
}

} // namespace

IniFile& settingsFile()
{
    RuntimeState& s = state();
    if (!s.settingsFile)
        s.settingsFile = loadIni(s.settingsFileName);
    return *s.settingsFile;
}

void selectSection(const QString& section)
{
    state().settingsSection = section;
}

void selectStandardSection()
{
    state().settingsSection = kStandard;
}

QString readSetting(const QString& key)
{
    return settingsFile().readString(state().settingsSection, key);
}

bool readBoolSetting(const QString& key)
{
    return settingsFile().readBool(state().settingsSection, key);
}

qint32 readIntSetting(const QString& key)
{
    return settingsFile().readInteger(state().settingsSection, key);
}

void writeSetting(const QString& key, const QString& value)
{
    settingsFile().writeString(state().settingsSection, key, value);
}

void writeBoolSetting(const QString& key, bool value)
{
    settingsFile().writeBool(state().settingsSection, key, value);
}

void writeIntSetting(const QString& key, qint32 value)
{
    settingsFile().writeInteger(state().settingsSection, key, value);
}

bool flushSettingsFile()
{
    IniFile& ini = settingsFile();
    auto& reported = state().settingsSaveReported;
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
        if (writeLog(level + QStringLiteral("kan ikke lagre innstillingene i %1 (%2)").arg(ini.fileName(), ini.errorString())) >= 0)
            reported.insert(ini.fileName());
    }
    return false;
}

void useUserSettingsFile()
{
    const QString file = userSettingsFile();
    releaseIni();
    state().settingsFile = loadIni(file);
}

void useMainSettingsFile()
{
    releaseIni();
    state().settingsFile = loadIni(state().settingsFileName);
}

} // namespace rt
