// What the watcher shows of a message header: sender and subject.
#pragma once

#include <QByteArray>
#include <QString>

namespace net {

struct HeaderInfo {
    QString from;      // display text of the From address (fromDisplayText)
    QString subject;   // decoded Subject
    QString messageId; // Message-ID as written
    QString date;      // Date as written
};

// Parses a raw header (lines ending in CR LF or LF, folded lines allowed).
HeaderInfo parseHeader(const QByteArray& raw);

// The first address of a From value as display text: the display name, a
// space and the address in < >; the name in double quotes when it holds a
// character other than a letter, a digit, a space or one of
// !#$%&'*+-/=?_`{}|~; the bare address when there is no name or the name
// equals the address. Encoded words in the name are decoded.
QString fromDisplayText(const QByteArray& rawValue);

// An unstructured header value: unfolded, RFC 2047 encoded words decoded in
// any charset Qt knows; other bytes read as UTF-8 when valid, otherwise as
// Windows-1252, so nothing is dropped silently.
QString decodeHeaderText(const QByteArray& rawValue);

// One line of the message list: sender, three spaces, subject.
QString listLine(const HeaderInfo& info);

} // namespace net
