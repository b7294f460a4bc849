#pragma once

#include <QPainterPath>
#include <QRectF>
#include <QString>

// A closed triangle inside `rect`, pointing the way `sens` names (case-insensitive): "r"
// right, "b" down (bottom), "t" up (top); any other letter gives an empty path. Points are
// in Qt's coordinates (y grows downwards), so a "b" triangle points down on screen.
QPainterPath qm_bezierPathTriangleInRect(const QRectF &rect, const QString &sens);
