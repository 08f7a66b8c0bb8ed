#include "ftpunit.h"

#include "felles.h"
#include "ftpsettings.h"
#include "serveroppsett.h"
#include "state.h"
#include "textfil.h"
#include "windowplace.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStatusBar>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <limits>

namespace servers {

TFTPform* FTPform = nullptr;

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

} // namespace

QString filePart(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString folderPart(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString transferPath(const QString& Filnavn, const QString& extension)
{
    const QString path = folderPart(Filnavn) + rt::ChangeExtension(filePart(Filnavn), extension);
    return path == Filnavn ? Filnavn + QLatin1Char('.') + extension : path;
}

TFTPform::TFTPform(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::WindowMinimizeButtonHint)
{
    setObjectName(QStringLiteral("FTPform"));
    setWindowTitle(QStringLiteral("FTPform"));
    setFont(dialogFont());
    move(408, 424);
    resize(209, 64);

    ftpfil = new QLabel(QStringLiteral("filnavn.ending"), this);
    ftpfil->setObjectName(QStringLiteral("ftpfil"));
    ftpfil->setGeometry(4, 2, 201, 14);
    ftpfil->setAlignment(Qt::AlignCenter);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(4, 19, 201, 17);
    ProgressBar1->setTextVisible(false);
    setProgressMaximum(0);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    Panels[0] = new QLabel(QStringLiteral("0"), StatusBar1);
    Panels[0]->setObjectName(QStringLiteral("StatusBar1Panel0"));
    Panels[0]->setFixedWidth(60);
    Panels[0]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Panels[1] = new QLabel(QStringLiteral("Klar"), StatusBar1);
    Panels[1]->setObjectName(QStringLiteral("StatusBar1Panel1"));
    Panels[1]->setFixedWidth(50);
    StatusBar1->addWidget(Panels[0]);
    StatusBar1->addWidget(Panels[1]);

    IdFTP1.onConnected = [this] { IdFTP1Connected(); };
    IdFTP1.onDisconnected = [this] { IdFTP1Disconnected(); };
    IdFTP1.onWork = [this](qint64 count) { IdFTP1Work(count); };
}

void TFTPform::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int h = StatusBar1->sizeHint().height();
    StatusBar1->setGeometry(0, height() - h, width(), h);
}

void TFTPform::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFTPform::FormShow()
{
    setWindowTitle(ftpSettings().FTPserver);
    ftpfil->clear();
    ftpfil->repaint();
}

void TFTPform::showInFront()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    // The window system shows a window asynchronously, and until it has, a
    // repaint draws nothing. The transfer then blocks the event loop, so wait
    // here, briefly, handling only window-system and posted events: no
    // timers and no user input run in the middle of an operation.
    QDeadlineTimer deadline(kExposeWaitMs);
    while (!(windowHandle() && windowHandle()->isExposed()) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers);
        if (!(windowHandle() && windowHandle()->isExposed()))
            QThread::msleep(2);
    }
}

void TFTPform::IdFTP1Connected()
{
    Panels[1]->setText(QStringLiteral("Tilkoblet"));
    StatusBar1->repaint();
}

void TFTPform::IdFTP1Disconnected()
{
    Panels[1]->setText(QStringLiteral("Frakoblet"));
    StatusBar1->repaint();
}

void TFTPform::IdFTP1Work(qint64 count)
{
    setProgressPosition(count);
    ProgressBar1->repaint();
    Panels[0]->setText(QString::number(count));
    StatusBar1->repaint();
}

void TFTPform::setProgressMaximum(qint64 bytes)
{
    m_maximum = std::max<qint64>(bytes, 0);
    m_shift = 0;
    while ((m_maximum >> m_shift) > std::numeric_limits<int>::max())
        ++m_shift;
    // A range of 0 to 0 would make the bar a busy indicator.
    ProgressBar1->setRange(0, std::max(1, int(m_maximum >> m_shift)));
    setProgressPosition(m_position);
}

void TFTPform::setProgressPosition(qint64 bytes)
{
    m_position = bytes;
    ProgressBar1->setValue(int(std::clamp<qint64>(bytes, 0, m_maximum) >> m_shift));
}

void TFTPform::SendFil(const QString& Filnavn)
{
    FtpTransferSettings& s = ftpSettings();
    s.FTPfeilnr = FtpOk;
    showInFront();
    const QString name = filePart(Filnavn);
    ftpfil->setText(name);
    ftpfil->repaint();
    log(QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + Filnavn);
    setProgressPosition(0);
    const qint64 size = rt::FileSizeOf(Filnavn);
    setProgressMaximum(size);
    if (size == -1) {
        log(QStringLiteral("FTP: Kan ikke finne filstørrelse, avbryter."));
        hide();
        return;
    }

    HentFTPOppsett();
    IdFTP1.host = s.FTPserver;
    IdFTP1.port = s.FTPport;
    IdFTP1.user = s.FTPbrukernavn;
    IdFTP1.password = s.FTPpassord;
    IdFTP1.explicitTls = s.FTPssl;
    log(QStringLiteral("FTP: Kobler til ") + IdFTP1.host + QStringLiteral(" som bruker ") + IdFTP1.user);
    try {
        IdFTP1.connect();
    } catch (const std::exception& e) {
        log(QStringLiteral("FTP: Feil nr. 502, kunne ikke koble til"));
        logCause(e);
        s.FTPfeilnr = FtpSendTilkoblingFeilet;
    }

    if (IdFTP1.connected()) {
        if (!s.FTPmappe.isEmpty() && !s.FTPmappe.endsWith(QLatin1Char('/')))
            s.FTPmappe += QLatin1Char('/');
        const QString remote = s.FTPmappe + name;
        try {
            QFile file(Filnavn);
            if (!file.open(QIODevice::ReadOnly))
                fileError(QStringLiteral("Kan ikke åpne %1: %2").arg(Filnavn, file.errorString()));
            IdFTP1.store(file, remote);
        } catch (const std::exception& e) {
            // Unlike the other failures this one is an error line with its
            // cause: the file did not reach the server.
            log(QStringLiteral("FEIL: FTP: Feil nr. 500, kan ikke laste opp filen %1 som %2: %3")
                    .arg(Filnavn, remote, causeText(e)));
            s.FTPfeilnr = FtpOverforingFeilet;
        }
        IdFTP1.disconnect();
        log(QStringLiteral("FTP: Kobler fra."));
    }
    hide();
}

void TFTPform::HentFil(const QString& Filnavn)
{
    FtpTransferSettings& s = ftpSettings();
    s.FTPfeilnr = FtpOk;
    showInFront();
    const QString name = filePart(Filnavn);
    ftpfil->setText(name);
    ftpfil->repaint();
    log(QStringLiteral("FTP: Starter ny sesjon for nedlasting av ") + name + QStringLiteral(" til ")
        + folderPart(Filnavn));
    setProgressPosition(0);
    const QString remote = s.FTPmappe + name;
    const QString temporary = transferPath(Filnavn, QStringLiteral("tmp"));
    const QString backup = transferPath(Filnavn, QStringLiteral("old"));

    HentFTPOppsett();
    IdFTP1.host = s.FTPserver;
    IdFTP1.port = s.FTPport;
    IdFTP1.user = s.FTPbrukernavn;
    IdFTP1.password = s.FTPpassord;
    IdFTP1.explicitTls = s.FTPssl;
    log(QStringLiteral("FTP: Kobler til ") + IdFTP1.host + QStringLiteral(" som bruker ") + IdFTP1.user);
    repaint();

    qint64 size = -1;
    try {
        IdFTP1.connect();
        size = IdFTP1.size(remote);
        if (size == -1) {
            log(QStringLiteral("FTP: finner ikke filen ") + remote + QStringLiteral(", avbryter forbindelse"));
            IdFTP1.disconnect();
            log(QStringLiteral("FTP: ") + IdFTP1.host + QStringLiteral(" frakoblet"));
            return;
        }
        setProgressMaximum(size);
        log(QStringLiteral("FTP: filstørrelse ") + QString::number(size));
    } catch (const std::exception& e) {
        log(QStringLiteral("FTP: Feil nr. 501, kunne ikke koble til ") + IdFTP1.host
            + QStringLiteral(" med brukernavn ") + IdFTP1.user);
        logCause(e);
        s.FTPfeilnr = FtpHentTilkoblingFeilet;
    }

    if (IdFTP1.connected()) {
        try {
            log(QStringLiteral("FTP: Tilkoblet, henter filen ") + remote);
            QFile file(temporary);
            if (file.exists() && !file.remove())
                fileError(QStringLiteral("Kan ikke slette %1: %2").arg(temporary, file.errorString()));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                fileError(QStringLiteral("Kan ikke opprette %1: %2").arg(temporary, file.errorString()));
            const qint64 received = IdFTP1.retrieve(remote, file);
            if (!file.flush())
                fileError(QStringLiteral("Kan ikke skrive %1: %2").arg(temporary, file.errorString()));
            file.close();
            // A transfer that ended early with a success reply is still short.
            if (size >= 0 && received != size)
                fileError(QStringLiteral("%1 byte mottatt av %2").arg(received).arg(size));
        } catch (const std::exception& e) {
            log(QStringLiteral("FTP: Feil nr. 500, kan ikke laste ned filen ") + Filnavn
                + QStringLiteral(". Sjekk at filen ikke er i bruk."));
            logCause(e);
            s.FTPfeilnr = FtpOverforingFeilet;
        }
        IdFTP1.disconnect();
        log(QStringLiteral("FTP: Kobler fra."));
    }
    hide();

    if (s.FTPfeilnr == FtpOk && rt::FileSizeOf(temporary) > 0)
        putInPlace(Filnavn, temporary, backup);
}

void TFTPform::putInPlace(const QString& Filnavn, const QString& temporary, const QString& backup)
{
    // QFile::rename never replaces an existing file.
    if (QFile::remove(backup))
        log(QStringLiteral("FTP: slettet midlertidig fil: ") + backup);
    const bool kept = QFile::rename(Filnavn, backup);
    if (kept)
        log(QStringLiteral("FTP: endret navn på ") + Filnavn + QStringLiteral(" til ") + backup);
    if (QFile::rename(temporary, Filnavn)) {
        log(QStringLiteral("FTP: endret navn på ") + temporary + QStringLiteral(" til ") + Filnavn);
        return;
    }
    // The old file goes back where it was, so Filnavn is not left missing.
    if (kept && QFile::rename(backup, Filnavn))
        log(QStringLiteral("FTP: endret navn på ") + backup + QStringLiteral(" til ") + Filnavn);
    log(QStringLiteral("FEIL: FTP: Feil nr. 503, kan ikke sette den nye filen på plass som %1; "
                       "den ligger i %2")
            .arg(Filnavn, temporary));
    ftpSettings().FTPfeilnr = FtpIkkePaaPlass;
}

} // namespace servers
