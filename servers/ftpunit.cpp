#include "ftpunit.h"

#include "certtrust.h"
#include "cleartext.h"
#include "ftpsettings.h"
#include "offthread.h"
#include "serveroppsett.h"
#include "state.h"
#include "textfil.h"
#include "dialogfont.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStatusBar>
#include <QTemporaryFile>
#include <QThread>
#include <QWindow>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>

namespace servers {

namespace {

// Longest wait for the window system to show the window.
constexpr int kExposeWaitMs = 1000;

void log(const QString& text)
{
    rt::WriteLog(text);
}

QString causeText(const std::exception& e)
{
    const auto* netError = dynamic_cast<const net::NetError*>(&e);
    return netError ? netError->text() : QString::fromUtf8(e.what());
}

// The reason behind a caught error, for the log when detailed logging is on.
void logCause(const std::exception& e)
{
    if (rt::state().VerboseLogging)
        log(QStringLiteral("FTP: Årsak: ") + causeText(e));
}

[[noreturn]] void fileError(const QString& text)
{
    throw net::NetError(text);
}

// A transfer that moved nothing: an error line with the cause.
qint32 nothingMoved(bool upload, const QString& Filnavn, const QString& cause)
{
    log(QStringLiteral("FEIL: FTP: Feil nr. %1, kan ikke %2 filen %3: %4")
            .arg(QString::number(FtpIngentingOverfort),
                 upload ? QStringLiteral("laste opp") : QStringLiteral("laste ned"), Filnavn, cause));
    return FtpIngentingOverfort;
}

// Opens the file to be sent for reading; the reason when that cannot be done.
std::optional<QString> openForUpload(QFile& file)
{
    const QFileInfo info(file.fileName());
    if (!info.exists())
        return QStringLiteral("filen finnes ikke");
    // A folder, a pipe or a device is no file to send (and opening a pipe
    // would wait for a writer).
    if (!info.isFile())
        return QStringLiteral("det er ikke en vanlig fil");
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("kan ikke lese den: ") + file.errorString();
    return std::nullopt;
}

// Gives the new file the permission bits of the file it will replace, so a
// download does not change who may read or write it. A file that did not
// exist keeps the temporary file's: readable by the user alone.
void keepPermissions(const QString& Filnavn, QFile& temporary)
{
    struct stat old {};
    if (::stat(QFile::encodeName(Filnavn).constData(), &old) != 0 || !S_ISREG(old.st_mode))
        return;
    if (::fchmod(temporary.handle(), old.st_mode & 07777) != 0)
        fileError(QStringLiteral("Kan ikke gi %1 rettighetene til %2: %3")
                      .arg(temporary.fileName(), Filnavn, QString::fromLocal8Bit(std::strerror(errno))));
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

QString filePart(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString folderPart(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString backupPath(const QString& Filnavn)
{
    return Filnavn + QStringLiteral(".old");
}

TFTPform::TFTPform(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::WindowMinimizeButtonHint)
{
    setObjectName(QStringLiteral("FTPform"));
    setWindowTitle(QStringLiteral("FTPform"));
    setFont(dialogFont());
    move(408, 424);
    // Its controls stand at fixed places: a larger window would only add
    // empty space, so it keeps its size and offers no maximise button.
    setFixedSize(209, 64);

    fileLabel = new QLabel(QStringLiteral("filnavn.ending"), this);
    fileLabel->setObjectName(QStringLiteral("ftpfil"));
    fileLabel->setGeometry(4, 2, 201, 14);
    fileLabel->setAlignment(Qt::AlignCenter);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("ProgressBar1"));
    progressBar->setGeometry(4, 19, 201, 17);
    progressBar->setTextVisible(false);
    setProgressMaximum(0);

    statusBar = new QStatusBar(this);
    statusBar->setObjectName(QStringLiteral("StatusBar1"));
    byteCountPanel = new QLabel(QStringLiteral("0"), statusBar);
    byteCountPanel->setObjectName(QStringLiteral("StatusBar1Panel0"));
    byteCountPanel->setFixedWidth(60);
    byteCountPanel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connectionPanel = new QLabel(QStringLiteral("Klar"), statusBar);
    connectionPanel->setObjectName(QStringLiteral("StatusBar1Panel1"));
    connectionPanel->setFixedWidth(50);
    statusBar->addWidget(byteCountPanel);
    statusBar->addWidget(connectionPanel);

    // The callbacks come from the worker thread of a network step; widgets
    // are touched only on the window thread, in the order the events came.
    client.onConnected = [this] { QMetaObject::invokeMethod(this, &TFTPform::showConnected, Qt::QueuedConnection); };
    client.onDisconnected = [this] {
        QMetaObject::invokeMethod(this, &TFTPform::showDisconnected, Qt::QueuedConnection);
    };
    client.onWork = [this](qint64 count) {
        QMetaObject::invokeMethod(this, [this, count] { showProgress(count); }, Qt::QueuedConnection);
    };
}

void TFTPform::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int h = statusBar->sizeHint().height();
    statusBar->setGeometry(0, height() - h, width(), h);
}

void TFTPform::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        prepareForShow();
}

void TFTPform::prepareForShow()
{
    setWindowTitle(ftpSettings().FTPserver);
    fileLabel->clear();
    fileLabel->repaint();
}

void TFTPform::showInFront()
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

void TFTPform::showFileName(const QString& name)
{
    fileLabel->setText(name);
    fileLabel->repaint();
}

void TFTPform::showConnected()
{
    connectionPanel->setText(QStringLiteral("Tilkoblet"));
    statusBar->repaint();
}

void TFTPform::showDisconnected()
{
    connectionPanel->setText(QStringLiteral("Frakoblet"));
    statusBar->repaint();
}

void TFTPform::showProgress(qint64 count)
{
    setProgressPosition(count);
    progressBar->repaint();
    byteCountPanel->setText(QString::number(count));
    statusBar->repaint();
}

void TFTPform::setProgressMaximum(qint64 bytes)
{
    m_maximum = std::max<qint64>(bytes, 0);
    m_shift = 0;
    while ((m_maximum >> m_shift) > std::numeric_limits<int>::max())
        ++m_shift;
    // A range of 0 to 0 would make the bar a busy indicator.
    progressBar->setRange(0, std::max(1, int(m_maximum >> m_shift)));
    setProgressPosition(m_position);
}

void TFTPform::setProgressPosition(qint64 bytes)
{
    m_position = bytes;
    progressBar->setValue(int(std::clamp<qint64>(bytes, 0, m_maximum) >> m_shift));
}

void TFTPform::configureClient()
{
    const FtpTransferSettings& s = ftpSettings();
    client.host = s.FTPserver;
    client.port = s.FTPport;
    client.user = s.FTPbrukernavn;
    client.password = s.FTPpassord;
    client.explicitTls = s.FTPssl;
}

template <class Step>
auto TFTPform::runStep(Step&& step)
{
    struct DeliverEvents {
        TFTPform* form;
        ~DeliverEvents() { QCoreApplication::sendPostedEvents(form, QEvent::MetaCall); }
    } deliver{this};
    return rt::awaitOffThreadResult(std::forward<Step>(step));
}

void TFTPform::connectClient()
{
    // A certificate the user may trust is asked about once, then kept.
    net::withClearTextConsent(
        [this] { net::withCertificateTrust([this] { runStep([this] { client.connect(); }); }); });
}

bool TFTPform::refusedWhileBusy(const QString& Filnavn, bool upload)
{
    if (!m_busy)
        return false;
    ftpSettings().FTPfeilnr = nothingMoved(upload, Filnavn, QStringLiteral("en annen overføring pågår"));
    return true;
}

void TFTPform::prepareFtpSettings()
{
    if (!m_profileDialog)
        throw std::logic_error("FTP-vinduet har ingen dialog for FTP-oppsettet");
    HentFTPOppsett(*m_profileDialog);
}

void TFTPform::SendFil(const QString& Filnavn)
{
    if (refusedWhileBusy(Filnavn, true))
        return;
    const BusyMark busy(m_busy);
    FtpTransferSettings& s = ftpSettings();
    s.FTPfeilnr = FtpOk;
    qint32 result = FtpOk;
    showInFront();
    const QString name = filePart(Filnavn);
    showFileName(name);
    log(QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + Filnavn);
    setProgressPosition(0);
    // Opened once for reading only: what is sized is what is sent.
    QFile file(Filnavn);
    const std::optional<QString> unreadable = openForUpload(file);
    const qint64 size = unreadable ? -1 : file.size();
    setProgressMaximum(size);
    if (unreadable) {
        log(QStringLiteral("FTP: Kan ikke finne filstørrelse, avbryter."));
        s.FTPfeilnr = nothingMoved(true, Filnavn, *unreadable);
        hide();
        return;
    }

    prepareFtpSettings();
    configureClient();
    log(QStringLiteral("FTP: Kobler til ") + client.host + QStringLiteral(" som bruker ") + client.user);
    try {
        connectClient();
    } catch (const std::exception& e) {
        log(QStringLiteral("FTP: Feil nr. 502, kunne ikke koble til"));
        logCause(e);
        result = FtpSendTilkoblingFeilet;
    }

    if (client.connected()) {
        if (!s.FTPmappe.isEmpty() && !s.FTPmappe.endsWith(QLatin1Char('/')))
            s.FTPmappe += QLatin1Char('/');
        const QString remote = s.FTPmappe + name;
        try {
            runStep([&] { client.store(file, remote); });
        } catch (const std::exception& e) {
            // Unlike the other failures this one is an error line with its
            // cause: the file did not reach the server.
            log(QStringLiteral("FEIL: FTP: Feil nr. 500, kan ikke laste opp filen %1 som %2: %3")
                    .arg(Filnavn, remote, causeText(e)));
            result = FtpOverforingFeilet;
        }
        runStep([this] { client.disconnect(); });
        log(QStringLiteral("FTP: Kobler fra."));
    }
    hide();
    s.FTPfeilnr = result;
}

void TFTPform::HentFil(const QString& Filnavn)
{
    if (refusedWhileBusy(Filnavn, false))
        return;
    const BusyMark busy(m_busy);
    FtpTransferSettings& s = ftpSettings();
    s.FTPfeilnr = FtpOk;
    qint32 result = FtpOk;
    showInFront();
    const QString name = filePart(Filnavn);
    showFileName(name);
    log(QStringLiteral("FTP: Starter ny sesjon for nedlasting av ") + name + QStringLiteral(" til ")
        + folderPart(Filnavn));
    setProgressPosition(0);
    const QString remote = s.FTPmappe + name;

    prepareFtpSettings();
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
            s.FTPfeilnr = nothingMoved(false, Filnavn,
                                       QStringLiteral("%1 har ingen fil %2 (%3)").arg(client.host, remote, refusal));
            return;
        }
        setProgressMaximum(size);
        log(QStringLiteral("FTP: filstørrelse ") + QString::number(size));
    } catch (const std::exception& e) {
        log(QStringLiteral("FTP: Feil nr. 501, kunne ikke koble til ") + client.host
            + QStringLiteral(" med brukernavn ") + client.user);
        logCause(e);
        result = FtpHentTilkoblingFeilet;
    }

    // The finished temporary file, once the transfer has succeeded.
    std::optional<QString> received;
    if (client.connected()) {
        if (result == FtpOk) {
            // A name of its own in the target's folder, made without
            // following anything already there; removed unless the whole
            // file arrived.
            QTemporaryFile temporary(Filnavn + QStringLiteral(".XXXXXX.tmp"));
            temporary.setAutoRemove(true);
            try {
                log(QStringLiteral("FTP: Tilkoblet, henter filen ") + remote);
                if (!temporary.open())
                    fileError(QStringLiteral("Kan ikke opprette en midlertidig fil i %1: %2")
                                  .arg(folderPart(Filnavn), temporary.errorString()));
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
                keepPermissions(Filnavn, temporary);
                temporary.setAutoRemove(false);
                received = temporary.fileName();
            } catch (const std::exception& e) {
                log(QStringLiteral("FTP: Feil nr. 500, kan ikke laste ned filen ") + Filnavn
                    + QStringLiteral(". Sjekk at filen ikke er i bruk."));
                logCause(e);
                result = FtpOverforingFeilet;
            }
        }
        runStep([this] { client.disconnect(); });
        log(QStringLiteral("FTP: Kobler fra."));
    }
    hide();

    if (received)
        result = putInPlace(Filnavn, *received, backupPath(Filnavn));
    s.FTPfeilnr = result;
}

qint32 TFTPform::putInPlace(const QString& Filnavn, const QString& temporary, const QString& backup)
{
    // QFile::rename never replaces an existing file.
    if (QFile::remove(backup))
        log(QStringLiteral("FTP: slettet midlertidig fil: ") + backup);
    const bool kept = QFile::rename(Filnavn, backup);
    if (kept)
        log(QStringLiteral("FTP: endret navn på ") + Filnavn + QStringLiteral(" til ") + backup);
    if (QFile::rename(temporary, Filnavn)) {
        log(QStringLiteral("FTP: endret navn på ") + temporary + QStringLiteral(" til ") + Filnavn);
        return FtpOk;
    }
    // The old file goes back where it was, so Filnavn is not left missing.
    if (kept && QFile::rename(backup, Filnavn))
        log(QStringLiteral("FTP: endret navn på ") + backup + QStringLiteral(" til ") + Filnavn);
    log(QStringLiteral("FEIL: FTP: Feil nr. 503, kan ikke sette den nye filen på plass som %1; "
                       "den ligger i %2")
            .arg(Filnavn, temporary));
    return FtpIkkePaaPlass;
}

} // namespace servers
