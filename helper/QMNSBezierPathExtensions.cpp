#include "QMNSBezierPathExtensions.h"

QPainterPath qm_bezierPathTriangleInRect(const QRectF &rect, const QString &sens)
{
    const qreal x = rect.x(), y = rect.y(), w = rect.width(), h = rect.height();
    QPainterPath path;
    const QString letter = sens.toLower();
    if (letter == QLatin1String("r")) {
        path.moveTo(x, y);
        path.lineTo(x + w, y + h / 2);
        path.lineTo(x, y + h);
    } else if (letter == QLatin1String("b")) {
        path.moveTo(x, y);
        path.lineTo(x + w, y);
        path.lineTo(x + w / 2, y + h);
    } else if (letter == QLatin1String("t")) {
        path.moveTo(x, y + h);
        path.lineTo(x + w / 2, y);
        path.lineTo(x + w, y + h);
    } else {
        return path;
    }
    path.closeSubpath();
    return path;
}
