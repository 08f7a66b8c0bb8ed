// Address lists read leniently as RFC 5322 mailboxes.
#include "addresslist.h"

#include "encodedwords.h"

#include <QStringList>

#include <algorithm>
#include <span>
#include <string_view>
#include <vector>

namespace net {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

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
QByteArray viewOf(const QByteArray& raw, qsizetype begin, qsizetype end)
{
    return QByteArray::fromRawData(raw.constData() + begin, end - begin);
}

// The content of a quoted string or comment starting after its opening
// character, up to the closing one; returns the index just past it, or the
// end when it is missing. Comments nest.
qsizetype readDelimited(const QByteArray& raw, qsizetype i, char close, QByteArray& text)
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
        text = viewOf(raw, begin, end);
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
        bound += (isBlank(c) || isLineBreak(c) || isSpecial(c) || c == '"' || c == '(' || c == ']') ? 2 : 0;
    std::vector<Token> tokens;
    tokens.reserve(std::size_t(std::min(bound, raw.size())));
    const qsizetype n = raw.size();
    bool space = false;
    qsizetype i = 0;
    while (i < n) {
        const char c = raw[i];
        if (isBlank(c) || isLineBreak(c)) {
            space = true;
            ++i;
            continue;
        }
        Token token{TokenKind::Atom, {}, space};
        space = false;
        if (c == '"') {
            token.kind = TokenKind::Quoted;
            i = readDelimited(raw, i + 1, '"', token.text);
        } else if (c == '(') {
            token.kind = TokenKind::Comment;
            i = readDelimited(raw, i + 1, ')', token.text);
        } else if (isSpecial(c)) {
            token.kind = TokenKind::Special;
            token.text = viewOf(raw, i, i + 1);
            ++i;
        } else if (c == '[') {
            // Domain literal, kept whole with its brackets.
            const qsizetype close = raw.indexOf(']', i);
            const qsizetype end = close < 0 ? n : close + 1;
            token.text = viewOf(raw, i, end);
            i = end;
        } else {
            const qsizetype begin = i;
            while (i < n && !isBlank(raw[i]) && !isLineBreak(raw[i]) && !isSpecial(raw[i])
                   && raw[i] != '"' && raw[i] != '(')
                ++i;
            token.text = viewOf(raw, begin, i);
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
            const QString text = decodeEncodedWords(t.text).simplified();
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
    result.address = decodeUnencoded(addressBytes, isValidUtf8(addressBytes));
    result.name = decodeEncodedWords(name).simplified();
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

QString fromDisplayText(const QByteArray& rawValue)
{
    const QByteArray value = unfoldHeaderValue(rawValue);
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
            mailbox.name = decodeEncodedWords(joinPhrase(entry)).simplified();
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
