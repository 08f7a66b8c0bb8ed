#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace desktop {

namespace {

constexpr char kShowRequest[] = "show\n";
constexpr char kShowAnswer[] = "ok\n";

// The user's own, and closed to everyone else.
bool usersAlone(const struct stat& st)
{
    return st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

// A folder only this user can enter: the runtime folder, or without one a
// folder of the program's in the user's cache folder, which no other user
// can make or enter first (a name in the shared temporary folder could be
// claimed by anyone). Empty, with problem set, when there is none.
QString privateFolder(QString* problem)
{
    // A runtime folder that is missing, or not the user's alone (another
    // user's left in the environment by su, say), is passed over.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    struct stat st {};
    if (QDir::isAbsolutePath(runtime) && ::stat(QFile::encodeName(runtime).constData(), &st) == 0
        && S_ISDIR(st.st_mode) && usersAlone(st))
        return runtime;
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!QDir::isAbsolutePath(cache))
        cache = QDir::homePath() + QStringLiteral("/.cache");
    const QString folder = cache + QStringLiteral("/brevglimt");
    QDir().mkpath(cache);
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *problem = QStringLiteral("kan ikke opprette mappen %1").arg(folder);
        return QString();
    }
    if (!usersAlone(st)) {
        *problem = QStringLiteral("mappen %1 tilhører en annen bruker eller kan åpnes av andre").arg(folder);
        return QString();
    }
    return folder;
}

} // namespace

QString instanceUser(const QStringList& args, const QString& loginUser)
{
    QString user;
    for (qsizetype i = 0; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--user"))
            user = args.at(i + 1);
    }
    if (user.isEmpty())
        user = loginUser;
    if (user.isEmpty())
        user = QStringLiteral("BRUKER");
    return user.toUpper();
}

QString instanceSocketPath(const QString& user, const QString& appDataRoot, QString* problem)
{
    QString ignored;
    if (!problem)
        problem = &ignored;
    const QString folder = privateFolder(problem);
    if (folder.isEmpty())
        return QString();
    // The user name and root may hold any character; the digest is a safe name.
    const QByteArray key = QCryptographicHash::hash((user + QLatin1Char('\n') + appDataRoot).toUtf8(),
                                                    QCryptographicHash::Sha256)
                               .toHex()
                               .left(24);
    const QString path = folder + QStringLiteral("/brevglimt-") + QString::fromLatin1(key) + QStringLiteral(".sock");
    if (QFile::encodeName(path).size() >= qsizetype(sizeof(sockaddr_un::sun_path))) {
        *problem = QStringLiteral("stien %1 er for lang for en lokal socket").arg(path);
        return QString();
    }
    return path;
}

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), m_path(std::move(socketPath))
{
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::askRunningCopyToShow(int timeoutMs) const
{
    if (m_path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(kShowRequest);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine() == kShowAnswer;
}

bool SingleInstance::listen()
{
    if (m_path.isEmpty())
        return false;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path)) {
        // Nobody answered on it (askRunningCopyToShow came first), so the
        // file is left from a copy that ended without removing it.
        QLocalServer::removeServer(m_path);
        if (!m_server->listen(m_path))
            return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (!client->canReadLine())
                    return;
                const bool show = client->readLine(64) == kShowRequest;
                if (show) {
                    client->write(kShowAnswer);
                    client->flush();
                }
                client->disconnectFromServer();
                // Showing the strip may check the mailbox and open boxes,
                // each with an event loop of its own, in which this socket
                // can close and be freed: it runs after this handler has
                // let go of the socket.
                if (show)
                    QMetaObject::invokeMethod(this, &SingleInstance::showRequested, Qt::QueuedConnection);
            });
        }
    });
    return true;
}

} // namespace desktop
