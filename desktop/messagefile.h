// The file an opened message is handed to the desktop's mail program in:
// "temp.eml" in the program's temporary folder, written anew for each
// message and readable by the user alone.
#pragma once

#include <QByteArray>
#include <QString>

namespace desktop {

struct MessageFile {
    QString path;  // where the message lies (or was to lie)
    QString error; // empty once written; else "Kan ikke lagre meldingen i <path>: <reason>"
    bool written() const { return error.isEmpty(); }
};

// Writes message, byte for byte, as "temp.eml" in folder (ending in "/"
// or not). The bytes go to a new file that is renamed over the old one, so
// the mail program never reads half a message; a link or anything but a
// regular file planted under that name is refused, never written through.
MessageFile writeMessageFile(const QString& folder, const QByteArray& message);

} // namespace desktop
