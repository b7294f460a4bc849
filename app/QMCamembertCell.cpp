#include "QMCamembertCell.h"

#include "QMAppColors.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

QRectF QMCamembertCell::circleRect(const QRectF &frame)
{
    const double x = std::floor(frame.x() + (frame.width() - diameter) / 2);
    const double y = std::floor(frame.y() + (frame.height() - diameter) / 2);
    return QRectF(x, y, diameter, diameter);
}

void QMCamembertCell::drawWithFrame(QPainter *painter, const QRectF &frame, const QPalette &palette) const
{
    const double v = value();
    const QRectF circle = circleRect(frame);
    QColor color = QMAppColors::pieColor(palette, _highlighted);
    if (!_enabled)
        color.setAlphaF(color.alphaF() * 0.5);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(color, 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawEllipse(circle);

    if (v >= 1) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(color);
        painter->drawEllipse(circle);
    } else if (v > 0) {
        // Clockwise on screen from twelve o'clock, as the design's flipped view draws it.
        const QPointF centre(std::floor(circle.center().x()), std::floor(circle.center().y()));
        const double radius = std::floor(diameter / 2.0);
        QPainterPath sector;
        sector.moveTo(centre);
        sector.arcTo(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), 90, -v * 360);
        sector.closeSubpath();
        painter->setPen(Qt::NoPen);
        painter->setBrush(color);
        painter->drawPath(sector);
    }
    painter->restore();
}
