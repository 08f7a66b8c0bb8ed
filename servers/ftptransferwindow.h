// The FTP transfer window: moves one file at a time between a local path and
// the server of the FTP profile, showing the file, the progress and the
// state of the connection. The network steps run on a worker thread, so the
// window keeps painting (and its progress moves) while the call waits for
// the transfer to end.
#pragma once

#include "ftpclient.h"
#include "ftpsettings.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QStatusBar;

namespace servers {

class ServerProfileDialog;

class FtpTransferWindow : public QWidget {
    Q_OBJECT
public:
    explicit FtpTransferWindow(QWidget* parent = nullptr);

    // The dialog a transfer shows the FTP profile in when the profile names
    // no server; a transfer needs one.
    void setProfileDialog(ServerProfileDialog& dialog) { m_profileDialog = &dialog; }

    // Uploads the local file path (full path) as folder + "/" + its file
    // name (the bare file name when the transfer settings' folder is empty).
    FtpResult upload(const QString& path);
    // Downloads folder + the file name of path into a temporary file of its
    // own beside path, then puts it in place, keeping the file it replaces
    // as path + ".old".
    FtpResult download(const QString& path);

    QLabel* fileLabel; // the file name of the current transfer
    QProgressBar* progressBar;
    QStatusBar* statusBar;
    QLabel* byteCountPanel; // bytes transferred so far
    QLabel* connectionPanel; // state of the connection
    // Its connected, disconnected and work callbacks fire on the thread
    // that runs the network step; the window hands them to its own thread.
    net::FtpClient client;

    // What the window does when it becomes visible: caption and label.
    void prepareForShow();
    // The client's events, on the window thread.
    void showConnected();
    void showDisconnected();
    void showProgress(qint64 count);

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
    void showFileName(const QString& name);
    void setProgressPosition(qint64 bytes);
    void configureClient();
    // Runs one network step of the client off the window thread, then
    // handles the client events the step posted, so the window shows them
    // before the next step.
    template <class Step>
    auto runStep(Step&& step);
    // A call made while a transfer runs (from a timer of the window thread)
    // is refused, with an error line: the client serves one transfer at a
    // time. True when this call is refused.
    bool refusedWhileBusy(const QString& path, bool upload);
    // Connects off the window thread; asks about a certificate the user may trust.
    void connectClient();

    // Readies the FTP settings from the profile, in the profile dialog.
    void prepareTransferSettings();

    QPointer<ServerProfileDialog> m_profileDialog;
    bool m_busy = false;
    qint64 m_maximum = 0;
    qint64 m_position = 0;
    int m_shift = 0; // the bar shows bytes >> m_shift
};


} // namespace servers
