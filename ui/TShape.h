// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A small filled figure in a brush colour: the window's transmit and receive lamps.
#include <QColor>
#include <QWidget>

class TShape : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor brushColor READ brushColor WRITE setBrushColor)
    Q_PROPERTY(ShapeType shape READ shape WRITE setShape)
public:
    enum ShapeType { Rectangle, Circle };
    Q_ENUM(ShapeType)

    explicit TShape(QWidget* parent = nullptr);

    void setBrushColor(QColor color);
    QColor brushColor() const { return m_brush; }
    void setShape(ShapeType shape);
    ShapeType shape() const { return m_shape; }

    QSize sizeHint() const override { return {8, 8}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_brush{0x80, 0x80, 0x80}; // idle grey
    ShapeType m_shape = Rectangle;
};
