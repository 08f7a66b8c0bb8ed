// The FTP transfer settings: process-wide values shared by the profile
// routines, which fill them from the FTP profile, and the FTP window, which
// uses them and leaves its outcome in FTPfeilnr.
#pragma once

#include <QString>
#include <cstdint>

namespace servers {

// Host name of the maker's public download server: the server of the
// default FTP profile and the value of FTPserver at program start.
QString standardFtpServer();

// Outcomes left in FTPfeilnr.
enum FtpFeil : qint32 {
    FtpOk = 0, // no error recorded
    FtpOverforingFeilet = 500, // the transfer of the file failed (download or upload)
    FtpHentTilkoblingFeilet = 501, // download: connecting, logging in or asking the size failed
    FtpSendTilkoblingFeilet = 502, // upload: connecting or logging in failed
    FtpIkkePaaPlass = 503, // download: the new file could not be put in place; it stays in the temporary file
    // Nothing was moved: no readable local file to send, no remote file to
    // fetch, or another transfer was running.
    FtpIngentingOverfort = 504,
};

struct FtpTransferSettings {
    QString FTPserver = standardFtpServer();
    // Folder on the server; set by the caller of a transfer (the upload
    // may append "/").
    QString FTPmappe;
    QString FTPbrukernavn = QStringLiteral("anonymous");
    QString FTPpassord = QStringLiteral("kvistgang");
    // The profile's "port" when it is a whole number from 1 to 65535, else 21.
    std::uint16_t FTPport = 21;
    // The profile's "SSL": explicit FTPS (AUTH TLS) for login and data.
    bool FTPssl = false;
    qint32 FTPfeilnr = FtpOk;
};

FtpTransferSettings& ftpSettings();
// Back to the values at program start; tests call it between cases.
void resetFtpSettings();

} // namespace servers
