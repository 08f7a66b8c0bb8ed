#include "imapresponse.h"

#include "linechannel.h"

#include <limits>
#include <utility>

namespace net {

namespace {

bool isDigits(const QByteArray& s)
{
    if (s.isEmpty())
        return false;
    for (const char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

std::optional<std::uint32_t> parseNumber32(const QByteArray& s)
{
    // Ten digits at most: 4294967295 is the largest 32-bit number.
    if (!isDigits(s) || s.size() > 10)
        return std::nullopt;
    const qint64 v = s.toLongLong();
    if (v > qint64(std::numeric_limits<std::uint32_t>::max()))
        return std::nullopt;
    return std::uint32_t(v);
}

bool isStatusName(const QByteArray& name)
{
    return name == "OK" || name == "NO" || name == "BAD" || name == "BYE" || name == "PREAUTH";
}

// The reading of one response: the line at hand, a position in it, and
// what the response has taken so far.
class Parser {
public:
    Parser(const ImapResponseReader& reader, ImapSource& source, const ImapLimits& limits)
        : r(reader)
        , src(source)
        , lim(limits)
    {
    }

    ImapResponse run()
    {
        nextLine();
        ImapResponse resp;
        resp.line = line;
        if (line.startsWith('+')) {
            resp.kind = ImapResponse::Kind::Continuation;
            QByteArray rest = line.mid(1);
            if (rest.startsWith(' '))
                rest.remove(0, 1);
            readResponseText(resp, rest);
        } else if (line.startsWith("* ")) {
            resp.kind = ImapResponse::Kind::Untagged;
            untagged(resp);
        } else {
            resp.kind = ImapResponse::Kind::Tagged;
            tagged(resp);
        }
        resp.size = consumed;
        return resp;
    }

private:
    const ImapResponseReader& r;
    ImapSource& src;
    const ImapLimits& lim;
    QByteArray line;
    qsizetype pos = 0;
    qint64 consumed = 0;
    int values = 0;

    [[noreturn]] void malformed() const
    {
        throw NetError(QStringLiteral("Ugyldig svar fra %1: «%2»").arg(r.where(), r.shown(line)));
    }

    [[noreturn]] void tooLarge() const
    {
        throw NetError(QStringLiteral("Ugyldig svar fra %1: svaret er større enn %2")
                           .arg(r.where(), capText(lim.responseCap)));
    }

    void nextLine()
    {
        line = src.readLine(std::max<qint64>(lim.responseCap - consumed, 0));
        consumed += line.size() + 2;
        if (consumed > lim.responseCap)
            tooLarge();
        pos = 0;
    }

    bool atEnd() const { return pos >= line.size(); }

    // The word from pos up to the next blank (or the end of the line).
    QByteArray word()
    {
        qsizetype end = line.indexOf(' ', pos);
        if (end < 0)
            end = line.size();
        QByteArray w = line.mid(pos, end - pos);
        pos = end;
        return w;
    }

    void skipBlank()
    {
        if (!atEnd() && line.at(pos) == ' ')
            ++pos;
    }

    void untagged(ImapResponse& resp)
    {
        pos = 2;
        const QByteArray first = word();
        if (first.isEmpty())
            malformed();
        if (isDigits(first)) {
            resp.number = parseNumber32(first);
            if (!resp.number)
                malformed();
            skipBlank();
            resp.name = word().toUpper();
            if (resp.name.isEmpty())
                malformed();
            skipBlank();
            valuesToEnd(resp.values);
            return;
        }
        resp.name = first.toUpper();
        skipBlank();
        if (isStatusName(resp.name)) {
            readResponseText(resp, line.mid(pos));
            return;
        }
        if (resp.name == "SEARCH") {
            searchNumbers(resp);
            return;
        }
        valuesToEnd(resp.values);
    }

    void tagged(ImapResponse& resp)
    {
        resp.tag = word();
        for (const char c : std::as_const(resp.tag)) {
            if (uchar(c) < 0x21 || uchar(c) == 0x7f)
                malformed();
        }
        if (resp.tag.isEmpty())
            malformed();
        skipBlank();
        resp.name = word().toUpper();
        if (resp.name != "OK" && resp.name != "NO" && resp.name != "BAD")
            malformed();
        skipBlank();
        readResponseText(resp, line.mid(pos));
    }

    // "[CODE more] text", "text" or nothing.
    static void readResponseText(ImapResponse& resp, const QByteArray& rest)
    {
        if (rest.startsWith('[')) {
            const qsizetype close = rest.indexOf(']');
            if (close > 0) {
                const QByteArray inside = rest.mid(1, close - 1);
                const qsizetype blank = inside.indexOf(' ');
                resp.code = (blank < 0 ? inside : inside.left(blank)).toUpper();
                resp.codeText = blank < 0 ? QByteArray() : inside.mid(blank + 1);
                QByteArray text = rest.mid(close + 1);
                if (text.startsWith(' '))
                    text.remove(0, 1);
                resp.text = text;
                return;
            }
        }
        resp.text = rest;
    }

    void searchNumbers(ImapResponse& resp)
    {
        while (!atEnd()) {
            if (line.at(pos) == ' ') {
                ++pos;
                continue;
            }
            if (line.at(pos) == '(') {
                valuesToEnd(resp.values);
                return;
            }
            const std::optional<std::uint32_t> n = parseNumber32(word());
            if (!n)
                malformed();
            resp.searchNumbers.append(*n);
        }
    }

    void countValue()
    {
        if (++values > lim.maxValues)
            throw NetError(QStringLiteral("Ugyldig svar fra %1: mer enn %2 verdier i ett svar")
                               .arg(r.where())
                               .arg(lim.maxValues));
    }

    // Values separated by blanks up to the end of the response.
    void valuesToEnd(std::vector<ImapValue>& out)
    {
        for (;;) {
            while (!atEnd() && line.at(pos) == ' ')
                ++pos;
            if (atEnd())
                return;
            out.push_back(value(1));
        }
    }

    ImapValue value(int depth)
    {
        countValue();
        const char c = line.at(pos);
        if (c == '(')
            return list(depth);
        if (c == ')')
            malformed();
        if (c == '"')
            return quoted();
        if (c == '{') {
            if (std::optional<ImapValue> v = literal())
                return std::move(*v);
        }
        return atom();
    }

    ImapValue list(int depth)
    {
        if (depth > lim.maxDepth)
            throw NetError(QStringLiteral("Ugyldig svar fra %1: lister inne i lister mer enn %2 nivåer dypt")
                               .arg(r.where())
                               .arg(lim.maxDepth));
        ++pos; // "("
        ImapValue v;
        v.type = ImapValue::Type::List;
        for (;;) {
            while (!atEnd() && line.at(pos) == ' ')
                ++pos;
            if (atEnd())
                malformed(); // the list is not closed
            if (line.at(pos) == ')') {
                ++pos;
                return v;
            }
            v.items.push_back(value(depth + 1));
        }
    }

    ImapValue quoted()
    {
        ++pos; // the opening quote
        ImapValue v;
        v.type = ImapValue::Type::String;
        while (!atEnd()) {
            const char c = line.at(pos++);
            if (c == '"')
                return v;
            if (c == '\\') {
                if (atEnd())
                    break;
                v.text += line.at(pos++);
                continue;
            }
            v.text += c;
        }
        malformed(); // no closing quote on the line
    }

    // "{n}" or "{n+}" ending the line: the n bytes after it, then the
    // response goes on in the line after them. Nothing when the braces do
    // not end the line (then they are part of an atom).
    std::optional<ImapValue> literal()
    {
        const qsizetype close = line.size() - 1;
        if (line.at(close) != '}')
            return std::nullopt;
        QByteArray digits = line.mid(pos + 1, close - pos - 1);
        if (digits.endsWith('+'))
            digits.chop(1);
        if (!isDigits(digits))
            return std::nullopt;
        // Eighteen digits still fit qint64; anything longer is beyond every cap.
        const qint64 n = digits.size() > 18 ? std::numeric_limits<qint64>::max() : digits.toLongLong();
        if (n > lim.literalCap) {
            if (!lim.literalCapFailure.isEmpty())
                throw NetError(lim.literalCapFailure);
            throw NetError(QStringLiteral("Ugyldig svar fra %1: et felt på %2 byte er større enn grensen på %3")
                               .arg(r.where(), QString::fromLatin1(digits), capText(lim.literalCap)));
        }
        if (n > lim.responseCap - consumed)
            tooLarge();
        ImapValue v;
        v.type = ImapValue::Type::String;
        v.text = src.readBytes(n);
        consumed += n;
        nextLine();
        return v;
    }

    ImapValue atom()
    {
        const qsizetype start = pos;
        while (!atEnd()) {
            const char c = line.at(pos);
            if (c == ' ' || c == '(' || c == ')')
                break;
            if (c == '[') {
                // A section ("BODY[HEADER.FIELDS (FROM SUBJECT)]") runs to its
                // closing bracket, blanks and parentheses included.
                const qsizetype close = line.indexOf(']', pos);
                if (close < 0)
                    malformed();
                pos = close + 1;
                continue;
            }
            ++pos;
        }
        ImapValue v;
        v.text = line.mid(start, pos - start);
        if (v.text.compare("NIL", Qt::CaseInsensitive) == 0) {
            v.type = ImapValue::Type::Nil;
            v.text.clear();
        }
        return v;
    }
};

} // namespace

bool ImapValue::isAtom(const char* word) const
{
    return type == Type::Atom && text.compare(word, Qt::CaseInsensitive) == 0;
}

std::optional<std::uint32_t> ImapValue::number() const
{
    if (type != Type::Atom)
        return std::nullopt;
    return parseNumber32(text);
}

std::optional<QByteArray> ImapValue::bytes() const
{
    if (type == Type::Atom || type == Type::String)
        return text;
    return std::nullopt;
}

bool ImapResponse::isStatus() const
{
    return kind == Kind::Tagged || (kind == Kind::Untagged && !number && isStatusName(name));
}

ImapResponseReader::ImapResponseReader(QString where, std::function<QString(const QByteArray&)> shown)
    : m_where(std::move(where))
    , m_shown(std::move(shown))
{
}

QString ImapResponseReader::shown(const QByteArray& text) const
{
    if (m_shown)
        return m_shown(text);
    const QString whole = QString::fromUtf8(text);
    QString s = whole.left(120).simplified();
    if (whole.size() > 120)
        s += QStringLiteral("…");
    return s;
}

ImapResponse ImapResponseReader::read(ImapSource& source, const ImapLimits& limits) const
{
    return Parser(*this, source, limits).run();
}

ImapBufferSource::ImapBufferSource(QByteArray data, QString where)
    : m_data(std::move(data))
    , m_where(std::move(where))
{
}

QByteArray ImapBufferSource::readLine(qint64)
{
    const qsizetype nl = m_data.indexOf('\n', m_pos);
    if (nl < 0)
        throw NetError(QStringLiteral("Forbindelsen til %1 ble brutt").arg(m_where));
    qsizetype end = nl;
    if (end > m_pos && m_data.at(end - 1) == '\r')
        --end;
    QByteArray line = m_data.mid(m_pos, end - m_pos);
    m_pos = nl + 1;
    return line;
}

QByteArray ImapBufferSource::readBytes(qint64 count)
{
    if (count > m_data.size() - m_pos)
        throw NetError(QStringLiteral("Forbindelsen til %1 ble brutt").arg(m_where));
    QByteArray bytes = m_data.mid(m_pos, qsizetype(count));
    m_pos += qsizetype(count);
    return bytes;
}

} // namespace net
