// Where a window lands: the least move that brings it wholly on screen.
#include "windowplace.h"

#include <gtest/gtest.h>

TEST(KeepInside, MovesTheLeastDistanceOntoTheScreen)
{
    const QRect area(0, 0, 1024, 768);
    const struct {
        const char* name;
        QRect box;
        QPoint expected;
    } cases[] = {
        {"inside stays", QRect(100, 50, 300, 200), QPoint(100, 50)},
        {"composer centred over the strip at 23", QRect(-62, 0, 612, 336), QPoint(0, 0)},
        {"off the top and right", QRect(900, -20, 300, 200), QPoint(724, 0)},
        {"off the bottom", QRect(10, 700, 300, 200), QPoint(10, 568)},
        {"larger than the screen keeps its corner on it", QRect(-50, -50, 1200, 900), QPoint(0, 0)},
    };
    for (const auto& c : cases) {
        const QRect placed = gui::keepInside(c.box, area);
        EXPECT_EQ(placed.topLeft(), c.expected) << c.name;
        EXPECT_EQ(placed.size(), c.box.size()) << c.name;
    }
    // A panel along the top: the available area starts below it.
    EXPECT_EQ(gui::keepInside(QRect(0, 0, 100, 100), QRect(0, 30, 1024, 738)).topLeft(), QPoint(0, 30));
}
