// The header reader on arbitrary bytes: RFC 2047 decoding, the From display
// text and the list line. Nothing may crash, and the parsed sender and
// subject, and so the list line, hold no control or direction characters.
#include "addresslist.h"
#include "encodedwords.h"
#include "fuzzcheck.h"
#include "mailheader.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray raw(reinterpret_cast<const char*>(data), qsizetype(size));

    const net::HeaderInfo info = net::parseHeader(raw);
    fuzz::check(fuzz::onlyVisible(info.from), "From shows a control character", info.from);
    fuzz::check(fuzz::onlyVisible(info.subject), "Subject shows a control character", info.subject);
    fuzz::check(fuzz::onlyVisible(net::listLine(info)), "list line shows a control character", net::listLine(info));

    // The whole input as one value, as the reader sees a From or Subject;
    // the sanitizers and libFuzzer's time limit watch these.
    net::fromDisplayText(raw);
    net::decodeHeaderText(raw);
    return 0;
}
