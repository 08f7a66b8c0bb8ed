// What the watcher shows of a message header: sender and subject.
#pragma once

#include "visibletext.h"

#include <QByteArray>
#include <QString>

namespace net {

struct HeaderInfo {
    QString from;      // display text of the From address (fromDisplayText, then visibleText)
    QString subject;   // decoded Subject (decodeHeaderText, then visibleText)
    QString messageId; // Message-ID as written
    QString date;      // Date as written
};

// Parses a raw header (lines ending in CR LF or LF, folded lines allowed).
HeaderInfo parseHeader(const QByteArray& raw);

// One line of the message list: sender, three spaces, subject, made visible.
QString listLine(const HeaderInfo& info);

} // namespace net
