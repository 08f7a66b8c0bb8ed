// The address-list reader on arbitrary text: nothing may crash, no entry is
// empty, and the list as the program shows it reads back as the same
// addresses.
#include "fuzzcheck.h"
#include "addresslist.h"
#include "neterror.h"
#include "outgoingmessage.h"

#include <QStringList>

#include <algorithm>

#include <cstddef>
#include <cstdint>

namespace {

QStringList addresses(const QList<net::Mailbox>& list)
{
    QStringList out;
    for (const net::Mailbox& m : list)
        out.append(m.address);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QList<net::Mailbox> list = net::parseAddressList(text);
    for (const net::Mailbox& m : list)
        fuzz::check(!m.name.isEmpty() || !m.address.isEmpty(), "an empty entry", text);
    const QString shown = net::addressListText(list);
    const QStringList read = addresses(list);
    // Plain addresses only (local@domain without quotes or a domain
    // literal, one the send accepts): the reader is lenient with garbage
    // such as a stray "<", quote or unclosed "[", which stays in the address
    // and is refused when sending.
    const bool comparable = std::all_of(read.begin(), read.end(), [](const QString& a) {
        if (!a.contains(u'@') || a.contains(u'"') || a.contains(u'['))
            return false;
        try {
            return !net::wireAddress(a).isEmpty();
        } catch (const net::NetError&) {
            return false;
        }
    });
    if (comparable) {
        const QList<net::Mailbox> again = net::parseAddressList(shown);
        fuzz::check(addresses(again) == addresses(list), "the shown list reads back as other addresses",
                    shown + QStringLiteral("\n") + net::addressListText(again));
    }
    return 0;
}
