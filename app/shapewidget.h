// A filled rectangle or circle with a border, as the strip draws its bar
// and its activity indicator.
#pragma once

#include <QColor>
#include <QWidget>

namespace app {

class ShapeWidget : public QWidget {
    Q_OBJECT
public:
    enum class Kind { Rectangle, Circle };

    explicit ShapeWidget(Kind kind, QWidget* parent = nullptr);

    void setBrushColor(const QColor& color);
    QColor brushColor() const { return m_brush; }
    void setPenColor(const QColor& color, int width);
    Kind kind() const { return m_kind; }

signals:
    void mousePressed(QMouseEvent* event);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    Kind m_kind;
    QColor m_brush = Qt::white;
    QColor m_pen = Qt::black;
    int m_penWidth = 1;
};

} // namespace app
