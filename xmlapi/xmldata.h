// Identity of the XML interface, the letter-repair table, and the hook
// through which XML exchanges write "XML: " lines to the log.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace xmldata {

inline const QString XmlApiName = QStringLiteral("Tavlund XMLAPI");
inline const QString XmlApiVersion = QStringLiteral("1.30");
inline const QString XmlEncoding = QStringLiteral("iso-8859-1");

// Each Norwegian letter with what its UTF-8 bytes look like read as Windows-1252.
struct LetterRepair {
    QString letter;
    QString misdecoded;
};
extern const std::array<LetterRepair, 6> XmlLetterRepairs;

using XmlLogHookFn = void (*)(std::int32_t code, const QString& text);

// Empty until initialize(); then XmlLogLine.
extern XmlLogHookFn XmlLogHook;

// Writes "XML: <code> <text>" to the log while detailed logging is on and
// this routine is still the installed hook.
void XmlLogLine(std::int32_t code, const QString& text);

// Installs XmlLogLine into the hook; run at start-up before any window.
void initialize();

} // namespace xmldata
