#include "textfile.h"

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

void showFileError(const QString& text)
{
    platform().messageBox(QStringLiteral("FEIL"), text, MsgIcon::None);
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

} // namespace

QByteArray textFileBytes(const QStringList& lines, qsizetype from)
{
    QByteArray bytes;
    for (qsizetype i = from; i < lines.size(); ++i)
        bytes += encodeFileText(lines.at(i)) + "\r\n";
    return bytes;
}

int openAppend(TextFileHandle& handle, const QString& fileName)
{
    const int code = openHandle(handle, fileName, O_APPEND);
    if (code != 0) {
        ++state().errorCount;
        showFileError(QStringLiteral("Feil under åpning av %1  (%2)").arg(fileName, QString::number(code)));
    }
    return code;
}

int createNew(TextFileHandle& handle, const QString& fileName)
{
    const int code = openHandle(handle, fileName, O_CREAT | O_TRUNC);
    if (code != 0) {
        ++state().errorCount;
        showFileError(QStringLiteral("Feil under oppretting av ny fil: %1  (%2)").arg(fileName, QString::number(code)));
    }
    return code;
}

int writeTextLine(TextFileHandle& handle, const QString& line)
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
        ++state().errorCount;
    return code;
}

int closeText(TextFileHandle& handle)
{
    int code = 0;
    if (!handle.file)
        code = EBADF;
    else if (std::fclose(handle.file) != 0)
        code = errno ? errno : EIO;
    handle.file = nullptr;
    if (code != 0) {
        ++state().errorCount;
        showFileError(QStringLiteral("Feil under lukking av fil"));
    }
    return code;
}

int appendLine(const QString& fileName, const QString& line)
{
    TextFileHandle handle;
    if (QFile::exists(fileName))
        openAppend(handle, fileName);
    else
        createNew(handle, fileName);
    writeTextLine(handle, line);
    return closeText(handle);
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
    return writeFileAtomically(fileName, textFileBytes(lines, 0), FileMode::KeepExisting).reason;
}

} // namespace rt
