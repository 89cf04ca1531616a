#include "panel_painter.h"

#include <QApplication>
#include <QPalette>
#include <QPixmap>

namespace panel {

QColor FaceColour() { return QApplication::palette().color(QPalette::Active, QPalette::Button); }

QColor ShadowColour() { return QApplication::palette().color(QPalette::Active, QPalette::Dark); }

void Polyline(QPainter& painter, const QColor& colour, std::initializer_list<QPoint> points) {
    const QPoint* previous = nullptr;
    for (const QPoint& point : points) {
        if (previous != nullptr) {
            const int dx = (point.x() > previous->x()) - (point.x() < previous->x());
            const int dy = (point.y() > previous->y()) - (point.y() < previous->y());
            QPoint p = *previous;
            while (p != point) {
                painter.fillRect(p.x(), p.y(), 1, 1, colour);
                p += QPoint(dx, dy);
            }
        }
        previous = &point;
    }
}

void RectangleOutline(QPainter& painter, const QColor& colour, int left, int top, int right,
                      int bottom) {
    const int r = right - 1;
    const int b = bottom - 1;
    // Closed: the end point is the start point, already drawn.
    Polyline(painter, colour, {{left, top}, {r, top}, {r, b}, {left, b}, {left, top}});
}

void DrawEdge3D(QPainter& painter, int x, int y, int cx, int cy, const QColor& topLeft,
                const QColor& bottomRight) {
    Polyline(painter, topLeft, {{x, y + cy - 2}, {x, y}, {x + cx - 1, y}});
    Polyline(painter, bottomRight, {{x + 1, y + cy - 1}, {x + cx - 1, y + cy - 1}, {x + cx - 1, y}});
}

void DrawBevel(QPainter& painter, int x, int y, int cx, int cy, const QColor& light,
               const QColor& dark, int sunken) {
    if (sunken == 1) {
        DrawEdge3D(painter, x, y, cx, cy, dark, light);
    } else {
        DrawEdge3D(painter, x, y, cx, cy, light, dark);
    }
}

void DrawIcon(QPainter& painter, int x, int y, const QPixmap& icon) {
    painter.drawPixmap(x, y, icon);
}

}  // namespace panel
