// The one-line input dialog: Enter and Esc close it, nothing else does, and
// the text stays from one opening to the next.
#include "inputdialog.h"
#include "serversfixture.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

using servers::InputDialog;

namespace {

using testsupport::operator<<;

class InputDialogTest : public testing::Test {
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

    InputDialog dialog;
    QWidget* focusAtShow = nullptr;
};

struct KeyCase {
    const char* name;
    Qt::Key key;
    int result;
};

class InputKeyTest : public InputDialogTest, public testing::WithParamInterface<KeyCase> {};

TEST_P(InputKeyTest, KeyInTheEditClosesWithItsResult)
{
    const int result = open([&] {
        QTest::keyClicks(dialog.valueEdit, QStringLiteral("prisliste"));
        QTest::keyClick(dialog.valueEdit, GetParam().key);
    });
    EXPECT_EQ(result, GetParam().result);
    EXPECT_EQ(focusAtShow, dialog.valueEdit);
    EXPECT_EQ(dialog.valueEdit->text(), QStringLiteral("prisliste"));
}

INSTANTIATE_TEST_SUITE_P(Keys, InputKeyTest,
                         testing::Values(KeyCase{"Return", Qt::Key_Return, QDialog::Accepted},
                                         KeyCase{"Enter", Qt::Key_Enter, QDialog::Accepted},
                                         KeyCase{"Escape", Qt::Key_Escape, QDialog::Rejected}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InputDialogTest, TheButtonsCloseWithOkAndCancel)
{
    EXPECT_EQ(open([&] { QTest::mouseClick(dialog.okButton, Qt::LeftButton); }), QDialog::Accepted);
    EXPECT_EQ(open([&] { QTest::mouseClick(dialog.cancelButton, Qt::LeftButton); }), QDialog::Rejected);
    EXPECT_EQ(dialog.okButton->text(), QStringLiteral("O&k"));
    EXPECT_EQ(dialog.cancelButton->text(), QStringLiteral("&Avbryt"));
}

TEST_F(InputDialogTest, ACloseRequestLeavesItOpen)
{
    bool stillOpen = false;
    const int result = open([&] {
        EXPECT_FALSE(dialog.close());
        stillOpen = dialog.isVisible();
        QTest::keyClick(dialog.valueEdit, Qt::Key_Escape);
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(result, QDialog::Rejected);
}

TEST_F(InputDialogTest, TextIsKeptAndFocusReturnsToTheEditOnEveryShow)
{
    open([&] {
        QTest::keyClicks(dialog.valueEdit, QStringLiteral("første"));
        dialog.cancelButton->setFocus();
        QTest::keyClick(dialog.cancelButton, Qt::Key_Escape);
    });
    const int result = open([&] { QTest::keyClick(dialog.valueEdit, Qt::Key_Return); });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(focusAtShow, dialog.valueEdit);
    EXPECT_EQ(dialog.valueEdit->text(), QStringLiteral("første"));
}

TEST_F(InputDialogTest, TabOrderIsOkCancelEdit)
{
    EXPECT_EQ(testsupport::nextTabStop(dialog.okButton), dialog.cancelButton);
    EXPECT_EQ(testsupport::nextTabStop(dialog.cancelButton), dialog.valueEdit);
    EXPECT_EQ(testsupport::nextTabStop(dialog.valueEdit), dialog.okButton);
    EXPECT_TRUE(dialog.okButton->isDefault());
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Input:"));
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowSystemMenuHint);
}

} // namespace
