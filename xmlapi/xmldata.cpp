#include "xmldata.h"

#include "state.h"
#include "textfil.h"

namespace xmldata {

const std::array<LetterRepair, 6> XmlLetterRepairs = {{
    {QStringLiteral("æ"), QStringLiteral("Ã¦")},
    {QStringLiteral("ø"), QStringLiteral("Ã¸")},
    {QStringLiteral("å"), QStringLiteral("Ã¥")},
    {QStringLiteral("Æ"), QStringLiteral("Ã†")},
    {QStringLiteral("Ø"), QStringLiteral("Ã˜")},
    {QStringLiteral("Å"), QStringLiteral("Ã…")},
}};

XmlLogHookFn XmlLogHook = nullptr;

void XmlLogLine(std::int32_t code, const QString& text)
{
    if (XmlLogHook != &XmlLogLine)
        return;
    if (!rt::state().VerboseLogging)
        return;
    rt::WriteLog(QStringLiteral("XML: %1 %2").arg(code).arg(text));
}

void initialize()
{
    XmlLogHook = &XmlLogLine;
}

} // namespace xmldata
