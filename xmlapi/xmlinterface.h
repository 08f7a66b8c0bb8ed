// Identity of the XML interface, the letter-repair table, and the hook
// through which XML exchanges write "XML: " lines to the log.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

namespace xmlapi {

inline const QString kApiName = QStringLiteral("Tavlund XMLAPI");
inline const QString kApiVersion = QStringLiteral("1.30");
inline const QString kEncoding = QStringLiteral("iso-8859-1");

// Each Norwegian letter with what its UTF-8 bytes look like read as Windows-1252.
struct LetterRepair {
    QString letter;
    QString misdecoded;
};
extern const std::array<LetterRepair, 6> kLetterRepairs;

using LogHookFn = void (*)(std::int32_t code, const QString& text);

// Empty until installLogHook(); then writeXmlLogLine.
extern LogHookFn logHook;

// Writes "XML: <code> <text>" to the log while detailed logging is on and
// this routine is still the installed hook.
void writeXmlLogLine(std::int32_t code, const QString& text);

// Installs writeXmlLogLine into the hook; run at start-up before any window.
void installLogHook();

} // namespace xmlapi
