#include "textfil.h"

#include "platform.h"
#include "state.h"
#include "textcodec.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>

namespace rt {

namespace {

const QString kErrorCaption = QStringLiteral("FEIL");

void showFileError(const QString& text)
{
    platform().messageBox(kErrorCaption, text, MsgIcon::None);
}

int openHandle(TextFileHandle& handle, const QString& fileName, const char* mode)
{
    handle.name = fileName;
    handle.file = std::fopen(QFile::encodeName(fileName).constData(), mode);
    return handle.file ? 0 : (errno ? errno : EIO);
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
    if (s.LogWriteThrough)
        result = AppendLine(s.LogFile, line);
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
    TextFileHandle handle;
    if (CreateNew(handle, s.LogFile) == 0) {
        WriteTextLine(handle, line);
        std::fclose(handle.file);
        handle.file = nullptr;
    }
    s.ErrorCount = 0;
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
    const int code = openHandle(handle, fileName, "ab");
    if (code != 0) {
        ++state().ErrorCount;
        showFileError(QStringLiteral("Feil under åpning av %1  (%2)").arg(fileName, QString::number(code)));
    }
    return code;
}

int CreateNew(TextFileHandle& handle, const QString& fileName)
{
    const int code = openHandle(handle, fileName, "wb");
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
    const bool opened = f.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? decodeFileLines(f.readAll()) : QStringList();
}

QString saveTextLines(const QString& fileName, const QStringList& lines)
{
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += encodeFileText(line) + "\r\n";
    const bool isNew = !QFile::exists(fileName);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return file.errorString();
    if (isNew)
        QFile::setPermissions(fileName, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return {};
}

void textfilStart()
{
    state().LogLines.clear();
    LogFileName();
}

void textfilEnd()
{
    RuntimeState& s = state();
    // The log is written whether or not logging was on, replacing the file.
    if (!s.LogFile.isEmpty()) {
        if (const QString error = saveTextLines(s.LogFile, s.LogLines); !error.isEmpty()) {
            std::fprintf(stderr, "FEIL: kan ikke skrive loggfilen %s: %s\n", qPrintable(s.LogFile),
                         qPrintable(error));
        }
    }
    s.LogLines.clear();
    s.LogFolder.clear();
    s.LogFile.clear();
    s.LastLogLine.clear();
}

} // namespace rt
