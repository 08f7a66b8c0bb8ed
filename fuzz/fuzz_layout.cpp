// The composer's message layout on arbitrary names, addresses, subject and
// text: every line ends in CR LF with no CR or LF elsewhere, lines stay
// within 998 characters of 7-bit text, the header holds exactly the fields
// the program writes (nothing a subject or name carries can start another),
// and the Subject reads back as the text given.
#include "encodedwords.h"
#include "fuzzcheck.h"
#include "neterror.h"
#include "outgoingmessage.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QSet>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

QString text(FuzzedDataProvider& in, std::size_t max)
{
    const std::string bytes = in.ConsumeRandomLengthString(max);
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    net::OutgoingMail mail;
    mail.sender = {text(in, 200), text(in, 100)};
    const int recipients = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < recipients; ++i)
        mail.recipients.append({text(in, 200), text(in, 100)});
    mail.subject = text(in, 2000);
    while (in.remaining_bytes() > 0)
        mail.bodyLines.append(text(in, 300));

    QByteArray message;
    try {
        message = net::layoutMessage(mail);
    } catch (const net::NetError&) {
        return 0; // an address the protocol cannot carry is refused
    }

    fuzz::check(message.endsWith("\r\n"), "the message does not end in CR LF");
    const QString shown = QString::fromLatin1(message);
    qsizetype start = 0;
    bool inHeader = true;
    QSet<QByteArray> fields;
    QByteArray subject;
    bool inSubject = false;
    QByteArray field;
    while (start < message.size()) {
        const qsizetype lf = message.indexOf('\n', start);
        fuzz::check(lf > start && message[lf - 1] == '\r', "a bare LF", shown);
        const QByteArray line = message.mid(start, lf - 1 - start);
        start = lf + 1;
        fuzz::check(!line.contains('\r'), "a bare CR", shown);
        fuzz::check(line.size() <= 998, "a line longer than 998 characters", shown);
        if (inHeader && !line.isEmpty() && line[0] != ' ' && line[0] != '\t')
            field = line.left(line.indexOf(':')).toLower();
        // A local part beyond ASCII goes in From and To as UTF-8 (for a
        // server that takes SMTPUTF8); everything else is 7-bit.
        if (!inHeader || (field != "from" && field != "to")) {
            for (const char c : line)
                fuzz::check(static_cast<unsigned char>(c) < 0x80, "an 8-bit byte", shown);
        }
        if (!inHeader)
            continue;
        if (line.isEmpty()) {
            inHeader = false;
            continue;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            fuzz::check(!line.trimmed().isEmpty(), "a header line of blanks only", shown);
            if (inSubject)
                subject += line;
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        fuzz::check(colon > 0, "a header line that is no field", shown);
        const QByteArray name = line.left(colon).toLower();
        fuzz::check(!fields.contains(name), "a field written twice", shown);
        fields.insert(name);
        inSubject = name == "subject";
        if (inSubject)
            subject = line.mid(colon + 1);
    }
    QSet<QByteArray> expected = {"date", "message-id", "subject", "mime-version", "content-type",
                                 "content-transfer-encoding"};
    if (!mail.sender.address.isEmpty())
        expected.insert("from");
    if (!mail.recipients.isEmpty())
        expected.insert("to");
    fuzz::check(fields == expected, "the header holds other fields than the program writes", shown);
    const QString decoded = net::decodeHeaderText(subject);
    fuzz::check(decoded == mail.subject.trimmed(), "the Subject reads back as other text",
                mail.subject + QStringLiteral("\n") + decoded);
    return 0;
}
