#include "smtpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#include <chrono>
#include <csignal>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 5000;

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace

QString SinkMessage::header(const QString& name) const
{
    for (const QJsonValue& h : info.value(QStringLiteral("headers")).toArray()) {
        const QJsonArray pair = h.toArray();
        if (pair.at(0).toString().compare(name, Qt::CaseInsensitive) == 0)
            return pair.at(1).toString();
    }
    return {};
}

int SinkMessage::headerCount(const QString& name) const
{
    int n = 0;
    for (const QJsonValue& h : info.value(QStringLiteral("headers")).toArray()) {
        if (h.toArray().at(0).toString().compare(name, Qt::CaseInsensitive) == 0)
            ++n;
    }
    return n;
}

QString AiosmtpdServer::pythonPath()
{
    return QStringLiteral("/usr/bin/python3");
}

bool AiosmtpdServer::available()
{
    static const bool found = [] {
        if (!QFileInfo(pythonPath()).isExecutable())
            return false;
        QProcess probe;
        probe.start(pythonPath(), {QStringLiteral("-c"), QStringLiteral("import aiosmtpd.smtp")});
        if (!probe.waitForFinished(20000)) {
            probe.kill();
            probe.waitForFinished(5000);
            return false;
        }
        return probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    }();
    return found;
}

AiosmtpdServer::AiosmtpdServer()
    : AiosmtpdServer(AiosmtpdOptions{})
{
}

AiosmtpdServer::AiosmtpdServer(const AiosmtpdOptions& options)
    : m_dir(QDir::tempPath() + QStringLiteral("/brev-smtp-XXXXXX"))
{
    if (!m_dir.isValid())
        throw SmtpServerError("cannot create a temporary folder: " + m_dir.errorString().toStdString());
    if (!available())
        throw SmtpServerError("python3-aiosmtpd is not installed");

    m_process = std::make_unique<QProcess>();
    m_process->setProgram(pythonPath());
    QStringList arguments = {QStringLiteral(BREV_SMTP_SINK_SCRIPT), m_dir.path()};
    if (!options.certificateFile.isEmpty())
        arguments += {QStringLiteral("--cert"), options.certificateFile, QStringLiteral("--key"), options.keyFile};
    if (!options.user.isEmpty()) {
        // The password goes as an argument: a throwaway test account.
        arguments += {QStringLiteral("--user"), options.user, QStringLiteral("--password"), options.password};
    }
    m_process->setArguments(arguments);
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir.filePath(QStringLiteral("sink.log")));
    const pid_t parent = ::getpid();
    m_process->setChildProcessModifier([parent] {
        // A process group of its own so stop() reaches all of it; the death
        // signal stops the server if the test process dies first.
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
    });
    m_process->start();
    if (!m_process->waitForStarted(kStartTimeoutMs)) {
        const std::string reason = m_process->errorString().toStdString();
        m_process.reset();
        throw SmtpServerError("cannot start " + pythonPath().toStdString() + ": " + reason);
    }

    const QString portFile = m_dir.filePath(QStringLiteral("port"));
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (Clock::now() < deadline) {
        const QByteArray text = readFile(portFile).trimmed();
        bool ok = false;
        const uint port = text.toUInt(&ok);
        if (ok && port > 0 && port < 65536) {
            m_port = std::uint16_t(port);
            return;
        }
        if (m_process->state() == QProcess::NotRunning || m_process->waitForFinished(20))
            break;
    }
    const bool exited = m_process->state() == QProcess::NotRunning;
    stop();
    throw SmtpServerError(std::string("the aiosmtpd sink ") + (exited ? "exited during start-up" : "did not start in time")
                          + "\n--- output ---\n" + log().toStdString());
}

AiosmtpdServer::~AiosmtpdServer()
{
    stop();
}

void AiosmtpdServer::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        const qint64 pid = m_process->processId();
        m_process->terminate();
        if (!m_process->waitForFinished(kStopTimeoutMs)) {
            if (pid > 0)
                ::kill(-pid_t(pid), SIGKILL);
            m_process->waitForFinished(kStopTimeoutMs);
        }
    }
    m_process.reset();
}

QList<SinkMessage> AiosmtpdServer::messages() const
{
    QList<SinkMessage> out;
    for (int n = 1;; ++n) {
        const QString base = m_dir.filePath(QString::number(n));
        if (!QFileInfo::exists(base + QStringLiteral(".json")))
            break;
        SinkMessage m;
        m.raw = readFile(base + QStringLiteral(".eml"));
        m.info = QJsonDocument::fromJson(readFile(base + QStringLiteral(".json"))).object();
        out.append(m);
    }
    return out;
}

QByteArray AiosmtpdServer::log() const
{
    return readFile(m_dir.filePath(QStringLiteral("sink.log")));
}

} // namespace testsupport
