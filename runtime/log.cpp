#include "log.h"

#include "platform.h"
#include "safefile.h"
#include "state.h"
#include "textfile.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace rt {

namespace {

const char* kindText(PathKind kind)
{
    return kind == PathKind::SymLink ? "en symbolsk lenke" : "ikke en vanlig fil";
}

bool startsWith(const QString& text, const char* word)
{
    return text.startsWith(QLatin1String(word));
}

} // namespace

qint32 writeLog(const QString& text)
{
    RuntimeState& s = state();
    if (!s.logToFile)
        return -1;
    const QString line = platform().nowText() + QLatin1Char(' ') + text;
    s.logLines.append(line);
    qint32 result = 0;
    if (s.logWriteThrough) {
        result = appendLine(s.logFile, line);
        if (result == 0)
            s.logLinesOnDisk = s.logLines.size();
    }
    s.lastLogLine = line;
    if (startsWith(text, "ERROR:") || startsWith(text, "FEIL:"))
        ++s.errorCount;
    if (startsWith(text, "WARNING:") || startsWith(text, "ADVARSEL:"))
        ++s.warningCount;
    if (startsWith(text, "HINT:"))
        ++s.hintCount;
    return result;
}

void clearLog()
{
    RuntimeState& s = state();
    const QString line = platform().nowText() + QStringLiteral(" LOGGFIL TØMT (TextFile.ClearLog).");
    s.logLines.clear();
    s.logLines.append(line);
    s.logLinesOnDisk = 0;
    // The new content replaces the old at once, never through a link.
    const FileWriteResult written = writeFileAtomically(s.logFile, textFileBytes(s.logLines, 0), FileMode::KeepExisting);
    if (written.ok()) {
        s.logLinesOnDisk = 1;
    } else {
        platform().messageBox(QStringLiteral("FEIL"),
                              QStringLiteral("Feil under oppretting av ny fil: %1  (%2)").arg(s.logFile, QString::number(written.code)),
                              MsgIcon::None);
    }
    s.errorCount = 0;
}

void boundLogFile(qint64 limit)
{
    RuntimeState& s = state();
    const PathKind kind = pathKind(s.logFile);
    if (kind == PathKind::SymLink || kind == PathKind::Other) {
        writeLog(QStringLiteral("ADVARSEL: loggfilen %1 er %2 og blir ikke skrevet.").arg(s.logFile, QLatin1String(kindText(kind))));
        return;
    }
    const qint64 size = kind == PathKind::Regular ? QFileInfo(s.logFile).size() : 0;
    if (size <= limit)
        return;
    const QString old = s.logFile + QStringLiteral(".old");
    // rename() replaces the older generation (or a link in its place)
    // without following it.
    if (::rename(QFile::encodeName(s.logFile).constData(), QFile::encodeName(old).constData()) == 0) {
        s.logLines.prepend(platform().nowText()
                           + QStringLiteral(" LOGGFIL FLYTTET: den forrige loggen (%1 byte) ligger nå i %2.")
                                 .arg(size)
                                 .arg(old));
        s.logLinesOnDisk = 0;
        return;
    }
    writeLog(QStringLiteral("ADVARSEL: loggfilen %1 er %2 byte og kan ikke flyttes til %3.").arg(s.logFile).arg(size).arg(old));
}

QString logFileName()
{
    RuntimeState& s = state();
    s.logFolder = platform().appDataRoot() + QStringLiteral("/Tavlund/log/");
    s.logFile = s.logFolder + QFileInfo(platform().programFile()).completeBaseName() + QStringLiteral(".log");
    return s.logFile;
}

void startLog()
{
    state().logLines.clear();
    state().logLinesOnDisk = 0;
    logFileName();
}

void endLog()
{
    RuntimeState& s = state();
    // The lines of this run are appended whether or not logging was on (an
    // empty log file is made when there was none); the old content is not
    // read or rewritten.
    if (!s.logFile.isEmpty()) {
        const FileWriteResult written = appendToFile(s.logFile, textFileBytes(s.logLines, s.logLinesOnDisk));
        if (!written.ok()) {
            std::fprintf(stderr, "FEIL: kan ikke skrive loggfilen %s: %s\n", qPrintable(s.logFile),
                         qPrintable(written.reason));
        }
    }
    s.logLines.clear();
    s.logLinesOnDisk = 0;
    s.logFolder.clear();
    s.logFile.clear();
    s.lastLogLine.clear();
}

} // namespace rt
