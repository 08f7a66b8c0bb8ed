#include "messagelist.h"

#include <QSize>

namespace app {

MessageListModel::MessageListModel(int lineHeight, QObject* parent)
    : QAbstractListModel(parent)
    , m_lineHeight(lineHeight)
{
}

void MessageListModel::setLines(const QStringList& lines)
{
    beginResetModel();
    m_lines = lines;
    m_ticked.assign(std::size_t(lines.size()), false);
    endResetModel();
}

bool MessageListModel::valid(const QModelIndex& index) const
{
    return index.isValid() && index.model() == this && index.column() == 0 && index.row() >= 0
        && index.row() < m_lines.size();
}

int MessageListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant MessageListModel::data(const QModelIndex& index, int role) const
{
    if (!valid(index))
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole: // long lines are cut with "…" in the list
        return m_lines.at(index.row());
    case Qt::CheckStateRole:
        return int(m_ticked[std::size_t(index.row())] ? Qt::Checked : Qt::Unchecked);
    case Qt::SizeHintRole:
        return QSize(0, m_lineHeight);
    default:
        return {};
    }
}

bool MessageListModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!valid(index) || role != Qt::CheckStateRole)
        return false;
    const bool ticked = value.toInt() != Qt::Unchecked;
    m_ticked[std::size_t(index.row())] = ticked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags MessageListModel::flags(const QModelIndex& index) const
{
    if (!valid(index))
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

} // namespace app
