// Mailboxes and address lists as users type them and headers hold them,
// read leniently, and shown back as the program writes them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace net {

// One address with its optional display name, decoded.
struct Mailbox {
    QString name;
    QString address; // empty when the entry holds no usable address

    bool operator==(const Mailbox&) const = default;
};

// The first address of a From value as display text: the display name, a
// space and the address in < >; the name in double quotes when it holds a
// character other than a letter, a digit, a space or one of
// !#$%&'*+-/=?_`{}|~; the bare address when there is no name or the name
// equals the address. Encoded words in the name are decoded.
QString fromDisplayText(const QByteArray& rawValue);

// A comma-separated address list as a user types it or a header holds it,
// such as:  Ola <ola@example.no>, kari@example.no, "Nordmann, Kari" <k@example.no>
// Each entry is read as fromDisplayText reads its mailbox (quoted or encoded
// names, comments, a name in front of a bare address). Also accepted:
// ";" as a separator, a group ("Team: a, b;") giving its members, and an
// unquoted name holding a comma when an address in < > follows it (so in
// "postmaster, Ola <ola@example.no>" the name is "postmaster, Ola"). A single
// word without "@" is taken as a local address ("postmaster"); an entry with
// no address at all keeps its text as the name and an empty address. Empty
// entries are skipped.
QList<Mailbox> parseAddressList(const QString& text);

// An entry as the program shows it: the name (quoted like fromDisplayText
// does) and the address in < >; the bare address without a name or when the
// name equals it; the name alone when there is no address.
QString mailboxText(const Mailbox& mailbox);
// The entries' texts joined by ", "; a bare local address followed by an
// entry with < > is itself put in < >, so the text reads back as the list.
QString addressListText(const QList<Mailbox>& list);

} // namespace net
