#include "mailheader.h"

#include "textcodec.h"

#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace net {

namespace {

bool isWsp(char c) { return c == ' ' || c == '\t'; }
bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

// Removes the line breaks of a folded value. A break followed by white space
// is a fold and leaves that white space; any other break (not allowed inside
// a value, but seen) becomes one space so the words around it stay apart.
QByteArray unfold(const QByteArray& raw)
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
        if (i + 1 < n && !isWsp(raw[i + 1]))
            out.append(' ');
    }
    return out;
}

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

// Bytes outside encoded words: the caller decides once per value whether
// the value is UTF-8, so one stray byte does not mix two readings.
QString decodeRaw(const QByteArray& bytes, bool utf8)
{
    return utf8 ? QString::fromUtf8(bytes) : decodeCp1252(bytes);
}

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

struct Piece {
    QByteArray literal;  // plain bytes, or the text of an encoded word kept as is
    QByteArray charset;  // set for a decodable encoded word
    QByteArray bytes;    // the decoded bytes of that word
    bool encoded = false;
};

// Recognises an encoded word =?charset?Q|B?text?= at raw[start]. On success
// fills the piece and returns the index just past the word.
qsizetype parseEncodedWord(const QByteArray& raw, qsizetype start, Piece& piece)
{
    const qsizetype n = raw.size();
    if (start + 1 >= n || raw[start] != '=' || raw[start + 1] != '?')
        return -1;
    const qsizetype q1 = raw.indexOf('?', start + 2);
    if (q1 < 0 || q1 + 2 >= n || raw[q1 + 2] != '?')
        return -1;
    const QByteArray charset = raw.mid(start + 2, q1 - start - 2);
    for (const char c : charset) {
        if (isWsp(c) || isLineBreak(c) || static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E)
            return -1;
    }
    const char encoding = raw[q1 + 1];
    const qsizetype q3 = raw.indexOf('?', q1 + 3);
    if (q3 < 0 || q3 + 1 >= n || raw[q3 + 1] != '=')
        return -1;
    const QByteArray text = raw.mid(q1 + 3, q3 - q1 - 3);
    for (const char c : text) {
        if (isWsp(c) || isLineBreak(c))
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

std::vector<Piece> splitEncodedWords(const QByteArray& raw)
{
    std::vector<Piece> pieces;
    auto literal = [&]() -> QByteArray& {
        if (pieces.empty() || pieces.back().encoded)
            pieces.emplace_back();
        return pieces.back().literal;
    };
    for (qsizetype i = 0; i < raw.size();) {
        Piece word;
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

bool onlyWsp(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (!isWsp(c))
            return false;
    }
    return true;
}

// Decodes an unfolded value: encoded words in their charset, the rest as
// UTF-8 or Windows-1252. Encoded words that follow each other with only
// white space between them are joined without it, and their bytes are
// decoded together when the charset is the same, because senders split a
// multi-byte character across two words more often than they should.
QString decodeUnfolded(const QByteArray& raw)
{
    const bool utf8 = isValidUtf8(raw);
    const std::vector<Piece> pieces = splitEncodedWords(raw);
    QString out;
    const std::size_t count = pieces.size();
    for (std::size_t i = 0; i < count;) {
        const Piece& piece = pieces[i];
        if (!piece.encoded) {
            const bool between = i > 0 && i + 1 < count && onlyWsp(piece.literal);
            if (!between)
                out += decodeRaw(piece.literal, utf8);
            ++i;
            continue;
        }
        QByteArray bytes = piece.bytes;
        std::size_t next = i + 1;
        while (true) {
            std::size_t k = next;
            if (k < count && !pieces[k].encoded && onlyWsp(pieces[k].literal))
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

// ---------------------------------------------------------------------------
// Address parsing (RFC 5322 mailbox, read leniently).

enum class TokenKind { Atom, Quoted, Comment, Special };

struct Token {
    TokenKind kind;
    // Atom or special as written; quoted/comment content unescaped. Where
    // nothing needs unescaping the text is a view of the tokenized bytes, so
    // a long value of short tokens costs no allocation per token.
    QByteArray text;
    bool spaceBefore = false;
};

using Tokens = std::span<const Token>;

bool isSpecial(char c)
{
    switch (c) {
    case '<': case '>': case ',': case ';': case ':': case '@': case '.':
        return true;
    default:
        return false;
    }
}

// The bytes of raw from begin to end as a view; raw outlives the tokens.
QByteArray view(const QByteArray& raw, qsizetype begin, qsizetype end)
{
    return QByteArray::fromRawData(raw.constData() + begin, end - begin);
}

// The content of a quoted string or comment starting after its opening
// character, up to the closing one; returns the index just past it, or the
// end when it is missing. Comments nest.
qsizetype delimited(const QByteArray& raw, qsizetype i, char close, QByteArray& text)
{
    const qsizetype n = raw.size();
    const qsizetype begin = i;
    bool escaped = false;
    int depth = 1;
    for (; i < n; ++i) {
        const char c = raw[i];
        if (c == '\\' && i + 1 < n) {
            escaped = true;
            ++i;
        } else if (close == ')' && c == '(') {
            ++depth;
        } else if (c == close && --depth == 0) {
            break;
        }
    }
    const qsizetype end = i;
    if (!escaped) {
        text = view(raw, begin, end);
    } else {
        text.reserve(end - begin);
        for (qsizetype k = begin; k < end; ++k) {
            if (raw[k] == '\\' && k + 1 < end)
                ++k;
            text.append(raw[k]);
        }
    }
    return end < n ? end + 1 : n;
}

// The tokens of raw; their texts may be views of raw, which must outlive them.
std::vector<Token> tokenize(const QByteArray& raw)
{
    // Every token but the first starts at or after a byte that ends the one
    // before it; reserving for that many spares a long value the copies of
    // a growing vector.
    qsizetype bound = 1;
    for (const char c : raw)
        bound += (isWsp(c) || isLineBreak(c) || isSpecial(c) || c == '"' || c == '(' || c == ']') ? 2 : 0;
    std::vector<Token> tokens;
    tokens.reserve(std::size_t(std::min(bound, raw.size())));
    const qsizetype n = raw.size();
    bool space = false;
    qsizetype i = 0;
    while (i < n) {
        const char c = raw[i];
        if (isWsp(c) || isLineBreak(c)) {
            space = true;
            ++i;
            continue;
        }
        Token token{TokenKind::Atom, {}, space};
        space = false;
        if (c == '"') {
            token.kind = TokenKind::Quoted;
            i = delimited(raw, i + 1, '"', token.text);
        } else if (c == '(') {
            token.kind = TokenKind::Comment;
            i = delimited(raw, i + 1, ')', token.text);
        } else if (isSpecial(c)) {
            token.kind = TokenKind::Special;
            token.text = view(raw, i, i + 1);
            ++i;
        } else if (c == '[') {
            // Domain literal, kept whole with its brackets.
            const qsizetype close = raw.indexOf(']', i);
            const qsizetype end = close < 0 ? n : close + 1;
            token.text = view(raw, i, end);
            i = end;
        } else {
            const qsizetype begin = i;
            while (i < n && !isWsp(raw[i]) && !isLineBreak(raw[i]) && !isSpecial(raw[i])
                   && raw[i] != '"' && raw[i] != '(')
                ++i;
            token.text = view(raw, begin, i);
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

bool isSpecialToken(const Token& t, char c)
{
    return t.kind == TokenKind::Special && t.text.size() == 1 && t.text[0] == c;
}

// Appends tokens as raw bytes, one space where there was white space (and
// before the first token when spaced); quoted strings give their content so
// that encoded words written inside quotes are decoded as well.
void appendPhrase(QByteArray& out, Tokens tokens, bool spaced = false)
{
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::Comment)
            continue;
        if ((t.spaceBefore || spaced) && !out.isEmpty())
            out.append(' ');
        spaced = false;
        out.append(t.text);
    }
}

QByteArray joinPhrase(Tokens tokens)
{
    QByteArray out;
    appendPhrase(out, tokens);
    return out;
}

QByteArray quoteLocalPart(const QByteArray& text)
{
    QByteArray out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out.append('\\');
        out.append(c);
    }
    out.append('"');
    return out;
}

// An address as one piece of text: no white space or comments, a quoted
// local part quoted again, a source route (@a,@b:) dropped.
QByteArray joinAddress(Tokens tokens)
{
    QByteArray out;
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::Comment)
            continue;
        if (isSpecialToken(t, ':') || isSpecialToken(t, ',')) {
            out.clear();
            continue;
        }
        out.append(t.kind == TokenKind::Quoted ? quoteLocalPart(t.text) : t.text);
    }
    return out;
}

bool hasAddress(Tokens tokens)
{
    for (const Token& t : tokens) {
        if (isSpecialToken(t, '<') || isSpecialToken(t, '@'))
            return true;
    }
    return false;
}

// The tokens of the first mailbox. A group name ("Team:") in front is
// skipped. Commas split mailboxes, but a piece without any address is taken
// to be an unquoted name with a comma in it ("Nordmann, Ola <ola@...>") and
// stays joined to what follows. One pass: whether the mailbox so far holds
// an address is carried along, not looked up again at every comma.
Tokens firstMailbox(Tokens tokens)
{
    std::size_t begin = 0;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (isSpecialToken(t, '<') || isSpecialToken(t, '@') || isSpecialToken(t, ','))
            break;
        if (isSpecialToken(t, ':')) {
            begin = i + 1;
            break;
        }
    }
    std::size_t end = begin;
    bool inAngle = false;
    bool address = false;
    for (; end < tokens.size(); ++end) {
        const Token& t = tokens[end];
        if (isSpecialToken(t, '<'))
            inAngle = true;
        else if (isSpecialToken(t, '>'))
            inAngle = false;
        else if (!inAngle && (isSpecialToken(t, ',') || isSpecialToken(t, ';'))) {
            if (address || isSpecialToken(t, ';'))
                break;
        }
        address = address || isSpecialToken(t, '<') || isSpecialToken(t, '@');
    }
    return tokens.subspan(begin, end - begin);
}

bool allowedUnquoted(char32_t c)
{
    if (QChar::isLetter(c) || QChar::isDigit(c) || c == U' ')
        return true;
    return c < 0x80 && std::string_view("!#$%&'*+-/=?_`{}|~").find(char(c)) != std::string_view::npos;
}

QString quotedIfNeeded(const QString& name)
{
    bool plain = true;
    for (const char32_t c : name.toUcs4()) {
        if (!allowedUnquoted(c)) {
            plain = false;
            break;
        }
    }
    if (plain)
        return name;
    QString out = QStringLiteral("\"");
    for (const QChar c : name) {
        if (c == u'"' || c == u'\\')
            out += u'\\';
        out += c;
    }
    out += u'"';
    return out;
}

// Splits a mailbox without angle brackets into its address and the words
// around it ("ola@example.no (Ola)", or the sloppy "Ola ola@example.no").
// Words are separated by white space, except that white space next to '@'
// or '.' belongs to the address (the obsolete "ola @ example . no"). Leaves
// both empty when no word holds an address.
void splitBareMailbox(Tokens tokens, QByteArray& name, Tokens& address)
{
    // The index where each word starts; comments belong to no word.
    std::vector<std::size_t> starts;
    const Token* previous = nullptr;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.kind == TokenKind::Comment)
            continue;
        const bool joins = previous
            && (!t.spaceBefore || t.kind == TokenKind::Special || previous->kind == TokenKind::Special);
        if (!joins)
            starts.push_back(i);
        previous = &t;
    }
    auto word = [&](std::size_t k) {
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : tokens.size();
        return tokens.subspan(starts[k], end - starts[k]);
    };
    std::size_t found = starts.size();
    for (std::size_t k = 0; k < starts.size() && found == starts.size(); ++k) {
        if (hasAddress(word(k)))
            found = k;
    }
    if (found == starts.size())
        return;
    address = word(found);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        if (k != found)
            appendPhrase(name, word(k), true);
    }
}

QString firstComment(Tokens tokens)
{
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::Comment) {
            const QString text = decodeUnfolded(t.text).simplified();
            if (!text.isEmpty())
                return text;
        }
    }
    return {};
}

// The display name is the phrase in front of the address. A comment counts
// as the name only when there is no phrase, as in "ola@example.no (Ola)";
// next to a phrase a comment is a remark and is left out.
Mailbox mailboxParts(Tokens mailbox)
{
    QByteArray name;
    Tokens addressTokens;
    std::size_t open = mailbox.size();
    for (std::size_t i = 0; i < mailbox.size(); ++i) {
        if (isSpecialToken(mailbox[i], '<')) {
            open = i;
            break;
        }
    }
    if (open < mailbox.size()) {
        name = joinPhrase(mailbox.first(open));
        std::size_t close = open + 1;
        while (close < mailbox.size() && !isSpecialToken(mailbox[close], '>'))
            ++close;
        addressTokens = mailbox.subspan(open + 1, close - open - 1);
    } else {
        splitBareMailbox(mailbox, name, addressTokens);
    }

    const QByteArray addressBytes = joinAddress(addressTokens);
    Mailbox result;
    result.address = decodeRaw(addressBytes, isValidUtf8(addressBytes));
    result.name = decodeUnfolded(name).simplified();
    if (result.name.isEmpty())
        result.name = firstComment(mailbox);
    return result;
}

// A single word of atoms and dots ("postmaster", "drift.vakt"), which a
// list takes as a local address when it has nothing else.
bool isSingleWord(Tokens tokens)
{
    bool first = true;
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::Comment)
            continue;
        if (!(t.kind == TokenKind::Atom || isSpecialToken(t, '.')) || (!first && t.spaceBefore))
            return false;
        first = false;
    }
    return !first;
}

bool onlyComments(Tokens tokens)
{
    for (const Token& t : tokens) {
        if (t.kind != TokenKind::Comment)
            return false;
    }
    return true;
}

// The entries of an address list, split at commas and semicolons outside
// < >. A group name ("Team:") in front of an entry is dropped. An entry
// without any address that a comma separates from a following entry with
// an address in < > is an unquoted name holding a comma, and the two are
// joined again; a run of such entries joins into one. Linear: each entry
// carries what it holds, and the joins are decided in one pass from the end.
std::vector<std::vector<Token>> splitEntries(const std::vector<Token>& tokens)
{
    struct Entry {
        std::vector<Token> tokens;
        const Token* comma = nullptr; // the comma that ended the entry
        bool address = false;         // holds '<' or '@'
        bool angle = false;           // holds '<'
        bool joinsNext = false;
    };
    std::vector<Entry> entries(1);
    bool inAngle = false;
    for (const Token& t : tokens) {
        Entry& current = entries.back();
        if (isSpecialToken(t, '<')) {
            inAngle = true;
            current.angle = true;
        } else if (isSpecialToken(t, '>')) {
            inAngle = false;
        } else if (!inAngle && (isSpecialToken(t, ',') || isSpecialToken(t, ';'))) {
            if (isSpecialToken(t, ','))
                current.comma = &t;
            entries.emplace_back();
            continue;
        } else if (!inAngle && isSpecialToken(t, ':') && !current.address) {
            current.tokens.clear();
            continue;
        }
        current.address = current.address || isSpecialToken(t, '<') || isSpecialToken(t, '@');
        current.tokens.push_back(t);
    }

    // From the end: whether the entry that follows (after the joins already
    // made) has an address in < >.
    bool nextAngle = false;
    bool haveNext = false;
    for (std::size_t i = entries.size(); i-- > 0;) {
        Entry& e = entries[i];
        if (onlyComments(e.tokens))
            continue;
        e.joinsNext = e.comma && !e.address && haveNext && nextAngle;
        if (!e.joinsNext)
            nextAngle = e.angle;
        haveNext = true;
    }

    std::vector<std::vector<Token>> out;
    std::vector<Token> group;
    for (Entry& e : entries) {
        if (onlyComments(e.tokens))
            continue;
        group.insert(group.end(), std::make_move_iterator(e.tokens.begin()), std::make_move_iterator(e.tokens.end()));
        if (e.joinsNext) {
            group.push_back(*e.comma);
            continue;
        }
        out.push_back(std::move(group));
        group.clear();
    }
    return out;
}

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
            info.messageId = decodeRaw(value.trimmed(), isValidUtf8(value));
            haveId = true;
        } else if (is("Date") && !haveDate) {
            info.date = decodeRaw(value.trimmed(), isValidUtf8(value));
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
        if (isWsp(line[0])) {
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

QString decodeHeaderText(const QByteArray& rawValue)
{
    return decodeUnfolded(unfold(rawValue)).trimmed();
}

QString fromDisplayText(const QByteArray& rawValue)
{
    const QByteArray value = unfold(rawValue);
    // Without '<' or '@' nothing can be read as an address.
    if (!value.contains('<') && !value.contains('@'))
        return decodeHeaderText(value).simplified();
    const std::vector<Token> tokens = tokenize(value);
    const Mailbox mailbox = mailboxParts(firstMailbox(tokens));
    if (mailbox.address.isEmpty()) {
        // No usable address: show the value as it stands rather than nothing.
        return decodeHeaderText(value).simplified();
    }
    return mailboxText(mailbox);
}

QString listLine(const HeaderInfo& info)
{
    return visibleText(info.from + QStringLiteral("   ") + info.subject);
}

QList<Mailbox> parseAddressList(const QString& text)
{
    const QByteArray utf8 = text.toUtf8(); // the tokens view these bytes
    const std::vector<Token> tokens = tokenize(utf8);
    QList<Mailbox> list;
    for (const std::vector<Token>& entry : splitEntries(tokens)) {
        Mailbox mailbox = mailboxParts(entry);
        if (mailbox.address.isEmpty() && isSingleWord(entry)) {
            const QByteArray word = joinAddress(entry);
            mailbox.address = QString::fromUtf8(word);
            mailbox.name = firstComment(entry);
        } else if (mailbox.address.isEmpty() && mailbox.name.isEmpty()) {
            mailbox.name = decodeUnfolded(joinPhrase(entry)).simplified();
        }
        // Nothing but an empty quoted string or empty brackets.
        if (mailbox.address.isEmpty() && mailbox.name.isEmpty())
            continue;
        list.append(mailbox);
    }
    return list;
}

QString mailboxText(const Mailbox& mailbox)
{
    if (mailbox.address.isEmpty())
        return mailbox.name;
    if (mailbox.name.isEmpty() || mailbox.name.compare(mailbox.address, Qt::CaseInsensitive) == 0)
        return mailbox.address;
    return quotedIfNeeded(mailbox.name) + QStringLiteral(" <") + mailbox.address + u'>';
}

QString addressListText(const QList<Mailbox>& list)
{
    QStringList texts;
    for (const Mailbox& mailbox : list)
        texts.append(mailboxText(mailbox));
    // A bare local address ("postmaster") in front of an entry shown with
    // < > would read back as part of that entry's name; in < > it stays an
    // address of its own. From the end, since that can hold for the entry
    // before it in turn.
    for (qsizetype i = texts.size() - 2; i >= 0; --i) {
        const QString& address = list.at(i).address;
        if (!address.isEmpty() && !address.contains(u'@') && texts.at(i) == address && texts.at(i + 1).contains(u'<'))
            texts[i] = u'<' + address + u'>';
    }
    return texts.join(QStringLiteral(", "));
}

} // namespace net
