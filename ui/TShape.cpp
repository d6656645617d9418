// SPDX-License-Identifier: GPL-3.0-or-later
#include "TShape.h"

#include <QPainter>

TShape::TShape(QWidget* parent) : QWidget(parent) {}

void TShape::setBrushColor(QColor color) {
    if (color == m_brush)
        return;
    m_brush = color;
    update();
}

void TShape::setShape(ShapeType shape) {
    if (shape == m_shape)
        return;
    m_shape = shape;
    update();
}

void TShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(m_brush);
    // Keep the one-pixel outline inside the widget.
    const QRect r = rect().adjusted(0, 0, -1, -1);
    if (m_shape == Circle) {
        p.setRenderHint(QPainter::Antialiasing);
        p.drawEllipse(r);
    } else {
        p.drawRect(r);
    }
}
