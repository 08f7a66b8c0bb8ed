// The strip's list as a user meets it: its lines, their boxes, selecting one.
#pragma once

#include <QAbstractItemModel>
#include <QListView>
#include <QString>

inline int lineCount(const QListView* list)
{
    return list->model()->rowCount();
}

inline QModelIndex lineAt(const QListView* list, int row)
{
    return list->model()->index(row, 0);
}

inline QString lineText(const QListView* list, int row)
{
    return lineAt(list, row).data().toString();
}

// As a click on the line does: the line current and the only one selected.
inline void selectLine(QListView* list, int row)
{
    list->setCurrentIndex(lineAt(list, row));
}
