// The FTP transfer window: moves one file at a time between a local path and
// the server of the FTP profile, showing the file, the progress and the
// state of the connection while the transfer blocks the program.
#pragma once

#include "ftpclient.h"

#include <QWidget>
#include <array>

class QLabel;
class QProgressBar;
class QStatusBar;

namespace servers {

class TFTPform : public QWidget {
    Q_OBJECT
public:
    explicit TFTPform(QWidget* parent = nullptr);

    // Uploads the local file Filnavn (full path) as FTPmappe + "/" + its file
    // name (the bare file name when FTPmappe is empty). The outcome is left
    // in FTPfeilnr.
    void SendFil(const QString& Filnavn);
    // Downloads FTPmappe + the file name of Filnavn into a temporary file
    // beside Filnavn, then puts it in place, keeping the file it replaces as
    // a backup. The outcome is left in FTPfeilnr.
    void HentFil(const QString& Filnavn);

    QLabel* ftpfil;
    QProgressBar* ProgressBar1;
    QStatusBar* StatusBar1;
    // Panel 0: bytes transferred so far; panel 1: state of the connection.
    std::array<QLabel*, 2> Panels;
    net::FtpClient IdFTP1;

    void FormShow();
    void IdFTP1Connected();
    void IdFTP1Disconnected();
    void IdFTP1Work(qint64 count);

    // The progress in bytes; the bar shows it scaled down when the size does
    // not fit its range.
    void setProgressMaximum(qint64 bytes);
    qint64 progressMaximum() const { return m_maximum; }
    qint64 progressPosition() const { return m_position; }

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void showInFront();
    void setProgressPosition(qint64 bytes);
    // Renames the temporary file over Filnavn, keeping the old one as backup.
    void putInPlace(const QString& Filnavn, const QString& temporary, const QString& backup);

    qint64 m_maximum = 0;
    qint64 m_position = 0;
    int m_shift = 0; // the bar shows bytes >> m_shift
};

extern TFTPform* FTPform;

// The file name part of a path: what follows its last "/".
QString filePart(const QString& path);
// The folder part of a path: everything up to and including its last "/".
QString folderPart(const QString& path);
// The path a download uses beside Filnavn: the file name's extension
// (everything after its first ".") replaced by extension, or "." + extension
// appended to a name without one. Only the file name changes, so a folder
// with a "." in its name keeps the file in its folder; a name that already
// has that extension gets it once more, so the path never is Filnavn itself.
QString transferPath(const QString& Filnavn, const QString& extension);

} // namespace servers
