// Pixel-exact drawing of the panel's edges, with the platform's one-pixel line rules.
#pragma once

#include <QColor>
#include <QPainter>
#include <QPoint>

#include <initializer_list>

namespace panel {

// The classic colours the panel is painted with. Face and shadow follow the desktop palette
// (button face and its dark shade); black, white, green and blue are fixed.
QColor FaceColour();
QColor ShadowColour();
inline QColor Black() { return QColor(0, 0, 0); }
inline QColor White() { return QColor(255, 255, 255); }
inline QColor Green() { return QColor(0, 255, 0); }
inline QColor Blue() { return QColor(0, 0, 255); }

// A polyline of horizontal and vertical segments, one pixel wide, whose very last point is not
// drawn (each segment stops short of its end, and the next segment starts there).
void Polyline(QPainter& painter, const QColor& colour, std::initializer_list<QPoint> points);

// Outline of the rectangle from (left, top) to (right - 1, bottom - 1), like a hollow-brush
// rectangle of the platform.
void RectangleOutline(QPainter& painter, const QColor& colour, int left, int top, int right,
                      int bottom);

// Top and left edges in topLeft, bottom and right edges in bottomRight:
// (x, y+cy-2) -> (x, y) -> (x+cx-1, y), then (x+1, y+cy-1) -> (x+cx-1, y+cy-1) -> (x+cx-1, y).
void DrawEdge3D(QPainter& painter, int x, int y, int cx, int cy, const QColor& topLeft,
                const QColor& bottomRight);

// sunken 1: dark at the top left (a sunken edge); anything else: light at the top left.
void DrawBevel(QPainter& painter, int x, int y, int cx, int cy, const QColor& light,
               const QColor& dark, int sunken);

// Draws an icon image at its own size with its top-left corner at (x, y).
void DrawIcon(QPainter& painter, int x, int y, const QPixmap& icon);

}  // namespace panel
