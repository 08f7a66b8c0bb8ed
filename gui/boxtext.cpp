#include "boxtext.h"

#include <QTextBoundaryFinder>

namespace gui {

namespace {

constexpr QChar kWordJoiner(0x2060);
constexpr QChar kZeroWidthSpace(0x200B);

// word with a joiner between each two of its characters as the user sees
// them (grapheme clusters), so no mark is parted from its letter.
QString joined(const QString& word)
{
    QString out;
    out.reserve(word.size() * 2);
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, word);
    qsizetype from = 0;
    for (qsizetype to = graphemes.toNextBoundary(); to > 0; to = graphemes.toNextBoundary()) {
        if (from > 0)
            out += kWordJoiner;
        out += QStringView(word).mid(from, to - from);
        from = to;
    }
    return out;
}

} // namespace

QString keepPathsWhole(const QString& text)
{
    QString out;
    out.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        if (text.at(i).isSpace()) {
            out += text.at(i++);
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && !text.at(end).isSpace())
            ++end;
        const QString word = text.mid(i, end - i);
        if (word.contains(QLatin1Char('/'))) {
            // A line may not break before a "/" even after a blank; the
            // zero-width space lets the path start a new line.
            if (i > 0)
                out += kZeroWidthSpace;
            out += joined(word);
        } else {
            out += word;
        }
        i = end;
    }
    return out;
}

} // namespace gui
