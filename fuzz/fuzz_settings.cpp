// The settings file reader and writer: arbitrary bytes are read as a
// settings file, arbitrary values are written into it, and after a save
// the file reads back with the same sections, keys and values.
#include "fuzzcheck.h"
#include "inifile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// A section or key name as the program writes them: letters, digits, "-"
// and "_" (names are fixed in the program; a name with "=" or "]" is not
// something it writes).
QString name(FuzzedDataProvider& in)
{
    static const char alphabet[] = "abcABC019-_SsKk";
    QString out;
    const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(1, 6);
    for (std::size_t i = 0; i < length; ++i)
        out += QLatin1Char(alphabet[in.ConsumeIntegralInRange<std::size_t>(0, sizeof alphabet - 2)]);
    return out;
}

QString content(const rt::IniFile& ini)
{
    QString out;
    for (const QString& section : ini.sections()) {
        out += QStringLiteral("[") + section + QStringLiteral("]\n");
        for (const QString& key : ini.keys(section))
            out += key + QStringLiteral("=") + ini.readString(section, key) + QStringLiteral("|\n");
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fuzz.ini"));
    FuzzedDataProvider in(data, size);
    const std::string file = in.ConsumeRandomLengthString(4096);
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || f.write(file.data(), qint64(file.size())) != qint64(file.size()))
            fuzz::fail("cannot write the settings file");
    }

    rt::IniFile ini(path);
    const int writes = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < writes; ++i) {
        const std::string value = in.ConsumeRandomLengthString(64);
        ini.writeString(name(in), name(in), QString::fromUtf8(value.data(), qsizetype(value.size())));
    }
    const QString before = content(ini);
    fuzz::check(ini.updateFile(), "the save failed", ini.errorString());
    const rt::IniFile again(path);
    fuzz::check(content(again) == before, "the saved file reads back with other content",
                before + QStringLiteral("\n---\n") + content(again));
    return 0;
}
