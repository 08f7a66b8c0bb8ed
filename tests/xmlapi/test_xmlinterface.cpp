#include "fakeplatform.h"
#include "state.h"
#include "textcodec.h"
#include "xmlinterface.h"

#include <gtest/gtest.h>

using namespace xmlapi;
using testsupport::RuntimeFixtureGuard;

namespace {
void otherHook(std::int32_t, const QString&) {}
} // namespace

TEST(XmlHook, WritesOnlyWhenInstalledAndVerbose)
{
    struct Case {
        bool installed;
        bool verbose;
        std::int32_t code;
        const char* text;
        const char* line; // empty: nothing written
    };
    const Case cases[] = {
        {true, true, 5, "ok", "t XML: 5 ok"},
        {true, true, -12, "feil i svar", "t XML: -12 feil i svar"},
        {true, true, 0, "", "t XML: 0 "},
        {true, false, 5, "ok", ""},
        {false, true, 5, "ok", ""},
    };
    for (const Case& c : cases) {
        RuntimeFixtureGuard guard;
        guard.fake.fixedTime = QStringLiteral("t");
        rt::state().logToFile = true;
        rt::state().verboseLogging = c.verbose;
        installLogHook();
        if (!c.installed)
            logHook = &otherHook;
        writeXmlLogLine(c.code, QString::fromUtf8(c.text));
        EXPECT_EQ(rt::state().lastLogLine, QString::fromUtf8(c.line)) << c.code << c.text;
        logHook = nullptr;
    }
}

TEST(XmlHook, LetterRepairTableCoversTheNorwegianLetters)
{
    // Each mis-decoded form is the letter's UTF-8 bytes read as Windows-1252.
    for (const LetterRepair& r : kLetterRepairs) {
        QString misread;
        for (const char byte : r.letter.toUtf8())
            misread += rt::cp1252ToUnicode(static_cast<unsigned char>(byte));
        EXPECT_EQ(r.misdecoded, misread) << r.letter.toStdString();
    }
    EXPECT_EQ(kLetterRepairs[0].letter + kLetterRepairs[1].letter + kLetterRepairs[2].letter
                  + kLetterRepairs[3].letter + kLetterRepairs[4].letter + kLetterRepairs[5].letter,
              QStringLiteral("æøåÆØÅ"));
}
