// The one-line input dialog: Enter and Esc close it, nothing else does, and
// the text stays from one opening to the next.
#include "input.h"
#include "serversfixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

using servers::TInputForm;

namespace {

using testsupport::operator<<;

class InputFormTest : public testing::Test {
protected:
    // Opens the dialog modally; once it shows, records the focus and runs act.
    int open(const std::function<void()>& act)
    {
        QTimer::singleShot(0, &dialog, [&] {
            focusAtShow = dialog.focusWidget();
            act();
        });
        return dialog.exec();
    }

    TInputForm dialog;
    QWidget* focusAtShow = nullptr;
};

struct KeyCase {
    const char* name;
    Qt::Key key;
    int result;
};

class InputKeyTest : public InputFormTest, public testing::WithParamInterface<KeyCase> {};

TEST_P(InputKeyTest, KeyInTheEditClosesWithItsResult)
{
    const int result = open([&] {
        QTest::keyClicks(dialog.Edit1, QStringLiteral("prisliste"));
        QTest::keyClick(dialog.Edit1, GetParam().key);
    });
    EXPECT_EQ(result, GetParam().result);
    EXPECT_EQ(focusAtShow, dialog.Edit1);
    EXPECT_EQ(dialog.Edit1->text(), QStringLiteral("prisliste"));
}

INSTANTIATE_TEST_SUITE_P(Keys, InputKeyTest,
                         testing::Values(KeyCase{"Return", Qt::Key_Return, QDialog::Accepted},
                                         KeyCase{"Enter", Qt::Key_Enter, QDialog::Accepted},
                                         KeyCase{"Escape", Qt::Key_Escape, QDialog::Rejected}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InputFormTest, TheButtonsCloseWithOkAndCancel)
{
    EXPECT_EQ(open([&] { QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton); }), QDialog::Accepted);
    EXPECT_EQ(open([&] { QTest::mouseClick(dialog.BitBtn2, Qt::LeftButton); }), QDialog::Rejected);
    EXPECT_EQ(dialog.BitBtn1->text(), QStringLiteral("O&k"));
    EXPECT_EQ(dialog.BitBtn2->text(), QStringLiteral("&Avbryt"));
}

TEST_F(InputFormTest, ACloseRequestLeavesItOpen)
{
    bool stillOpen = false;
    const int result = open([&] {
        EXPECT_FALSE(dialog.close());
        stillOpen = dialog.isVisible();
        QTest::keyClick(dialog.Edit1, Qt::Key_Escape);
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(result, QDialog::Rejected);
}

TEST_F(InputFormTest, TextIsKeptAndFocusReturnsToTheEditOnEveryShow)
{
    open([&] {
        QTest::keyClicks(dialog.Edit1, QStringLiteral("første"));
        dialog.BitBtn2->setFocus();
        QTest::keyClick(dialog.BitBtn2, Qt::Key_Escape);
    });
    const int result = open([&] { QTest::keyClick(dialog.Edit1, Qt::Key_Return); });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(focusAtShow, dialog.Edit1);
    EXPECT_EQ(dialog.Edit1->text(), QStringLiteral("første"));
}

TEST_F(InputFormTest, TabOrderIsOkCancelEdit)
{
    EXPECT_EQ(testsupport::nextTabStop(dialog.BitBtn1), dialog.BitBtn2);
    EXPECT_EQ(testsupport::nextTabStop(dialog.BitBtn2), dialog.Edit1);
    EXPECT_EQ(testsupport::nextTabStop(dialog.Edit1), dialog.BitBtn1);
    EXPECT_TRUE(dialog.BitBtn1->isDefault());
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Input:"));
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowSystemMenuHint);
}

} // namespace
