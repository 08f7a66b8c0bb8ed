#include "ftptransferwindow.h"

#include "certtrust.h"
#include "cleartext.h"
#include "ftpfiles.h"
#include "log.h"
#include "neterror.h"
#include "offthread.h"
#include "serverprofiledialog.h"
#include "state.h"
#include "windowfont.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStatusBar>
#include <QTemporaryFile>
#include <QThread>
#include <QWindow>

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>

namespace servers {

namespace {

// Longest wait for the window system to show the window.
constexpr int kExposeWaitMs = 1000;

void log(const QString& text)
{
    rt::writeLog(text);
}

// The reason behind a caught error, for the log when detailed logging is on.
void logCause(const std::exception& e)
{
    if (rt::state().verboseLogging)
        log(QStringLiteral("FTP: Årsak: ") + net::errorText(e));
}

[[noreturn]] void fileError(const QString& text)
{
    throw net::NetError(text);
}

// A transfer that moved nothing: an error line with the cause.
FtpResult nothingMoved(bool upload, const QString& path, const QString& cause)
{
    log(QStringLiteral("FEIL: FTP: Feil nr. %1, kan ikke %2 filen %3: %4")
            .arg(QString::number(errorNumber(FtpResult::NothingTransferred)),
                 upload ? QStringLiteral("laste opp") : QStringLiteral("laste ned"), path, cause));
    return FtpResult::NothingTransferred;
}

// Marks the window busy for the lifetime of one operation.
class BusyMark {
public:
    explicit BusyMark(bool& busy)
        : m_busy(busy)
    {
        m_busy = true;
    }
    ~BusyMark() { m_busy = false; }
    BusyMark(const BusyMark&) = delete;
    BusyMark& operator=(const BusyMark&) = delete;

private:
    bool& m_busy;
};

} // namespace

FtpTransferWindow::FtpTransferWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::WindowMinimizeButtonHint)
{
    setObjectName(QStringLiteral("FtpTransferWindow"));
    setWindowTitle(QStringLiteral("FTPform"));
    setFont(gui::windowFont());
    move(408, 424);
    // Its controls stand at fixed places: a larger window would only add
    // empty space, so it keeps its size and offers no maximise button.
    setFixedSize(209, 64);

    fileLabel = new QLabel(QStringLiteral("filnavn.ending"), this);
    fileLabel->setObjectName(QStringLiteral("fileLabel"));
    fileLabel->setGeometry(4, 2, 201, 14);
    fileLabel->setAlignment(Qt::AlignCenter);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setGeometry(4, 19, 201, 17);
    progressBar->setTextVisible(false);
    setProgressMaximum(0);

    statusBar = new QStatusBar(this);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    byteCountPanel = new QLabel(QStringLiteral("0"), statusBar);
    byteCountPanel->setObjectName(QStringLiteral("byteCountPanel"));
    byteCountPanel->setFixedWidth(60);
    byteCountPanel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connectionPanel = new QLabel(QStringLiteral("Klar"), statusBar);
    connectionPanel->setObjectName(QStringLiteral("connectionPanel"));
    connectionPanel->setFixedWidth(50);
    statusBar->addWidget(byteCountPanel);
    statusBar->addWidget(connectionPanel);

    // The callbacks come from the worker thread of a network step; widgets
    // are touched only on the window thread, in the order the events came.
    client.onConnected = [this] { QMetaObject::invokeMethod(this, &FtpTransferWindow::showConnected, Qt::QueuedConnection); };
    client.onDisconnected = [this] {
        QMetaObject::invokeMethod(this, &FtpTransferWindow::showDisconnected, Qt::QueuedConnection);
    };
    client.onWork = [this](qint64 count) {
        QMetaObject::invokeMethod(this, [this, count] { showProgress(count); }, Qt::QueuedConnection);
    };
}

void FtpTransferWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int h = statusBar->sizeHint().height();
    statusBar->setGeometry(0, height() - h, width(), h);
}

void FtpTransferWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        prepareForShow();
}

void FtpTransferWindow::prepareForShow()
{
    setWindowTitle(ftpSettings().server);
    fileLabel->clear();
    fileLabel->repaint();
}

void FtpTransferWindow::showInFront()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    // The window system shows a window asynchronously, and until it has, a
    // repaint draws nothing. Wait here, briefly, handling only window-system
    // and posted events: no timers and no user input run before the
    // operation has begun.
    QDeadlineTimer deadline(kExposeWaitMs);
    while (!(windowHandle() && windowHandle()->isExposed()) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers);
        if (!(windowHandle() && windowHandle()->isExposed()))
            QThread::msleep(2);
    }
}

void FtpTransferWindow::showFileName(const QString& name)
{
    fileLabel->setText(name);
    fileLabel->repaint();
}

void FtpTransferWindow::showConnected()
{
    connectionPanel->setText(QStringLiteral("Tilkoblet"));
    statusBar->repaint();
}

void FtpTransferWindow::showDisconnected()
{
    connectionPanel->setText(QStringLiteral("Frakoblet"));
    statusBar->repaint();
}

void FtpTransferWindow::showProgress(qint64 count)
{
    setProgressPosition(count);
    progressBar->repaint();
    byteCountPanel->setText(QString::number(count));
    statusBar->repaint();
}

void FtpTransferWindow::setProgressMaximum(qint64 bytes)
{
    m_maximum = std::max<qint64>(bytes, 0);
    m_shift = 0;
    while ((m_maximum >> m_shift) > std::numeric_limits<int>::max())
        ++m_shift;
    // A range of 0 to 0 would make the bar a busy indicator.
    progressBar->setRange(0, std::max(1, int(m_maximum >> m_shift)));
    setProgressPosition(m_position);
}

void FtpTransferWindow::setProgressPosition(qint64 bytes)
{
    m_position = bytes;
    progressBar->setValue(int(std::clamp<qint64>(bytes, 0, m_maximum) >> m_shift));
}

void FtpTransferWindow::configureClient()
{
    const FtpTransferSettings& s = ftpSettings();
    client.host = s.server;
    client.port = s.port;
    client.user = s.user;
    client.password = s.password;
    client.explicitTls = s.explicitTls;
}

template <class Step>
auto FtpTransferWindow::runStep(Step&& step)
{
    struct DeliverEvents {
        FtpTransferWindow* window;
        ~DeliverEvents() { QCoreApplication::sendPostedEvents(window, QEvent::MetaCall); }
    } deliver{this};
    return rt::awaitOffThreadResult(std::forward<Step>(step));
}

void FtpTransferWindow::connectClient()
{
    // A certificate the user may trust is asked about once, then kept.
    net::withClearTextConsent(
        [this] { net::withCertificateTrust([this] { runStep([this] { client.connect(); }); }); });
}

bool FtpTransferWindow::refusedWhileBusy(const QString& path, bool upload)
{
    if (!m_busy)
        return false;
    nothingMoved(upload, path, QStringLiteral("en annen overføring pågår"));
    return true;
}

void FtpTransferWindow::prepareTransferSettings()
{
    if (!m_profileDialog)
        throw std::logic_error("FTP-vinduet har ingen dialog for FTP-oppsettet");
    prepareFtpSettings(*m_profileDialog);
}

FtpResult FtpTransferWindow::upload(const QString& path)
{
    if (refusedWhileBusy(path, true))
        return FtpResult::NothingTransferred;
    const BusyMark busy(m_busy);
    FtpTransferSettings& s = ftpSettings();
    FtpResult result = FtpResult::Done;
    showInFront();
    const QString name = filePart(path);
    showFileName(name);
    log(QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + path);
    setProgressPosition(0);
    // Opened once for reading only: what is sized is what is sent.
    QFile file(path);
    const std::optional<QString> unreadable = openForUpload(file);
    const qint64 size = unreadable ? -1 : file.size();
    setProgressMaximum(size);
    if (unreadable) {
        log(QStringLiteral("FTP: Kan ikke finne filstørrelse, avbryter."));
        const FtpResult refused = nothingMoved(true, path, *unreadable);
        hide();
        return refused;
    }

    prepareTransferSettings();
    configureClient();
    log(QStringLiteral("FTP: Kobler til ") + client.host + QStringLiteral(" som bruker ") + client.user);
    try {
        connectClient();
    } catch (const std::exception& e) {
        log(QStringLiteral("FTP: Feil nr. 502, kunne ikke koble til"));
        logCause(e);
        result = FtpResult::UploadConnectFailed;
    }

    if (client.connected()) {
        if (!s.folder.isEmpty() && !s.folder.endsWith(QLatin1Char('/')))
            s.folder += QLatin1Char('/');
        const QString remote = s.folder + name;
        try {
            runStep([&] { client.store(file, remote); });
        } catch (const std::exception& e) {
            // Unlike the other failures this one is an error line with its
            // cause: the file did not reach the server.
            log(QStringLiteral("FEIL: FTP: Feil nr. 500, kan ikke laste opp filen %1 som %2: %3")
                    .arg(path, remote, net::errorText(e)));
            result = FtpResult::TransferFailed;
        }
        runStep([this] { client.disconnect(); });
        log(QStringLiteral("FTP: Kobler fra."));
    }
    hide();
    return result;
}

FtpResult FtpTransferWindow::download(const QString& path)
{
    if (refusedWhileBusy(path, false))
        return FtpResult::NothingTransferred;
    const BusyMark busy(m_busy);
    FtpTransferSettings& s = ftpSettings();
    FtpResult result = FtpResult::Done;
    showInFront();
    const QString name = filePart(path);
    showFileName(name);
    log(QStringLiteral("FTP: Starter ny sesjon for nedlasting av ") + name + QStringLiteral(" til ")
        + folderPart(path));
    setProgressPosition(0);
    const QString remote = s.folder + name;

    prepareTransferSettings();
    configureClient();
    log(QStringLiteral("FTP: Kobler til ") + client.host + QStringLiteral(" som bruker ") + client.user);
    repaint();

    qint64 size = -1;
    try {
        connectClient();
        size = runStep([this, &remote] { return client.size(remote); });
        if (size == -1) {
            const QString refusal = client.lastReply();
            log(QStringLiteral("FTP: finner ikke filen ") + remote + QStringLiteral(", avbryter forbindelse"));
            runStep([this] { client.disconnect(); });
            log(QStringLiteral("FTP: ") + client.host + QStringLiteral(" frakoblet"));
            // The window stays shown, as the one trace on screen of this end.
            return nothingMoved(false, path,
                                QStringLiteral("%1 har ingen fil %2 (%3)").arg(client.host, remote, refusal));
        }
        setProgressMaximum(size);
        log(QStringLiteral("FTP: filstørrelse ") + QString::number(size));
    } catch (const std::exception& e) {
        log(QStringLiteral("FTP: Feil nr. 501, kunne ikke koble til ") + client.host
            + QStringLiteral(" med brukernavn ") + client.user);
        logCause(e);
        result = FtpResult::DownloadConnectFailed;
    }

    // The finished temporary file, once the transfer has succeeded.
    std::optional<QString> received;
    if (client.connected()) {
        if (result == FtpResult::Done) {
            // A name of its own in the target's folder, made without
            // following anything already there; removed unless the whole
            // file arrived.
            QTemporaryFile temporary(path + QStringLiteral(".XXXXXX.tmp"));
            temporary.setAutoRemove(true);
            try {
                log(QStringLiteral("FTP: Tilkoblet, henter filen ") + remote);
                if (!temporary.open())
                    fileError(QStringLiteral("Kan ikke opprette en midlertidig fil i %1: %2")
                                  .arg(folderPart(path), temporary.errorString()));
                const qint64 count = runStep([&] {
                    const qint64 n = client.retrieve(remote, temporary);
                    if (!temporary.flush() || ::fsync(temporary.handle()) != 0)
                        fileError(QStringLiteral("Kan ikke skrive %1: %2")
                                      .arg(temporary.fileName(), temporary.errorString()));
                    return n;
                });
                // A transfer that ended early with a success reply is still short.
                if (count != size)
                    fileError(QStringLiteral("%1 byte mottatt av %2").arg(count).arg(size));
                keepPermissions(path, temporary);
                temporary.setAutoRemove(false);
                received = temporary.fileName();
            } catch (const std::exception& e) {
                log(QStringLiteral("FTP: Feil nr. 500, kan ikke laste ned filen ") + path
                    + QStringLiteral(". Sjekk at filen ikke er i bruk."));
                logCause(e);
                result = FtpResult::TransferFailed;
            }
        }
        runStep([this] { client.disconnect(); });
        log(QStringLiteral("FTP: Kobler fra."));
    }
    hide();

    if (received)
        result = putInPlace(path, *received, backupPath(path));
    return result;
}

} // namespace servers
