#include "textcodec.h"

#include <optional>

namespace rt {

namespace {

// Bytes 0x80-0x9F of Windows-1252; the five unassigned ones map to the
// C1 control of the same number so that nothing is dropped.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool isCont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes UTF-8, also accepting encoded surrogates and the two-byte forms
// of NUL, CR and LF. Returns nothing for any other malformed input.
std::optional<QString> decodeUtf8Relaxed(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out.append(QChar(char16_t(b)));
            ++i;
        } else if (b == 0xC0 && i + 1 < n && (p[i + 1] == 0x80 || p[i + 1] == 0x8A || p[i + 1] == 0x8D)) {
            out.append(QChar(p[i + 1] & 0x3F));
            i += 2;
        } else if (b >= 0xC2 && b <= 0xDF) {
            if (i + 1 >= n || !isCont(p[i + 1]))
                return std::nullopt;
            out.append(QChar(char16_t(((b & 0x1F) << 6) | (p[i + 1] & 0x3F))));
            i += 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            if (i + 2 >= n || !isCont(p[i + 1]) || !isCont(p[i + 2]))
                return std::nullopt;
            const char32_t c = ((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
            if (c < 0x800)
                return std::nullopt;
            out.append(QChar(char16_t(c)));
            i += 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            if (i + 3 >= n || !isCont(p[i + 1]) || !isCont(p[i + 2]) || !isCont(p[i + 3]))
                return std::nullopt;
            const char32_t c = ((b & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) | ((p[i + 2] & 0x3F) << 6)
                | (p[i + 3] & 0x3F);
            if (c < 0x10000 || c > 0x10FFFF)
                return std::nullopt;
            const char32_t pair[1] = {c};
            out.append(QString::fromUcs4(pair, 1));
            i += 4;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

void appendUtf8(QByteArray& out, char32_t c)
{
    if (c < 0x80) {
        out.append(char(c));
    } else if (c < 0x800) {
        out.append(char(0xC0 | (c >> 6)));
        out.append(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.append(char(0xE0 | (c >> 12)));
        out.append(char(0x80 | ((c >> 6) & 0x3F)));
        out.append(char(0x80 | (c & 0x3F)));
    } else {
        out.append(char(0xF0 | (c >> 18)));
        out.append(char(0x80 | ((c >> 12) & 0x3F)));
        out.append(char(0x80 | ((c >> 6) & 0x3F)));
        out.append(char(0x80 | (c & 0x3F)));
    }
}

} // namespace

QChar cp1252ToUnicode(unsigned char byte)
{
    if (byte >= 0x80 && byte <= 0x9F)
        return QChar(kCp1252High[byte - 0x80]);
    return QChar(char16_t(byte));
}

QString decodeFileText(const QByteArray& bytes)
{
    if (auto text = decodeUtf8Relaxed(bytes))
        return *text;
    QString out;
    out.reserve(bytes.size());
    for (const char c : bytes)
        out.append(cp1252ToUnicode(static_cast<unsigned char>(c)));
    return out;
}

QStringList decodeFileLines(const QByteArray& bytes)
{
    const bool utf8 = decodeUtf8Relaxed(bytes).has_value();
    QStringList lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        const qsizetype next = end < 0 ? bytes.size() : end + 1;
        if (end < 0)
            end = bytes.size();
        QByteArray line = bytes.mid(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(utf8 ? *decodeUtf8Relaxed(line) : decodeFileText(line));
        start = next;
    }
    return lines;
}

QByteArray encodeFileText(const QString& text)
{
    QByteArray out;
    out.reserve(text.size() + 16);
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text.at(i).unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            appendUtf8(out, QChar::surrogateToUcs4(u, text.at(i + 1).unicode()));
            ++i;
        } else if (u == 0 || u == '\r' || u == '\n') {
            out.append(char(0xC0));
            out.append(char(0x80 | u));
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

} // namespace rt
