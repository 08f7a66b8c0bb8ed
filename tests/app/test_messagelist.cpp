// The strip's list model: the lines held as they came, boxes the user ticks.
#include "messagelist.h"

#include <QSize>
#include <gtest/gtest.h>

#include <vector>

using app::MessageListModel;

namespace {

std::vector<int> ticks(const MessageListModel& model)
{
    std::vector<int> out;
    for (int row = 0; row < model.rowCount(); ++row)
        out.push_back(model.index(row, 0).data(Qt::CheckStateRole).toInt());
    return out;
}

const QStringList kLines{QStringLiteral("Kari Nordmann <kari@example.no>   Hei"),
                         QStringLiteral("Per   Faktura 2024-117"), QStringLiteral("   ")};

} // namespace

// 10,000 lines must not cost their text twice: the model keeps the very
// strings the watcher handed over.
TEST(MessageListModelTest, ShowsTheLinesItWasGivenWithoutCopyingThem)
{
    MessageListModel model(13);
    model.setLines(kLines);
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_TRUE(model.lines().isSharedWith(kLines));
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        const QModelIndex i = model.index(row, 0);
        const QString shown = i.data().toString();
        EXPECT_EQ(shown, kLines.at(row));
        EXPECT_EQ(shown.constData(), kLines.at(row).constData()) << "the line was copied";
        // Long lines are cut in the list; the tooltip has the whole line.
        EXPECT_EQ(i.data(Qt::ToolTipRole).toString().constData(), kLines.at(row).constData());
        EXPECT_EQ(i.data(Qt::SizeHintRole).toSize(), QSize(0, 13));
        EXPECT_EQ(model.flags(i), Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable
                                      | Qt::ItemNeverHasChildren);
    }
    EXPECT_EQ(model.rowCount(model.index(0, 0)), 0) << "a list has no children";
    EXPECT_FALSE(model.index(3, 0).isValid());
    EXPECT_FALSE(model.index(0, 1).isValid());

    model.setLines({});
    EXPECT_EQ(model.rowCount(), 0);
}

TEST(MessageListModelTest, BoxesAreTickedOneByOneAndNewLinesStartUnticked)
{
    MessageListModel model(13);
    model.setLines(kLines);
    EXPECT_EQ(ticks(model), (std::vector<int>{Qt::Unchecked, Qt::Unchecked, Qt::Unchecked}));
    std::vector<int> changedRows;
    QObject::connect(&model, &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& from, const QModelIndex& to) {
                         for (int row = from.row(); row <= to.row(); ++row)
                             changedRows.push_back(row);
                     });

    EXPECT_TRUE(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(ticks(model), (std::vector<int>{Qt::Unchecked, Qt::Checked, Qt::Unchecked}));
    EXPECT_EQ(changedRows, std::vector<int>{1}) << "the view repaints the box it ticked";
    EXPECT_TRUE(model.setData(model.index(2, 0), Qt::Checked, Qt::CheckStateRole));
    EXPECT_TRUE(model.setData(model.index(1, 0), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(ticks(model), (std::vector<int>{Qt::Unchecked, Qt::Unchecked, Qt::Checked}));

    // The text is not the user's to change, and no row beyond the list exists.
    EXPECT_FALSE(model.setData(model.index(0, 0), QStringLiteral("annet"), Qt::EditRole));
    EXPECT_EQ(model.index(0, 0).data().toString(), kLines.at(0));
    MessageListModel other(13);
    other.setLines(kLines);
    EXPECT_FALSE(model.setData(other.index(0, 0), Qt::Checked, Qt::CheckStateRole)) << "another model's index";
    EXPECT_EQ(ticks(model), (std::vector<int>{Qt::Unchecked, Qt::Unchecked, Qt::Checked}));

    model.setLines(kLines);
    EXPECT_EQ(ticks(model), (std::vector<int>{Qt::Unchecked, Qt::Unchecked, Qt::Unchecked}));
}
