#include "visibletext.h"

namespace net {

QString visibleText(QString text)
{
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (u == u'\t' || u == u'\r' || u == u'\n' || u == 0x2028 || u == 0x2029)
            c = u' ';
        else if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069))
            c = QChar::ReplacementCharacter;
    }
    return text;
}

} // namespace net
