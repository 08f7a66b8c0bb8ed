#include "safefile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rt {

namespace {

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

FileWriteResult failure(int code)
{
    return {code ? code : EIO, errnoText(code ? code : EIO)};
}

FileWriteResult refusal(PathKind kind)
{
    return {kind == PathKind::SymLink ? ELOOP : EINVAL,
            kind == PathKind::SymLink ? QStringLiteral("navnet er en symbolsk lenke, som ikke blir fulgt")
                                      : QStringLiteral("navnet er ikke en vanlig fil")};
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

PathKind pathKind(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return PathKind::Missing;
    if (S_ISLNK(st.st_mode))
        return PathKind::SymLink;
    return S_ISREG(st.st_mode) ? PathKind::Regular : PathKind::Other;
}

QString trustProblem(const QString& path)
{
    struct stat file {};
    if (::lstat(QFile::encodeName(path).constData(), &file) != 0)
        return {};
    if (S_ISLNK(file.st_mode))
        return QStringLiteral("filen er en symbolsk lenke");
    if (!S_ISREG(file.st_mode))
        return QStringLiteral("navnet er ikke en vanlig fil");
    if (file.st_uid != ::geteuid())
        return QStringLiteral("filen eies av en annen bruker");
    if (file.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("filen kan endres av andre");
    struct stat folder {};
    if (::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &folder) != 0)
        return QStringLiteral("mappen kan ikke leses");
    if (folder.st_uid != ::geteuid() && folder.st_uid != 0)
        return QStringLiteral("mappen eies av en annen bruker");
    if (folder.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("mappen kan endres av andre");
    return {};
}

FileWriteResult writeFileAtomically(const QString& path, const QByteArray& bytes, FileMode mode)
{
    const QByteArray target = QFile::encodeName(path);
    struct stat old {};
    const bool exists = ::lstat(target.constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return refusal(S_ISLNK(old.st_mode) ? PathKind::SymLink : PathKind::Other);
    const mode_t bits = (mode == FileMode::KeepExisting && exists) ? (old.st_mode & 07777) : 0600;

    const QFileInfo info(path);
    QByteArray temp = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName())
        + ".XXXXXX";
    const int fd = ::mkstemp(temp.data()); // O_EXCL, mode 0600
    if (fd < 0)
        return failure(errno);
    int code = 0;
    if (::fchmod(fd, bits) != 0 || !writeAll(fd, bytes) || ::fsync(fd) != 0)
        code = errno;
    if (::close(fd) != 0 && code == 0)
        code = errno;
    // rename() replaces whatever now has the name, a link included, and
    // never writes through it.
    if (code == 0 && ::rename(temp.constData(), target.constData()) != 0)
        code = errno;
    if (code != 0) {
        ::unlink(temp.constData());
        return failure(code);
    }
    return {};
}

FileWriteResult appendToFile(const QString& path, const QByteArray& bytes)
{
    // O_NOFOLLOW refuses a link; O_NONBLOCK keeps a planted pipe from
    // blocking the open, and the check below refuses it.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int code = errno;
        if (code == ELOOP)
            return refusal(PathKind::SymLink);
        return failure(code);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return refusal(PathKind::Other);
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    int code = writeAll(fd, bytes) ? 0 : errno;
    if (::close(fd) != 0 && code == 0)
        code = errno;
    return code ? failure(code) : FileWriteResult{};
}

QString saveFileSafely(const QString& path, const QByteArray& bytes)
{
    return writeFileAtomically(path, bytes, FileMode::OwnerOnly).reason;
}

} // namespace rt
