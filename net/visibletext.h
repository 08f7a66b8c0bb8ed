// Text from a server or a message as it may be shown on one line.
#pragma once

#include <QString>

namespace net {

// Tab, CR, LF and the line and paragraph separators become a blank; every
// other C0 or C1 control character, DEL and the bidirectional embeddings,
// overrides and isolates (U+202A to U+202E, U+2066 to U+2069) become the
// mark U+FFFD, so a header or a server's reply cannot break the line, hide
// text or turn it around.
QString visibleText(QString text);

} // namespace net
