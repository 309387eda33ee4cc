#include "shape.h"

#include <QPainter>

TShape::TShape(QWidget* parent) : QWidget(parent) {}

void TShape::setKind(Kind kind)
{
    if (kind == shapeKind)
        return;
    shapeKind = kind;
    update();
}

void TShape::setBrushColor(uint32_t colorBBGGRR)
{
    colorBBGGRR &= 0xFFFFFF;
    if (colorBBGGRR == brush)
        return;
    brush = colorBBGGRR;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(QColor(brush & 0xFF, (brush >> 8) & 0xFF, (brush >> 16) & 0xFF));
    // Half a pixel inwards so the 1-pixel outline is not cut at the edges.
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (shapeKind == Kind::Circle) {
        const qreal side = qMin(area.width(), area.height());
        QRectF circle(0, 0, side, side);
        circle.moveCenter(area.center());
        painter.drawEllipse(circle);
    } else {
        const qreal radius = qMin(area.width(), area.height()) / 4;
        painter.drawRoundedRect(area, radius, radius);
    }
}
