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

qint32 WriteLog(const QString& text)
{
    RuntimeState& s = state();
    if (!s.LogToFile)
        return -1;
    const QString line = platform().nowText() + QLatin1Char(' ') + text;
    s.LogLines.append(line);
    qint32 result = 0;
    if (s.LogWriteThrough) {
        result = AppendLine(s.LogFile, line);
        if (result == 0)
            s.LogLinesOnDisk = s.LogLines.size();
    }
    s.LastLogLine = line;
    if (startsWith(text, "ERROR:") || startsWith(text, "FEIL:"))
        ++s.ErrorCount;
    if (startsWith(text, "WARNING:") || startsWith(text, "ADVARSEL:"))
        ++s.WarningCount;
    if (startsWith(text, "HINT:"))
        ++s.HintCount;
    return result;
}

void ClearLog()
{
    RuntimeState& s = state();
    const QString line = platform().nowText() + QStringLiteral(" LOGGFIL TØMT (TextFile.ClearLog).");
    s.LogLines.clear();
    s.LogLines.append(line);
    s.LogLinesOnDisk = 0;
    // The new content replaces the old at once, never through a link.
    const FileWriteResult written = writeFileAtomically(s.LogFile, textFileBytes(s.LogLines, 0), FileMode::KeepExisting);
    if (written.ok()) {
        s.LogLinesOnDisk = 1;
    } else {
        platform().messageBox(QStringLiteral("FEIL"),
                              QStringLiteral("Feil under oppretting av ny fil: %1  (%2)").arg(s.LogFile, QString::number(written.code)),
                              MsgIcon::None);
    }
    s.ErrorCount = 0;
}

void boundLogFile(qint64 limit)
{
    RuntimeState& s = state();
    const PathKind kind = pathKind(s.LogFile);
    if (kind == PathKind::SymLink || kind == PathKind::Other) {
        WriteLog(QStringLiteral("ADVARSEL: loggfilen %1 er %2 og blir ikke skrevet.").arg(s.LogFile, QLatin1String(kindText(kind))));
        return;
    }
    const qint64 size = kind == PathKind::Regular ? QFileInfo(s.LogFile).size() : 0;
    if (size <= limit)
        return;
    const QString old = s.LogFile + QStringLiteral(".old");
    // rename() replaces the older generation (or a link in its place)
    // without following it.
    if (::rename(QFile::encodeName(s.LogFile).constData(), QFile::encodeName(old).constData()) == 0) {
        s.LogLines.prepend(platform().nowText()
                           + QStringLiteral(" LOGGFIL FLYTTET: den forrige loggen (%1 byte) ligger nå i %2.")
                                 .arg(size)
                                 .arg(old));
        s.LogLinesOnDisk = 0;
        return;
    }
    WriteLog(QStringLiteral("ADVARSEL: loggfilen %1 er %2 byte og kan ikke flyttes til %3.").arg(s.LogFile).arg(size).arg(old));
}

QString LogFileName()
{
    RuntimeState& s = state();
    s.LogFolder = platform().appDataRoot() + QStringLiteral("/Tavlund/log/");
    s.LogFile = s.LogFolder + QFileInfo(platform().programFile()).completeBaseName() + QStringLiteral(".log");
    return s.LogFile;
}

void textfilStart()
{
    state().LogLines.clear();
    state().LogLinesOnDisk = 0;
    LogFileName();
}

void textfilEnd()
{
    RuntimeState& s = state();
    // The lines of this run are appended whether or not logging was on (an
    // empty log file is made when there was none); the old content is not
    // read or rewritten.
    if (!s.LogFile.isEmpty()) {
        const FileWriteResult written = appendToFile(s.LogFile, textFileBytes(s.LogLines, s.LogLinesOnDisk));
        if (!written.ok()) {
            std::fprintf(stderr, "FEIL: kan ikke skrive loggfilen %s: %s\n", qPrintable(s.LogFile),
                         qPrintable(written.reason));
        }
    }
    s.LogLines.clear();
    s.LogLinesOnDisk = 0;
    s.LogFolder.clear();
    s.LogFile.clear();
    s.LastLogLine.clear();
}

} // namespace rt
