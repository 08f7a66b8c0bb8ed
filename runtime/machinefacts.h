// Command-line switches and facts about the machine and its network.
#pragma once

#include <QString>
#include <QStringList>

namespace rt {

// Reads --debug, -install, -ip, --caption and --user into the runtime state.
void applySwitches(const QStringList& args);
QString computerName();
QString domainName();
// The -ip switch's address; else none off a domain, else the first IPv4
// address ("0.0.0.0" when there is none).
QString ipAddress();
QString spoolFolderPath();
QString tempFolder();
// Logs "LOGIN: " with the user, the machine and its address.
void logLogin();

} // namespace rt
