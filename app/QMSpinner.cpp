#include "QMSpinner.h"

#include <QPainter>
#include <QTimer>

namespace {
constexpr int kSpokes = 12;
}

QMSpinner::QMSpinner(QWidget *parent) : QWidget(parent)
{
    _timer = new QTimer(this);
    _timer->setInterval(80);
    connect(_timer, &QTimer::timeout, this, [this] {
        _step = (_step + 1) % kSpokes;
        update();
    });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void QMSpinner::startAnimation()
{
    if (!_timer->isActive())
        _timer->start();
    update();
}

void QMSpinner::stopAnimation()
{
    _timer->stop();
    update();
}

bool QMSpinner::isAnimating() const
{
    return _timer->isActive();
}

QSize QMSpinner::sizeHint() const
{
    return QSize(16, 16);
}

void QMSpinner::paintEvent(QPaintEvent *)
{
    if (!isAnimating())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    p.translate(width() / 2.0, height() / 2.0);
    QColor ink = palette().color(QPalette::WindowText);
    QPen pen(ink, std::max<qreal>(1.5, side / 10.0), Qt::SolidLine, Qt::RoundCap);
    for (int i = 0; i < kSpokes; ++i) {
        // The newest spoke is the darkest; the others fade behind it.
        const int age = (_step - i + kSpokes) % kSpokes;
        ink.setAlphaF(1.0 - 0.8 * age / kSpokes);
        pen.setColor(ink);
        p.setPen(pen);
        p.save();
        p.rotate(360.0 * i / kSpokes);
        p.drawLine(QPointF(0, -side * 0.22), QPointF(0, -side * 0.45));
        p.restore();
    }
}
