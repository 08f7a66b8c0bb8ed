// The strip's list of waiting messages as a list model: one line per
// message, a check box in front of each that the user may tick (nothing
// reads it), the whole line as its tooltip, and one line height for all so
// the view never measures lines one by one. The lines are the watcher's
// strings, kept as they come (shared, never copied), so 10,000 lines cost
// little more than their text.
#pragma once

#include <QAbstractListModel>
#include <QStringList>
#include <vector>

namespace app {

class MessageListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit MessageListModel(int lineHeight, QObject* parent = nullptr);

    // The lines of a check, every box unticked.
    void setLines(const QStringList& lines);
    const QStringList& lines() const { return m_lines; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    bool valid(const QModelIndex& index) const;

    QStringList m_lines;
    std::vector<bool> m_ticked;
    int m_lineHeight;
};

} // namespace app
