#include "zt_reg.h"

#include "platform.h"
#include "safefile.h"
#include "state.h"
#include "textfil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <utility>

namespace rt {

namespace {

const QString kStandard = QStringLiteral("STANDARD");
const QString kFolders = QStringLiteral("FOLDERS");

QString withSlash(QString path)
{
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

bool folderExists(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

void makePath(const QString& path)
{
    QDir().mkpath(path);
}

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

void writeAuditGroup(const QString& prefix)
{
    RuntimeState& s = state();
    iniwritestring(prefix + QStringLiteral("_TIME"), platform().nowText());
    iniwritestring(prefix + QStringLiteral("_NAME"), s.IniFileName);
    iniwritestring(prefix + QStringLiteral("_PROGRAM"), platform().programFile());
    iniwritestring(prefix + QStringLiteral("_USER"), username());
    iniwritestring(prefix + QStringLiteral("_INIVERSION"), QLatin1String(kIniVersion));
}

const char* const kInstallFolders[] = {
    "archive", "backup", "data", "data/brekka", "data/sildra", "data/krossa", "data/docs", "data/vindel",
    "etc", "export", "export/xml", "export/pdf", "export/csv", "export/html", "export/html/varer", "import",
    "images", "spool", "tmp", "xml", "log", "maler", "maler/docs", "maler/krossa",
};

} // namespace

// ---------------------------------------------------------------- settings

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

// ---------------------------------------------------------------- user name

QString username()
{
    RuntimeState& s = state();
    if (s.UserNameCache.isEmpty())
        s.UserNameCache = !s.OptionUser.isEmpty() ? s.OptionUser : registryuser();
    if (s.UserNameCache.isEmpty())
        s.UserNameCache = QStringLiteral("BRUKER");
    return s.UserNameCache.toUpper();
}

QString userIniFile()
{
    // Characters that could lead out of the settings folder become "_".
    QString name = username();
    for (QChar& c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() == 0)
            c = QLatin1Char('_');
    }
    for (qsizetype i = 0; i < name.size() && name.at(i) == QLatin1Char('.'); ++i)
        name[i] = QLatin1Char('_');
    return state().EtcFolder + name + QStringLiteral(".INI");
}

QString registryuser()
{
    return platform().loginUser();
}

// ---------------------------------------------------------------- folders

QString approot()
{
    return platform().appDataRoot() + QStringLiteral("/Tavlund/");
}

QString tavlundpath(const QString& name)
{
    const QString root = approot();
    if (name.isEmpty())
        return root;
    RuntimeState& s = state();
    const QString remembered = s.IniSection;
    QString folder = IniFile().readString(kFolders, name + QStringLiteral("_folder"));
    if (folder.isEmpty())
        folder = root + name + QLatin1Char('/');
    // Only folders under the root are made here, never the program's own.
    if (!folderExists(folder) && name != QLatin1String("bin") && folder.contains(root)) {
        WriteLog(QStringLiteral("zt_reg.tavlundpath(%1): Lager mappen %2").arg(name, folder));
        makePath(folder);
    }
    folder = withSlash(folder);
    setfolder(name, folder);
    flushIniFile();
    s.IniSection = remembered;
    return folder;
}

void setfolder(const QString& name, const QString& path)
{
    RuntimeState& s = state();
    const QString remembered = s.IniSection;
    iniselect(kFolders);
    iniwritestring(name + QStringLiteral("_folder"), withSlash(path));
    s.IniSection = remembered;
}

void mkdirsafe(const QString& path)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0) {
        WriteLog(QStringLiteral("Oppretter mappen ") + path);
        return;
    }
    const int code = errno;
    // A folder already in its place is what was wanted; anything else there
    // (a file, a dangling link) or any other failure is one.
    if (code == EEXIST && folderExists(path))
        return;
    WriteLog(QStringLiteral("FEIL: [mkdirsafe:%1] kan ikke opprette mappen %2").arg(code).arg(path));
}

QString binpath()
{
    setfolder(QStringLiteral("bin"), QFileInfo(platform().programFile()).absolutePath());
    return tavlundpath(QStringLiteral("bin"));
}

QString logpath()
{
    const QString log = QStringLiteral("log");
    if (!folderExists(tavlundpath(log))) {
        // A configured log folder outside the root that is missing: back to the default.
        setfolder(log, approot() + QStringLiteral("log/"));
        makePath(tavlundpath(log));
    }
    return tavlundpath(log);
}

void installfolders()
{
    const QString bin = binpath();
    setfolder(QStringLiteral("doc"), QDir::cleanPath(bin + QStringLiteral("../doc")));
    const QString root = approot();
    if (!folderExists(root))
        makePath(root);
    // Parents come before their children: mkdirsafe makes one level only.
    for (const char* name : kInstallFolders) {
        const QString folderName = QLatin1String(name);
        mkdirsafe(root + folderName);
        setfolder(folderName, root + folderName);
    }
}

// ---------------------------------------------------------------- switches and facts

void applySwitches(const QStringList& args)
{
    RuntimeState& s = state();
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const QString next = args.value(i + 1);
        if (a == QLatin1String("--debug")) {
            s.LogToFile = true;
            s.VerboseLogging = true;
        } else if (a == QLatin1String("-install")) {
            s.LogToFile = true;
            s.VerboseLogging = true;
            s.OptionInstall = true;
        } else if (a == QLatin1String("-ip")) {
            s.OptionIp = next;
        } else if (a == QLatin1String("--caption")) {
            s.OptionCaption = next;
        } else if (a == QLatin1String("--user")) {
            s.OptionUser = next;
        }
    }
}

QString computername()
{
    return platform().hostName();
}

QString domainname()
{
    return platform().dnsDomain();
}

QString ipaddress()
{
    if (!state().OptionIp.isEmpty())
        return state().OptionIp;
    if (domainname().isEmpty())
        return {};
    const QString address = platform().firstIPv4Address();
    return address.isEmpty() ? QStringLiteral("0.0.0.0") : address;
}

QString spooldir()
{
    return platform().spoolFolder();
}

QString tempdir()
{
    return platform().environment("TEMP");
}

void loglogin()
{
    WriteLog(QStringLiteral("LOGIN: ") + registryuser() + QStringLiteral("  node: ") + computername()
             + QLatin1Char('.') + domainname() + QStringLiteral(" IP:") + ipaddress());
}

// ---------------------------------------------------------------- clean-up

void deletetempfiles(bool system)
{
    WriteLog(QStringLiteral("Sletter midlertidige filer opprettet av Tavlund programmer"));
    // The name tests keep a stray setting from pointing the clean-up elsewhere;
    // cleanfolder also checks where the folder really lies.
    const QString tmp = tavlundpath(QStringLiteral("tmp"));
    if (tmp.size() > 3 && tmp.toUpper().contains(QLatin1String("TMP")))
        cleanfolder(tmp);
    if (!system)
        return;
    const QString temp = tempdir() + QLatin1Char('/');
    if (temp.size() > 3 && temp.toUpper().contains(QLatin1String("TEMP"))) {
        WriteLog(QStringLiteral("Sletter midlertidige filer i Windows"));
        cleanfolder(temp);
        cleanfolder(platform().environment("WINDIR") + QStringLiteral("/temp/"));
    }
    const QString spool = spooldir();
    if (spool.toUpper().contains(QLatin1String("SPOOL"))) {
        WriteLog(QStringLiteral("Sletter skriverkøer"));
        cleanfolder(spool);
    }
}

QString cleanupRefusal(const QString& path)
{
    QString bare = path;
    while (bare.size() > 1 && bare.endsWith(QLatin1Char('/')))
        bare.chop(1);
    if (pathKind(bare) == PathKind::SymLink)
        return QStringLiteral("mappen er en symbolsk lenke");
    const QString canonical = QFileInfo(bare).canonicalFilePath();
    if (canonical.isEmpty())
        return QStringLiteral("mappen finnes ikke");
    const auto inside = [&](const QString& folder, bool itself) {
        const QString top = folder.isEmpty() ? QString() : QFileInfo(folder).canonicalFilePath();
        if (top.isEmpty() || top == QLatin1String("/"))
            return false;
        return (itself && canonical == top) || canonical.startsWith(top + QLatin1Char('/'));
    };
    if (inside(approot(), false) || inside(platform().systemTempFolder(), true))
        return {};
    return QStringLiteral("mappen ligger utenfor Tavlund-mappen og systemets midlertidige mappe");
}

void cleanfolder(QString path)
{
    path = withSlash(path);
    if (path.size() < 7 || !folderExists(path))
        return;
    if (const QString refusal = cleanupRefusal(path); !refusal.isEmpty()) {
        WriteLog(QStringLiteral("ADVARSEL: rydder ikke %1: %2").arg(path, refusal));
        return;
    }
    // The clean-up works on the folder's real path: no "..", no links.
    const QString real = withSlash(QFileInfo(path).canonicalFilePath());
    state().CleanTop = real;
    deletetree(real);
}

void deletetree(const QString& folder)
{
    RuntimeState& s = state();
    BusyCursor busy;
    if (s.VerboseLogging)
        WriteLog(QStringLiteral("Sletter mappen ") + folder);
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString path = folder + entry.fileName();
        // A link is removed as a link: the clean-up never follows one out.
        if (entry.isDir() && !entry.isSymLink()) {
            deletetree(path + QLatin1Char('/'));
            continue;
        }
        if (!entry.isSymLink() && platform().isMarkedReadOnly(path))
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (s.VerboseLogging)
            WriteLog(QStringLiteral("Sletter ") + path);
        if (!QFile::remove(path))
            WriteLog(QStringLiteral("FEIL: kan ikke slette filen ") + path);
    }
    if (folder != s.CleanTop && !QDir().rmdir(folder))
        WriteLog(QStringLiteral("FEIL: kan ikke slette mappen ") + folder);
}

// ---------------------------------------------------------------- start and end

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
        makePath(s.EtcFolder);
    }
    s.IniFileName = QFileInfo(s.EtcFolder + iniName).absoluteFilePath();
    s.EtcFolder = withSlash(QFileInfo(s.IniFileName).absolutePath());
    const bool existed = QFileInfo::exists(s.IniFileName);
    s.IniFile = loadIni(s.IniFileName);
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
