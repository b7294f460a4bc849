#include "RamDiskConfigBarView.h"

#include "QMAppColors.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>

RamDiskConfigBarView::RamDiskConfigBarView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("barView"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    // The bar redraws when the application goes to the background and comes back.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this] { update(); });
}

void RamDiskConfigBarView::setControls(QWidget *pmButton, QWidget *statusField, QWidget *purgeButton)
{
    _pmButton = pmButton;
    _statusField = statusField;
    _purgeButton = purgeButton;
    for (QWidget *w : {pmButton, statusField, purgeButton}) {
        if (!w)
            continue;
        w->setParent(this);
        w->installEventFilter(this); // shown, hidden or resized: lay out again
    }
    layoutControls();
    updateGeometry();
}

bool RamDiskConfigBarView::drawsActive() const
{
    if (_forcedActive)
        return *_forcedActive;
    const QWidget *w = window();
    return QGuiApplication::applicationState() == Qt::ApplicationActive && w && w->isActiveWindow();
}

void RamDiskConfigBarView::setForcedActive(std::optional<bool> active)
{
    _forcedActive = active;
    update();
}

QSize RamDiskConfigBarView::sizeHint() const
{
    int h = 0;
    for (QWidget *w : {_pmButton.data(), _statusField.data(), _purgeButton.data()})
        if (w)
            h = std::max(h, w->sizeHint().height());
    return QSize(400, std::max(24, h + 2 * controlInset));
}

QSize RamDiskConfigBarView::minimumSizeHint() const
{
    return QSize(0, sizeHint().height());
}

void RamDiskConfigBarView::layoutControls()
{
    const int h = height();
    int leftWidth = 0;
    if (_pmButton) {
        const QSize s = _pmButton->sizeHint();
        _pmButton->setGeometry(controlInset, (h - s.height() + 1) / 2, s.width(), s.height());
        leftWidth = s.width();
    }
    int sideWidth = leftWidth;
    if (_purgeButton && !_purgeButton->isHidden()) {
        const QSize s = _purgeButton->sizeHint();
        _purgeButton->setGeometry(width() - controlInset - s.width(), (h - s.height() + 1) / 2, s.width(),
                                  s.height());
        sideWidth = s.width();
    }
    if (_statusField) {
        // Centred in the bar: the same inset on both sides, clear of the wider control.
        const int inset = controlInset + 8 + std::max(sideWidth, leftWidth);
        const int fieldHeight = _statusField->sizeHint().height();
        _statusField->setGeometry(inset, (h - fieldHeight + 1) / 2, std::max(0, width() - 2 * inset), fieldHeight);
    }
}

void RamDiskConfigBarView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const bool active = drawsActive();
    painter.fillRect(rect(), QMAppColors::dividerColor(palette(), active));
    QLinearGradient gradient(0, 1, 0, height());
    gradient.setColorAt(0, QMAppColors::barGradientTop(palette(), active));
    gradient.setColorAt(1, QMAppColors::barGradientBottom(palette(), active));
    painter.fillRect(QRect(0, 1, width(), height() - 1), gradient);
}

void RamDiskConfigBarView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutControls();
}

void RamDiskConfigBarView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange || event->type() == QEvent::PaletteChange)
        update();
    QWidget::changeEvent(event);
}

bool RamDiskConfigBarView::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::LayoutRequest:
        layoutControls();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
