#include "QMBoxHighlightable.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

QMBoxHighlightable::QMBoxHighlightable(QWidget *parent) : QFrame(parent)
{
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_Hover);
}

void QMBoxHighlightable::paintEvent(QPaintEvent *)
{
    if (!_highlighted && !hasFocus())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::Highlight);
    fill.setAlphaF(_pressed ? 0.18 : 0.10);
    QColor line = palette().color(QPalette::Highlight);
    line.setAlphaF(0.45);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    painter.fillPath(path, fill);
    painter.setPen(QPen(line, 1));
    painter.drawPath(path);
}

void QMBoxHighlightable::enterEvent(QEnterEvent *event)
{
    _highlighted = true;
    update();
    QFrame::enterEvent(event);
}

void QMBoxHighlightable::leaveEvent(QEvent *event)
{
    _highlighted = false;
    _pressed = false;
    update();
    QFrame::leaveEvent(event);
}

void QMBoxHighlightable::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        _pressed = true;
        update();
        event->accept();
        return;
    }
    QFrame::mousePressEvent(event);
}

void QMBoxHighlightable::mouseReleaseEvent(QMouseEvent *event)
{
    if (_pressed && event->button() == Qt::LeftButton) {
        _pressed = false;
        update();
        if (rect().contains(event->position().toPoint()))
            emit boxHighlightableClicked();
        event->accept();
        return;
    }
    QFrame::mouseReleaseEvent(event);
}

void QMBoxHighlightable::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        emit boxHighlightableClicked();
        return;
    }
    QFrame::keyPressEvent(event);
}
