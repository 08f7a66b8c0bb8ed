// Reading IMAP4rev1 server responses (RFC 3501): untagged ("* ..."), tagged
// ("A7 OK ...") and continuation ("+ ...") responses, with atoms, quoted
// strings, literals ({n} and {n+}), NIL and parenthesised lists. The reader
// takes its bytes from a source (the line channel, or a buffer in tests)
// and keeps its own limits: a literal announced larger than its cap is
// refused before any of it is read, and so is one that would take the
// response past its cap; lists nest only so deep and a response holds only
// so many values.
#pragma once

#include "neterror.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace net {

// One value of a data response.
struct ImapValue {
    enum class Type { Atom, String, Nil, List };
    Type type = Type::Atom;
    QByteArray text; // Atom and String: the bytes; an atom as sent, case kept
    std::vector<ImapValue> items; // List

    bool isList() const { return type == Type::List; }
    bool isString() const { return type == Type::String; }
    bool isNil() const { return type == Type::Nil; }
    // An atom equal to word, case ignored ("uid" matches "UID").
    bool isAtom(const char* word) const;
    // An atom of decimal digits that fits 32 bits unsigned (UIDs, counts).
    std::optional<std::uint32_t> number() const;
    // A string or an atom: its bytes; NIL and lists give nothing.
    std::optional<QByteArray> bytes() const;
};

struct ImapResponse {
    enum class Kind { Untagged, Tagged, Continuation };
    Kind kind = Kind::Untagged;
    QByteArray tag; // Tagged: the tag as sent
    // "* 12 EXISTS", "* 3 FETCH (...)": the number before the name.
    std::optional<std::uint32_t> number;
    // Upper-cased: "OK", "NO", "BAD", "BYE", "PREAUTH" for status responses,
    // otherwise the data's name: "CAPABILITY", "SEARCH", "FLAGS", "EXISTS",
    // "EXPUNGE", "FETCH", ... Empty for a continuation.
    QByteArray name;
    // Status responses and continuations: the response code in brackets
    // (upper-cased, "UIDVALIDITY"), what follows it inside the brackets
    // ("3857529045") and the human-readable text after them.
    QByteArray code;
    QByteArray codeText;
    QByteArray text;
    // Data responses: the values after the name. SEARCH gives its numbers
    // in searchNumbers instead (a long list of UIDs costs 4 bytes each), and
    // here only a trailing list such as "(MODSEQ 917162500)".
    std::vector<ImapValue> values;
    QList<std::uint32_t> searchNumbers;
    // Bytes the response took on the wire: lines with their CR LF and literals.
    qint64 size = 0;
    // The response's first line as sent, for error texts.
    QByteArray line;

    bool isStatus() const;
    bool is(const char* upperName) const { return name == upperName; }
};

struct ImapLimits {
    qint64 literalCap = qint64(1) << 20;
    qint64 responseCap = qint64(1) << 20;
    int maxDepth = 32; // lists inside lists
    int maxValues = 100000; // values in one response (a list counts one)
    // The text for a literal above literalCap; empty: "Ugyldig svar fra
    // <where>: et felt på <n> byte er større enn grensen på <cap>".
    QString literalCapFailure{};
};

// Where the reader takes its bytes from. Both calls throw NetError when the
// bytes cannot be had (a dropped connection, a time-out).
class ImapSource {
public:
    virtual ~ImapSource() = default;
    // The next line without its CR LF; may fail when it is longer than maxLength.
    virtual QByteArray readLine(qint64 maxLength) = 0;
    // Exactly count bytes.
    virtual QByteArray readBytes(qint64 count) = 0;
};

class ImapResponseReader {
public:
    // where: how the texts name the server. shown: server text as an error
    // shows it (the line channel scrubs and cuts it); by default cut to 120
    // characters with its blanks collapsed.
    explicit ImapResponseReader(QString where, std::function<QString(const QByteArray&)> shown = {});

    // Reads one whole response. A response that breaks the syntax or a limit
    // throws NetError: "Ugyldig svar fra <where>: «<line>»", "… svaret er
    // større enn 1 MiB", "… et felt på <n> byte er større enn grensen på
    // <cap>" (or limits.literalCapFailure), "… lister inne i lister mer enn
    // <n> nivåer dypt", "… mer enn <n> verdier i ett svar".
    ImapResponse read(ImapSource& source, const ImapLimits& limits = {}) const;

    const QString& where() const { return m_where; }
    QString shown(const QByteArray& text) const;

private:
    QString m_where;
    std::function<QString(const QByteArray&)> m_shown;
};

// A source over bytes in memory, for tests and the fuzz target: fails like
// a dropped connection when the bytes run out.
class ImapBufferSource : public ImapSource {
public:
    explicit ImapBufferSource(QByteArray data, QString where = QStringLiteral("serveren"));
    QByteArray readLine(qint64 maxLength) override;
    QByteArray readBytes(qint64 count) override;
    bool atEnd() const { return m_pos >= m_data.size(); }
    // Bytes taken so far.
    qint64 consumed() const { return m_pos; }

private:
    QByteArray m_data;
    qsizetype m_pos = 0;
    QString m_where;
};

} // namespace net
