#include "mailheader.h"

#include "addresslist.h"
#include "encodedwords.h"

namespace net {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

} // namespace

HeaderInfo parseHeader(const QByteArray& raw)
{
    HeaderInfo info;
    bool haveFrom = false, haveSubject = false, haveId = false, haveDate = false;

    auto take = [&](const QByteArray& name, const QByteArray& value) {
        const QByteArray field = name.trimmed();
        auto is = [&](const char* wanted) { return field.compare(wanted, Qt::CaseInsensitive) == 0; };
        if (is("From") && !haveFrom) {
            info.from = visibleText(fromDisplayText(value));
            haveFrom = true;
        } else if (is("Subject") && !haveSubject) {
            info.subject = visibleText(decodeHeaderText(value));
            haveSubject = true;
        } else if (is("Message-ID") && !haveId) {
            info.messageId = decodeUnencoded(value.trimmed(), isValidUtf8(value));
            haveId = true;
        } else if (is("Date") && !haveDate) {
            info.date = decodeUnencoded(value.trimmed(), isValidUtf8(value));
            haveDate = true;
        }
    };

    QByteArray name, value;
    bool inField = false;
    qsizetype pos = 0;
    while (pos < raw.size()) {
        qsizetype end = raw.indexOf('\n', pos);
        if (end < 0)
            end = raw.size();
        QByteArray line = raw.mid(pos, end - pos);
        pos = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            break; // the blank line that ends the header
        if (isBlank(line[0])) {
            if (inField)
                value += line; // unfolding: the line break goes, the white space stays
            continue;
        }
        if (inField)
            take(name, value);
        const qsizetype colon = line.indexOf(':');
        inField = colon > 0;
        if (inField) {
            name = line.left(colon);
            value = line.mid(colon + 1);
        }
    }
    if (inField)
        take(name, value);
    return info;
}

QString listLine(const HeaderInfo& info)
{
    return visibleText(info.from + QStringLiteral("   ") + info.subject);
}

} // namespace net
