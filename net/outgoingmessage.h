// A message to send, as the composer fills it in, and its layout on the
// wire (MIME with Poco's MailMessage; names and subject as RFC 2047 encoded
// words where needed, header lines folded).
#pragma once

#include "addresslist.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace net {

// One message to send, as the composer fills it in.
struct OutgoingMail {
    Mailbox sender;
    QList<Mailbox> recipients;
    QString subject;
    QStringList bodyLines;
    // Full path of the one file to attach; empty for none. The file is read
    // only when the message is laid out.
    QString attachmentPath;

    void clear() { *this = OutgoingMail(); }
};

// The message as it goes on the wire, CR LF line ends. Headers: Date (local
// time with its offset), Message-ID, From (when the sender has an address),
// To, Subject, MIME-Version; names and subject in RFC 2047 encoded words
// when they hold anything but printable ASCII. Without an attachment a
// text/plain message, UTF-8 in quoted-printable; with one a multipart/mixed
// message of that text and the file as an application/octet-stream part in
// base64, named by the file's name without its folder. Throws NetError when
// the attachment cannot be read.
QByteArray layoutMessage(const OutgoingMail& mail);

// An address as it goes into the envelope and the headers: the domain in
// its ASCII form (IDNA). Throws NetError for an address that would break
// the protocol (control characters, brackets, white space outside quotes).
QByteArray wireAddress(const QString& address);

} // namespace net
