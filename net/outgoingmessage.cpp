#include "outgoingmessage.h"

#include "neterror.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/LocalDateTime.h>
#include <Poco/Net/MailMessage.h>
#include <Poco/Net/StringPartSource.h>

#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QUuid>

#include <sstream>
#include <string>
#include <string_view>
#include <utility>

namespace net {

namespace {

// A header line is kept within this length where it can be folded.
constexpr qsizetype kFoldAt = 76;


std::string toStd(const QByteArray& bytes)
{
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}
// ---------------------------------------------------------------------------
// Header values

bool isAtext(char16_t c)
{
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9'))
        return true;
    return c < 0x80 && std::string_view("!#$%&'*+-/=?^_`{|}~").find(char(c)) != std::string_view::npos;
}

bool isPrintableAscii(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return false;
    }
    return true;
}

// Text that a reader would take for an encoded word must be encoded itself.
bool needsEncoding(const QString& text)
{
    return !isPrintableAscii(text) || text.contains(QLatin1String("=?"));
}

// RFC 2047 "Q" encoded words in UTF-8, split between characters. Only
// letters, digits and !*+-/ stay as they are, so the words are valid in a
// display name as well as in unstructured text. Each word is short enough
// to follow "Subject: " within a 76-character line, the longest start of a
// line that cannot be folded away.
QList<QByteArray> encodedWords(const QString& text)
{
    static const QByteArray prefix = "=?UTF-8?Q?";
    static const QByteArray suffix = "?=";
    const qsizetype room = kFoldAt - qsizetype(sizeof "Subject: " - 1) - prefix.size() - suffix.size();
    QList<QByteArray> words;
    QByteArray current;
    const QList<uint> codePoints = text.toUcs4();
    for (const uint cp : codePoints) {
        const char32_t c32 = char32_t(cp);
        const QByteArray utf8 = QString::fromUcs4(&c32, 1).toUtf8();
        QByteArray encoded;
        for (const char ch : utf8) {
            const auto b = static_cast<unsigned char>(ch);
            if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')
                || std::string_view("!*+-/").find(char(b)) != std::string_view::npos)
                encoded += char(b);
            else if (b == ' ')
                encoded += '_';
            else
                encoded += '=' + QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
        }
        if (!current.isEmpty() && current.size() + encoded.size() > room) {
            words.append(prefix + current + suffix);
            current.clear();
        }
        current += encoded;
    }
    if (!current.isEmpty() || words.isEmpty())
        words.append(prefix + current + suffix);
    return words;
}

// Builds a header value from tokens, folding before a token that would take
// the line past kFoldAt. Each token comes with what separates it from the
// one before: " " inside a phrase, ", " between addresses; a fold keeps the
// comma and turns the space into the line break and the new line's blank.
class Folder {
public:
    explicit Folder(qsizetype used)
        : m_line(used)
    {
    }
    void add(const QByteArray& token, const QByteArray& separator)
    {
        if (m_started) {
            // A fold only before text, so no line is blanks alone.
            if (!token.isEmpty() && m_line + separator.size() + token.size() > kFoldAt) {
                m_out += separator.left(separator.size() - 1) + "\r\n ";
                m_line = 1;
            } else {
                m_out += separator;
                m_line += separator.size();
            }
        }
        m_out += token;
        m_line += token.size();
        m_started = true;
    }
    const QByteArray& value() const { return m_out; }

private:
    QByteArray m_out;
    qsizetype m_line;
    bool m_started = false;
};

// The words of an unstructured ASCII value: a fold may go only at the last
// blank of a run, with text on both sides of it, so no line of the folded
// value is blanks alone (RFC 5322 3.2.2) and unfolding gives back every blank.
// Each word but the first follows one such blank.
QList<QByteArray> foldableWords(const QByteArray& text)
{
    QList<QByteArray> words;
    QByteArray current;
    bool textSeen = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' && textSeen && i + 1 < text.size() && text[i + 1] != ' ') {
            words.append(current);
            current.clear();
            textSeen = false;
            continue;
        }
        current += c;
        textSeen = textSeen || c != ' ';
    }
    words.append(current);
    return words;
}

// An unstructured value (the subject), encoded when needed and folded. ASCII
// text goes as it is unless a word of it could not fit the longest line a
// header may have; encoded words can be split anywhere.
QByteArray unstructuredValue(const QString& text, qsizetype used)
{
    constexpr qsizetype kLongestLine = 998;
    QList<QByteArray> words;
    if (!needsEncoding(text)) {
        words = foldableWords(text.toLatin1());
        for (const QByteArray& w : std::as_const(words)) {
            if (used + w.size() > kLongestLine) {
                words.clear();
                break;
            }
        }
    }
    if (words.isEmpty())
        words = encodedWords(text);
    Folder folder(used);
    for (const QByteArray& w : std::as_const(words))
        folder.add(w, " ");
    return folder.value();
}

// A display name as tokens: as it stands when it is atoms and spaces, a
// quoted string when it holds other printable ASCII, encoded words otherwise.
QList<QByteArray> phrase(const QString& name)
{
    if (needsEncoding(name))
        return encodedWords(name);
    bool atoms = true;
    for (const QChar c : name) {
        if (!isAtext(c.unicode()) && c != u' ')
            atoms = false;
    }
    // Blanks between atoms are one space to a reader, so a fold can take
    // any of them and no line is left with blanks alone.
    if (atoms && !name.trimmed().isEmpty()) {
        QList<QByteArray> words = name.toLatin1().split(' ');
        words.removeAll(QByteArray());
        return words;
    }
    QByteArray out = "\"";
    for (const QChar c : name) {
        if (c == u'"' || c == u'\\')
            out += '\\';
        out += char(c.unicode());
    }
    return {out + '"'};
}

// A list of mailboxes (From, To) as a folded header value.
QByteArray addressValue(const QList<Mailbox>& list, qsizetype used)
{
    Folder folder(used);
    for (const Mailbox& mailbox : list) {
        QByteArray separator = ", ";
        const QByteArray address = wireAddress(mailbox.address);
        if (!mailbox.name.isEmpty() && mailbox.name.compare(mailbox.address, Qt::CaseInsensitive) != 0) {
            for (const QByteArray& word : phrase(mailbox.name)) {
                folder.add(word, separator);
                separator = " ";
            }
            folder.add('<' + address + '>', separator);
        } else {
            folder.add(address, separator);
        }
    }
    return folder.value();
}

// A file name for the name and filename parameters. Poco puts the value in
// quotes without escaping anything, so a name with quotes, backslashes or
// anything beyond printable ASCII goes as encoded words.
std::string parameterValue(const QString& name)
{
    if (!needsEncoding(name) && !name.contains(u'"') && !name.contains(u'\\'))
        return name.toStdString();
    QByteArray out;
    for (const QByteArray& w : encodedWords(name))
        out += (out.isEmpty() ? "" : " ") + w;
    return toStd(out);
}

QByteArray messageIdDomain(const Mailbox& sender)
{
    const qsizetype at = sender.address.lastIndexOf(u'@');
    const QByteArray domain = at < 0 ? QByteArray() : QUrl::toAce(sender.address.mid(at + 1));
    bool ok = !domain.isEmpty();
    for (const char c : domain) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            ok = false;
    }
    return ok ? domain : QByteArray("brevglimt.invalid");
}

QByteArray bodyText(const QStringList& lines)
{
    QByteArray out;
    for (QString line : lines) {
        // A line break inside a line ends a line like any other: no bare
        // CR or LF reaches the wire.
        line.remove(u'\r');
        out += line.toUtf8().replace('\n', "\r\n");
        out += "\r\n";
    }
    return out;
}

// The file's bytes; every way it can fail is an error, so a short read
// never goes out as a shorter attachment.
QByteArray readAttachment(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        throw NetError(QStringLiteral("Finner ikke vedlegget %1").arg(path));
    if (!info.isFile())
        throw NetError(QStringLiteral("Vedlegget %1 er ikke en vanlig fil").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw NetError(QStringLiteral("Kan ikke lese vedlegget %1: %2").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError || bytes.size() != info.size())
        throw NetError(QStringLiteral("Kan ikke lese vedlegget %1: %2").arg(path, file.errorString()));
    return bytes;
}

} // namespace

QByteArray wireAddress(const QString& address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    const QString local = at < 0 ? address : address.left(at);
    QByteArray out = local.toUtf8();
    if (at >= 0) {
        const QString domain = address.mid(at + 1);
        const QByteArray ace = isPrintableAscii(domain) || domain.startsWith(u'[') ? domain.toUtf8() : QUrl::toAce(domain);
        if (ace.isEmpty() && !domain.isEmpty())
            throw NetError(QStringLiteral("Ugyldig adresse: «%1»").arg(address));
        out += '@' + ace;
    }
    // No control character anywhere, escaped or not: a line break would end
    // the SMTP command and the header line.
    for (const char c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            throw NetError(QStringLiteral("Ugyldig adresse: «%1»").arg(address.simplified()));
    }
    bool quoted = false;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out.at(i));
        if (c == '\\' && quoted) {
            ++i;
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && std::string_view(" <>(),;\\").find(char(c)) != std::string_view::npos)
            throw NetError(QStringLiteral("Ugyldig adresse: «%1»").arg(address));
    }
    if (quoted)
        throw NetError(QStringLiteral("Ugyldig adresse: «%1»").arg(address));
    return out;
}


QByteArray layoutMessage(const OutgoingMail& mail)
{
    Poco::Net::MailMessage message;
    // The library sets a Date in UTC; local time with its offset reads better.
    message.set(Poco::Net::MailMessage::HEADER_DATE,
                Poco::DateTimeFormatter::format(Poco::LocalDateTime(), Poco::DateTimeFormat::RFC1123_FORMAT));
    message.set("Message-ID",
                toStd('<' + QUuid::createUuid().toByteArray(QUuid::WithoutBraces) + '@' + messageIdDomain(mail.sender)
                      + '>'));
    if (!mail.sender.address.isEmpty())
        message.set(Poco::Net::MailMessage::HEADER_FROM, toStd(addressValue({mail.sender}, 6)));
    if (!mail.recipients.isEmpty())
        message.set(Poco::Net::MailMessage::HEADER_TO, toStd(addressValue(mail.recipients, 4)));
    message.setSubject(toStd(unstructuredValue(mail.subject, 9)));
    message.set(Poco::Net::MailMessage::HEADER_MIME_VERSION, "1.0");

    static const std::string textType = "text/plain; charset=UTF-8";
    const std::string body = toStd(bodyText(mail.bodyLines));
    if (mail.attachmentPath.isEmpty()) {
        message.setContentType(textType);
        message.setContent(body, Poco::Net::MailMessage::ENCODING_QUOTED_PRINTABLE);
    } else {
        const QByteArray bytes = readAttachment(mail.attachmentPath);
        const std::string name = parameterValue(QFileInfo(mail.attachmentPath).fileName());
        message.addContent(new Poco::Net::StringPartSource(body, textType),
                           Poco::Net::MailMessage::ENCODING_QUOTED_PRINTABLE);
        message.addAttachment(name, new Poco::Net::StringPartSource(toStd(bytes), "application/octet-stream", name),
                              Poco::Net::MailMessage::ENCODING_BASE64);
    }
    std::ostringstream out;
    message.write(out);
    const std::string text = out.str();
    QByteArray result(text.data(), qsizetype(text.size()));
    // Mailbox files mark a line starting "From " with ">"; in
    // quoted-printable the "F" can be written so that the line survives.
    // Below the header only the body text can hold such a line.
    const qsizetype bodyStart = result.indexOf("\r\n\r\n");
    if (bodyStart >= 0) {
        QByteArray body = result.mid(bodyStart);
        body.replace("\r\nFrom ", "\r\n=46rom ");
        result = result.left(bodyStart) + body;
    }
    return result;
}

} // namespace net
