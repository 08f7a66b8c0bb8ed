#include "encodedwords.h"

#include "textcodec.h"

#include <QStringDecoder>

#include <optional>
#include <vector>

namespace net {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

} // namespace

// Removes the line breaks of a folded value. A break followed by white space
// is a fold and leaves that white space; any other break (not allowed inside
// a value, but seen) becomes one space so the words around it stay apart.
QByteArray unfoldHeaderValue(const QByteArray& raw)
{
    QByteArray out;
    out.reserve(raw.size());
    const qsizetype n = raw.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = raw[i];
        if (!isLineBreak(c)) {
            out.append(c);
            continue;
        }
        while (i + 1 < n && isLineBreak(raw[i + 1]))
            ++i;
        if (i + 1 < n && !isBlank(raw[i + 1]))
            out.append(' ');
    }
    return out;
}

namespace {

// Length of the well-formed UTF-8 sequence at p[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when there is none.
int utf8SequenceLength(const unsigned char* p, qsizetype n, qsizetype i)
{
    const unsigned char b = p[i];
    if (b < 0x80)
        return 1;
    auto contAt = [&](qsizetype k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return i + k < n && p[i + k] >= lo && p[i + k] <= hi;
    };
    if (b >= 0xC2 && b <= 0xDF)
        return contAt(1) ? 2 : 0;
    if (b == 0xE0)
        return contAt(1, 0xA0) && contAt(2) ? 3 : 0;
    if (b == 0xED)
        return contAt(1, 0x80, 0x9F) && contAt(2) ? 3 : 0;
    if (b >= 0xE1 && b <= 0xEF)
        return contAt(1) && contAt(2) ? 3 : 0;
    if (b == 0xF0)
        return contAt(1, 0x90) && contAt(2) && contAt(3) ? 4 : 0;
    if (b >= 0xF1 && b <= 0xF3)
        return contAt(1) && contAt(2) && contAt(3) ? 4 : 0;
    if (b == 0xF4)
        return contAt(1, 0x80, 0x8F) && contAt(2) && contAt(3) ? 4 : 0;
    return 0;
}

} // namespace

bool isValidUtf8(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const int len = utf8SequenceLength(p, n, i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

namespace {

// UTF-8 where the bytes form UTF-8; each byte that does not is read as
// Windows-1252, so a mislabelled Latin-1 word still reads instead of
// turning into replacement characters.
QString decodeUtf8OrCp1252Bytes(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const int len = utf8SequenceLength(p, n, i);
        if (len == 0) {
            out.append(rt::cp1252ToUnicode(p[i]));
            ++i;
        } else if (len == 1) {
            out.append(QChar(char16_t(p[i])));
            ++i;
        } else {
            out.append(QString::fromUtf8(bytes.constData() + i, len));
            i += len;
        }
    }
    return out;
}

QString decodeCp1252(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (const char c : bytes)
        out.append(rt::cp1252ToUnicode(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

// Bytes outside encoded words: the caller decides once per value whether
// the value is UTF-8, so one stray byte does not mix two readings.
QString decodeUnencoded(const QByteArray& bytes, bool utf8)
{
    return utf8 ? QString::fromUtf8(bytes) : decodeCp1252(bytes);
}

namespace {

// The charset of an encoded word without an RFC 2231 language suffix.
QByteArray charsetName(const QByteArray& charset)
{
    const qsizetype star = charset.indexOf('*');
    return star < 0 ? charset : charset.left(star);
}

bool isUtf8Charset(const QByteArray& name)
{
    return QStringConverter::encodingForName(name.constData()) == QStringConverter::Utf8;
}

bool knownCharset(const QByteArray& name)
{
    return !name.isEmpty() && (isUtf8Charset(name) || QStringDecoder(name.constData()).isValid());
}

// Decodes the bytes of one or more adjacent encoded words in one charset.
// When the charset does not accept the bytes they are read as UTF-8 or
// Windows-1252 instead, the usual truth behind a wrong label.
QString decodeCharset(const QByteArray& name, const QByteArray& bytes)
{
    if (isUtf8Charset(name))
        return decodeUtf8OrCp1252Bytes(bytes);
    QStringDecoder decoder(name.constData(), QStringConverter::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return decodeUtf8OrCp1252Bytes(bytes);
    return text;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<QByteArray> decodeQ(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out.append(' ');
        } else if (c == '=') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out.append(char(hi * 16 + lo));
            i += 2;
        } else {
            out.append(c);
        }
    }
    return out;
}

std::optional<QByteArray> decodeB(const QByteArray& text)
{
    // A single character left over cannot carry a byte: the word was cut.
    if (text.size() % 4 == 1)
        return std::nullopt;
    auto result = QByteArray::fromBase64Encoding(
        text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return result.decoded;
}

struct ValuePiece {
    QByteArray literal;  // plain bytes, or the text of an encoded word kept as is
    QByteArray charset;  // set for a decodable encoded word
    QByteArray bytes;    // the decoded bytes of that word
    bool encoded = false;
};

// Recognises an encoded word =?charset?Q|B?text?= at raw[start]. On success
// fills the piece and returns the index just past the word.
qsizetype parseEncodedWord(const QByteArray& raw, qsizetype start, ValuePiece& piece)
{
    const qsizetype n = raw.size();
    if (start + 1 >= n || raw[start] != '=' || raw[start + 1] != '?')
        return -1;
    const qsizetype q1 = raw.indexOf('?', start + 2);
    if (q1 < 0 || q1 + 2 >= n || raw[q1 + 2] != '?')
        return -1;
    const QByteArray charset = raw.mid(start + 2, q1 - start - 2);
    for (const char c : charset) {
        if (isBlank(c) || isLineBreak(c) || static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E)
            return -1;
    }
    const char encoding = raw[q1 + 1];
    const qsizetype q3 = raw.indexOf('?', q1 + 3);
    if (q3 < 0 || q3 + 1 >= n || raw[q3 + 1] != '=')
        return -1;
    const QByteArray text = raw.mid(q1 + 3, q3 - q1 - 3);
    for (const char c : text) {
        if (isBlank(c) || isLineBreak(c))
            return -1;
    }
    std::optional<QByteArray> bytes;
    if (encoding == 'Q' || encoding == 'q')
        bytes = decodeQ(text);
    else if (encoding == 'B' || encoding == 'b')
        bytes = decodeB(text);
    else
        return -1;
    const QByteArray name = charsetName(charset);
    if (!bytes || !knownCharset(name))
        return -1;
    piece.charset = name;
    piece.bytes = *bytes;
    piece.encoded = true;
    return q3 + 2;
}

std::vector<ValuePiece> splitEncodedWords(const QByteArray& raw)
{
    std::vector<ValuePiece> pieces;
    auto literal = [&]() -> QByteArray& {
        if (pieces.empty() || pieces.back().encoded)
            pieces.emplace_back();
        return pieces.back().literal;
    };
    for (qsizetype i = 0; i < raw.size();) {
        ValuePiece word;
        const qsizetype end = parseEncodedWord(raw, i, word);
        if (end > 0) {
            pieces.push_back(std::move(word));
            i = end;
        } else {
            literal().append(raw[i]);
            ++i;
        }
    }
    return pieces;
}

bool onlyBlanks(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (!isBlank(c))
            return false;
    }
    return true;
}

} // namespace

// Decodes an unfolded value: encoded words in their charset, the rest as
// UTF-8 or Windows-1252. Encoded words that follow each other with only
// white space between them are joined without it, and their bytes are
// decoded together when the charset is the same, because senders split a
// multi-byte character across two words more often than they should.
QString decodeEncodedWords(const QByteArray& raw)
{
    const bool utf8 = isValidUtf8(raw);
    const std::vector<ValuePiece> pieces = splitEncodedWords(raw);
    QString out;
    const std::size_t count = pieces.size();
    for (std::size_t i = 0; i < count;) {
        const ValuePiece& piece = pieces[i];
        if (!piece.encoded) {
            const bool between = i > 0 && i + 1 < count && onlyBlanks(piece.literal);
            if (!between)
                out += decodeUnencoded(piece.literal, utf8);
            ++i;
            continue;
        }
        QByteArray bytes = piece.bytes;
        std::size_t next = i + 1;
        while (true) {
            std::size_t k = next;
            if (k < count && !pieces[k].encoded && onlyBlanks(pieces[k].literal))
                ++k;
            if (k >= count || !pieces[k].encoded
                || pieces[k].charset.compare(piece.charset, Qt::CaseInsensitive) != 0)
                break;
            bytes += pieces[k].bytes;
            next = k + 1;
        }
        out += decodeCharset(piece.charset, bytes);
        i = next;
    }
    return out;
}

QString decodeHeaderText(const QByteArray& rawValue)
{
    return decodeEncodedWords(unfoldHeaderValue(rawValue)).trimmed();
}

} // namespace net
