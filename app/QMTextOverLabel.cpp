#include "QMTextOverLabel.h"

#include "QMAppColors.h"

#include <QMouseEvent>
#include <QPainter>

QMTextOverLabel::QMTextOverLabel(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
}

void QMTextOverLabel::setText(const QString &text)
{
    if (_text == text)
        return;
    _text = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

void QMTextOverLabel::setShorterTexts(const QStringList &texts)
{
    if (_shorterTexts == texts)
        return;
    _shorterTexts = texts;
    update();
}

QString QMTextOverLabel::shownText() const
{
    // Measured with the underline the pointer may add: the same width either way.
    const QFontMetrics fm(font());
    if (fm.horizontalAdvance(_text) <= width())
        return _text;
    for (const QString &shorter : _shorterTexts)
        if (fm.horizontalAdvance(shorter) <= width())
            return shorter;
    return fm.elidedText(_shorterTexts.isEmpty() ? _text : _shorterTexts.last(), Qt::ElideRight, width());
}

void QMTextOverLabel::setClickable(bool clickable)
{
    _clickable = clickable;
    setCursor(clickable ? Qt::PointingHandCursor : Qt::ArrowCursor);
    update();
}

QMTextOverLabel::Style QMTextOverLabel::currentStyle() const
{
    if (!_clickable)
        return Style::Normal;
    if (_pressed)
        return Style::Pressed;
    return _hovered ? Style::Hovered : Style::Normal;
}

QSize QMTextOverLabel::sizeHint() const
{
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(_text) + 4, fm.height() + 2);
}

QSize QMTextOverLabel::minimumSizeHint() const
{
    return QSize(0, sizeHint().height());
}

void QMTextOverLabel::paintEvent(QPaintEvent *)
{
    if (_text.isEmpty())
        return;
    QPainter painter(this);
    QFont f = font();
    const Style style = currentStyle();
    f.setUnderline(style != Style::Normal);
    painter.setFont(f);
    const QString text = shownText();
    if (style != Style::Pressed) {
        const QColor shadow = QMAppColors::statusShadowColor(palette());
        if (shadow.isValid()) {
            painter.setPen(shadow);
            painter.drawText(rect().translated(1, 1), Qt::AlignCenter, text);
        }
    }
    painter.setPen(style == Style::Pressed ? QMAppColors::statusPressedColor(palette())
                                           : QMAppColors::statusTextColor(palette()));
    painter.drawText(rect(), Qt::AlignCenter, text);
}

void QMTextOverLabel::enterEvent(QEnterEvent *event)
{
    _hovered = true;
    update();
    QWidget::enterEvent(event);
}

void QMTextOverLabel::leaveEvent(QEvent *event)
{
    _hovered = false;
    update();
    QWidget::leaveEvent(event);
}

void QMTextOverLabel::mousePressEvent(QMouseEvent *event)
{
    if (_clickable && event->button() == Qt::LeftButton) {
        _pressed = true;
        update();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void QMTextOverLabel::mouseReleaseEvent(QMouseEvent *event)
{
    if (_pressed && event->button() == Qt::LeftButton) {
        _pressed = false;
        update();
        if (rect().contains(event->position().toPoint()))
            emit textOverLabelPressed();
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}
