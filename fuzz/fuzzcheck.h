// What the fuzz targets share: a check that stops the run with a message,
// so libFuzzer keeps the input that broke a property.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const QString& detail = {})
{
    std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what, detail.toUtf8().constData());
    std::abort();
}

inline void check(bool ok, const char* what, const QString& detail = {})
{
    if (!ok)
        fail(what, detail);
}

// True when text holds nothing the list line must not show: C0 and C1
// controls, DEL, bidirectional embeddings, overrides and isolates, line and
// paragraph separators.
inline bool onlyVisible(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069)
            || u == 0x2028 || u == 0x2029)
            return false;
    }
    return true;
}

} // namespace fuzz
