// Text for message boxes, laid out so that what the user may need to copy
// by eye stays readable.
#pragma once

#include <QString>

namespace gui {

// text with no line break inside a word that holds a "/" (a file path, an
// address with a path): a word joiner (U+2060, not drawn) stands at every
// place inside such a word where a line could otherwise break, and a
// zero-width space (U+200B) before it, so a wrapping label moves the word
// whole to the next line. Blanks still break. Removing every U+2060 and
// U+200B gives text back.
QString keepPathsWhole(const QString& text);

} // namespace gui
