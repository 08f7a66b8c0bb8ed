// A message box's text: a path never breaks across lines, and the text the
// user reads is the text given.
#include "boxtext.h"

#include <QList>
#include <QTextBoundaryFinder>

#include <gtest/gtest.h>

namespace {

// The places a wrapping label may break the line, as positions in text.
QList<qsizetype> lineBreaks(const QString& text)
{
    QList<qsizetype> at;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Line, text);
    for (qsizetype p = finder.toNextBoundary(); p > 0 && p < text.size(); p = finder.toNextBoundary())
        at.append(p);
    return at;
}

// The text as given: without the word joiners and zero-width spaces.
QString withoutJoiners(QString text)
{
    return text.remove(QChar(0x2060)).remove(QChar(0x200B));
}

bool invisible(QChar c)
{
    return c == QChar(0x2060) || c == QChar(0x200B);
}

} // namespace

TEST(KeepPathsWhole, NoLineBreakInsideAPathAndTheTextReadsTheSame)
{
    const struct {
        const char* name;
        QString text;
        QString whole; // the part that must not break (it occurs once in text)
    } cases[] = {
        {"saved message",
         QStringLiteral("Ingen e-postprogram kunne åpne meldingen. Den er lagret i "
                        "/home/kari-nordmann/.local/share/Tavlund/tmp/temp.eml."),
         QStringLiteral("/home/kari-nordmann/.local/share/Tavlund/tmp/temp.eml.")},
        {"digits, hyphens and underscores",
         QStringLiteral("Kan ikke lagre meldingen i /tmp/brev-2024_01/a-1/temp.eml: ingen plass"),
         QStringLiteral("/tmp/brev-2024_01/a-1/temp.eml:")},
        {"ideographs, which break between any two",
         QStringLiteral("Lagret i /home/用户/文档/邮件/temp.eml nå"), QStringLiteral("/home/用户/文档/邮件/temp.eml")},
        {"an address with a path", QStringLiteral("Se https://post.example.no/hjelp/pop3-oppsett for mer"),
         QStringLiteral("https://post.example.no/hjelp/pop3-oppsett")},
        {"at the start, in brackets", QStringLiteral("(/var/tmp/x-y/z) kan ikke leses"),
         QStringLiteral("(/var/tmp/x-y/z)")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString shown = gui::keepPathsWhole(c.text);
        EXPECT_EQ(withoutJoiners(shown), c.text);
        // The path's span in the shown text, found through the text as given.
        const qsizetype start = c.text.indexOf(c.whole);
        ASSERT_GE(start, 0);
        qsizetype from = -1;
        qsizetype to = -1;
        for (qsizetype i = 0, plain = 0; i <= shown.size(); ++i) {
            if (plain == start && from < 0 && i < shown.size() && !invisible(shown.at(i)))
                from = i;
            if (plain == start + c.whole.size()) {
                to = i;
                break;
            }
            if (i < shown.size() && !invisible(shown.at(i)))
                ++plain;
        }
        ASSERT_GE(from, 0);
        ASSERT_GT(to, from);
        const QList<qsizetype> breaks = lineBreaks(shown);
        for (const qsizetype p : breaks)
            EXPECT_FALSE(p > from && p < to) << "a line may break at " << p << " inside " << c.whole.toStdString();
        // The blank before it still breaks, so the path moves whole to the next line.
        if (from > 0) {
            EXPECT_TRUE(breaks.contains(from)) << "no break before the path";
        }
        // Without the joiners the same text would break inside the path.
        bool plainBreaksInside = false;
        for (const qsizetype p : lineBreaks(c.text))
            plainBreaksInside = plainBreaksInside || (p > start && p < start + c.whole.size());
        EXPECT_TRUE(plainBreaksInside) << "the case shows nothing";
    }
}

TEST(KeepPathsWhole, LeavesOtherWordsAndMarksAlone)
{
    // No "/": nothing changes.
    const QString plain = QStringLiteral("Serveren avviste innloggingen: [AUTH] authentication failed.");
    EXPECT_EQ(gui::keepPathsWhole(plain), plain);
    // A combining accent stays with its letter, and a character outside the
    // basic plane stays one character.
    const QString marked = QStringLiteral("/tmp/cafe\u0301/\U0001F4E7/temp.eml");
    const QString shown = gui::keepPathsWhole(marked);
    EXPECT_TRUE(shown.contains(QStringLiteral("e\u0301"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("\U0001F4E7"))) << shown.toStdString();
    EXPECT_EQ(withoutJoiners(shown), marked);
}
