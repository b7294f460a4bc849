#pragma once

#include <QPalette>
#include <QRectF>

#include <optional>

class QPainter;

// The small usage pie of a list row: a ring, and the used fraction filled clockwise from
// twelve o'clock (a full disc at 1 or more, the ring alone at 0 or less).
class QMCamembertCell
{
public:
    static constexpr int diameter = 14;

    // The value drawn is the object value when there is one, else the double value.
    void setObjectValue(std::optional<double> value) { _objectValue = value; }
    void setDoubleValue(double value) { _doubleValue = value; }
    double value() const { return _objectValue.value_or(_doubleValue); }

    void setHighlighted(bool highlighted) { _highlighted = highlighted; }
    bool isHighlighted() const { return _highlighted; }
    void setEnabled(bool enabled) { _enabled = enabled; }
    bool isEnabled() const { return _enabled; }

    // Draws into the 14 x 14 square centred in `frame` (origin rounded down).
    void drawWithFrame(QPainter *painter, const QRectF &frame, const QPalette &palette) const;

    // The square drawn in for `frame`.
    static QRectF circleRect(const QRectF &frame);

private:
    std::optional<double> _objectValue;
    double _doubleValue = 0;
    bool _highlighted = false;
    bool _enabled = true;
};
