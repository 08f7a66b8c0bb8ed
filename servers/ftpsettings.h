// The FTP transfer settings: process-wide values shared by the profile
// routines, which fill them from the FTP profile, and the FTP window, which
// uses them for its transfers.
#pragma once

#include <QString>
#include <cstdint>

namespace servers {

// Host name of the maker's public download server: the server of the
// default FTP profile and the value of server at program start.
QString defaultFtpServer();

// What a transfer came to. The number is the one its log lines give after
// "Feil nr.".
enum class FtpResult : qint32 {
    Done = 0, // the file was moved
    TransferFailed = 500, // the transfer of the file failed (download or upload)
    DownloadConnectFailed = 501, // download: connecting, logging in or asking the size failed
    UploadConnectFailed = 502, // upload: connecting or logging in failed
    NotPutInPlace = 503, // download: the new file could not be put in place; it stays in the temporary file
    // Nothing was moved: no readable local file to send, no remote file to
    // fetch, or another transfer was running.
    NothingTransferred = 504,
};

// The number a result's log lines give.
constexpr int errorNumber(FtpResult result)
{
    return int(result);
}

struct FtpTransferSettings {
    QString server = defaultFtpServer();
    // Folder on the server; set by the caller of a transfer (the upload
    // may append "/").
    QString folder;
    QString user = QStringLiteral("anonymous");
    QString password = QStringLiteral("kvistgang");
    // The profile's "port" when it is a whole number from 1 to 65535, else 21.
    std::uint16_t port = 21;
    // The profile's "SSL": explicit FTPS (AUTH TLS) for login and data.
    bool explicitTls = false;
};

FtpTransferSettings& ftpSettings();
// Back to the values at program start; tests call it between cases.
void resetFtpSettings();

} // namespace servers
