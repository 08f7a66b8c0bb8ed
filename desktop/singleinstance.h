// One running copy per user and settings folder. A second start finds the
// running copy through a local socket in the user's runtime folder, asks it
// to show its strip and ends.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

namespace desktop {

// The socket's path for a user (upper-cased as the settings file's name is)
// and an application-data root: in $XDG_RUNTIME_DIR when that is a folder
// of the user's alone, else in the folder "brevglimt" (0700) of the user's
// cache folder ($XDG_CACHE_HOME or ~/.cache). Empty when there is no such
// folder of the user's alone, with problem (when given) saying why.
QString instanceSocketPath(const QString& user, const QString& appDataRoot, QString* problem = nullptr);

// The user this start runs for: the value after "--user", else the login
// name, else "BRUKER"; upper case.
QString instanceUser(const QStringList& args, const QString& loginUser);

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString socketPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Asks a running copy to show its strip; true when it confirmed, so this
    // copy can end.
    bool askRunningCopyToShow(int timeoutMs = 3000) const;
    // Becomes the running copy: listens on the socket, readable by the user
    // alone. A socket file left by a copy that crashed is replaced. False
    // when the socket cannot be made (the program then runs without it).
    bool listen();

    const QString& socketPath() const { return m_path; }

signals:
    // Another start asked for the strip; sent from the event loop once the
    // request has been answered, never from inside the socket's handler.
    void showRequested();

private:
    QString m_path;
    QLocalServer* m_server = nullptr;
};

} // namespace desktop
