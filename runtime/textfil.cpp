#include "textfil.h"

#include "platform.h"
#include "safefile.h"
#include "state.h"
#include "textcodec.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rt {

namespace {

const QString kErrorCaption = QStringLiteral("FEIL");

void showFileError(const QString& text)
{
    platform().messageBox(kErrorCaption, text, MsgIcon::None);
}

// Opens for writing without following a link; a pipe or device in the
// file's place is refused rather than written to.
int openHandle(TextFileHandle& handle, const QString& fileName, int flags)
{
    handle.name = fileName;
    handle.file = nullptr;
    const int fd = ::open(QFile::encodeName(fileName).constData(),
                          flags | O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno ? errno : EIO;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return EINVAL;
    }
    ::fcntl(fd, F_SETFL, flags & O_APPEND);
    handle.file = ::fdopen(fd, (flags & O_APPEND) ? "ab" : "wb");
    if (!handle.file) {
        const int code = errno ? errno : EIO;
        ::close(fd);
        return code;
    }
    return 0;
}

QByteArray logBytes(const QStringList& lines, qsizetype from)
{
    QByteArray bytes;
    for (qsizetype i = from; i < lines.size(); ++i)
        bytes += encodeFileText(lines.at(i)) + "\r\n";
    return bytes;
}

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
    const FileWriteResult written = writeFileAtomically(s.LogFile, logBytes(s.LogLines, 0), FileMode::KeepExisting);
    if (written.ok()) {
        s.LogLinesOnDisk = 1;
    } else {
        showFileError(QStringLiteral("Feil under oppretting av ny fil: %1  (%2)").arg(s.LogFile, QString::number(written.code)));
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

int OpenAppend(TextFileHandle& handle, const QString& fileName)
{
    const int code = openHandle(handle, fileName, O_APPEND);
    if (code != 0) {
        ++state().ErrorCount;
        showFileError(QStringLiteral("Feil under åpning av %1  (%2)").arg(fileName, QString::number(code)));
    }
    return code;
}

int CreateNew(TextFileHandle& handle, const QString& fileName)
{
    const int code = openHandle(handle, fileName, O_CREAT | O_TRUNC);
    if (code != 0) {
        ++state().ErrorCount;
        showFileError(QStringLiteral("Feil under oppretting av ny fil: %1  (%2)").arg(fileName, QString::number(code)));
    }
    return code;
}

int WriteTextLine(TextFileHandle& handle, const QString& line)
{
    int code = 0;
    if (!handle.file) {
        code = EBADF;
    } else {
        const QByteArray bytes = encodeFileText(line) + "\r\n";
        if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), handle.file) != size_t(bytes.size()))
            code = errno ? errno : EIO;
    }
    if (code != 0)
        ++state().ErrorCount;
    return code;
}

int CloseText(TextFileHandle& handle)
{
    int code = 0;
    if (!handle.file)
        code = EBADF;
    else if (std::fclose(handle.file) != 0)
        code = errno ? errno : EIO;
    handle.file = nullptr;
    if (code != 0) {
        ++state().ErrorCount;
        showFileError(QStringLiteral("Feil under lukking av fil"));
    }
    return code;
}

int AppendLine(const QString& fileName, const QString& line)
{
    TextFileHandle handle;
    if (QFile::exists(fileName))
        OpenAppend(handle, fileName);
    else
        CreateNew(handle, fileName);
    WriteTextLine(handle, line);
    return CloseText(handle);
}

QStringList readTextLines(const QString& fileName, bool* ok)
{
    QFile f(fileName);
    const bool opened = QFileInfo(fileName).isFile() && f.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? decodeFileLines(f.readAll()) : QStringList();
}

QString saveTextLines(const QString& fileName, const QStringList& lines)
{
    return writeFileAtomically(fileName, logBytes(lines, 0), FileMode::KeepExisting).reason;
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
        const FileWriteResult written = appendToFile(s.LogFile, logBytes(s.LogLines, s.LogLinesOnDisk));
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
