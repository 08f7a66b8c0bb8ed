#include "xmlinterface.h"

#include "log.h"
#include "state.h"

namespace xmlapi {

const std::array<LetterRepair, 6> kLetterRepairs = {{
    {QStringLiteral("æ"), QStringLiteral("Ã¦")},
    {QStringLiteral("ø"), QStringLiteral("Ã¸")},
    {QStringLiteral("å"), QStringLiteral("Ã¥")},
    {QStringLiteral("Æ"), QStringLiteral("Ã†")},
    {QStringLiteral("Ø"), QStringLiteral("Ã˜")},
    {QStringLiteral("Å"), QStringLiteral("Ã…")},
}};

LogHookFn logHook = nullptr;

void writeXmlLogLine(std::int32_t code, const QString& text)
{
    if (logHook != &writeXmlLogLine)
        return;
    if (!rt::state().verboseLogging)
        return;
    rt::writeLog(QStringLiteral("XML: %1 %2").arg(code).arg(text));
}

void installLogHook()
{
    logHook = &writeXmlLogLine;
}

} // namespace xmlapi
