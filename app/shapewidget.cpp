#include "shapewidget.h"

#include <QMouseEvent>
#include <QPainter>

namespace app {

ShapeWidget::ShapeWidget(Kind kind, QWidget* parent)
    : QWidget(parent)
    , m_kind(kind)
{
}

void ShapeWidget::setBrushColor(const QColor& color)
{
    m_brush = color;
    update();
}

void ShapeWidget::setPenColor(const QColor& color, int width)
{
    m_pen = color;
    m_penWidth = width;
    update();
}

void ShapeWidget::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, m_kind == Kind::Circle);
    QPen pen(m_pen, m_penWidth);
    pen.setJoinStyle(Qt::MiterJoin);
    p.setPen(pen);
    p.setBrush(m_brush);
    // Keep the whole border inside the widget.
    const qreal inset = m_penWidth / 2.0;
    const QRectF box = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    if (m_kind == Kind::Circle)
        p.drawEllipse(box);
    else
        p.drawRect(box);
}

void ShapeWidget::mousePressEvent(QMouseEvent* event)
{
    emit mousePressed(event);
}

} // namespace app
