// The scrambling of passwords stored in the settings files.
#pragma once

#include <QString>

namespace rt {

// "z", each character shifted up by its 1-based position, "2".
QString scrambleText(const QString& plain);
// Drops the first and last character and shifts each one back.
QString unscrambleText(const QString& stored);

} // namespace rt
