#include "RamDiskMenuItemView.h"

#include "QMRamDiskAutoSave.h"

#include "QMNSBezierPathExtensions.h"
#include "QMRamDiskManager.h"
#include "QM_OSAppearance.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <cmath>
#include <numbers>

namespace {

// A label that shortens a long text in the middle, as a RAM disk named after a long path
// is still told apart by both ends. text() keeps the whole text.
class MiddleElidedLabel : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        painter.setFont(font());
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
        painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    }
};

// The small spinner of a busy row; drawn, still, also while stopped.
class ProgressIndicator : public QWidget
{
public:
    explicit ProgressIndicator(QWidget *parent) : QWidget(parent)
    {
        _timer.setInterval(80);
        connect(&_timer, &QTimer::timeout, this, [this] {
            _step = (_step + 1) % spokes;
            update();
        });
    }
    void setAnimating(bool on) { on ? _timer.start() : _timer.stop(); }
    bool isAnimating() const { return _timer.isActive(); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPointF c = QRectF(rect()).center();
        const qreal outer = std::min(width(), height()) / 2.0;
        QColor color = palette().color(QPalette::WindowText);
        for (int i = 0; i < spokes; ++i) {
            const int age = (i - _step + spokes) % spokes;
            color.setAlphaF(0.25 + 0.75 * (spokes - age) / spokes);
            painter.setPen(QPen(color, 1.6, Qt::SolidLine, Qt::RoundCap));
            const qreal angle = 2 * std::numbers::pi * i / spokes;
            const QPointF dir(std::sin(angle), -std::cos(angle));
            painter.drawLine(c + dir * outer * 0.45, c + dir * (outer - 1));
        }
    }

private:
    static constexpr int spokes = 12;
    QTimer _timer;
    int _step = 0;
};

QColor usageColor(bool highlighted, const QPalette &palette)
{
    return highlighted ? palette.color(QPalette::HighlightedText) : QColor(155, 180, 212);
}

} // namespace

RamDiskMenuItemView::RamDiskMenuItemView(const QRect &frame, const QMRamDisk::Ptr &ramDisk, qint64 action,
                                         qint64 lastActionInfo, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("RamDiskMenuItemView"));
    setGeometry(frame);
    setMinimumSize(frame.size());
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    _status = ramDisk ? ramDisk->status() : 0;
    _diskUsage = ramDisk ? ramDisk->diskUsage() : 0;
    _action = action;
    _isDarkMode = QM_OSAppearance::isDarkMode();
    _isGraphiteTheme = QM_OSAppearance::isGraphiteTheme();
    const int h = frame.height();

    // Coordinates here are Qt's (y down): a distance from the bottom b of a box of height
    // bh becomes a top of h - b - bh.
    if (_action != 0) {
        auto *spinner = new ProgressIndicator(this);
        spinner->setObjectName(QStringLiteral("progressIndicator"));
        spinner->setGeometry(6, h - static_cast<int>(std::rint((h - 14) * 0.5)) - 14, 14, 14);
        _progressIndicator = spinner;
    }

    _iconRect = QRect(24, h - static_cast<int>(std::rint((h - 32) * 0.5)) - 32, 32, 32);
    if (ramDisk)
        _icon = ramDisk->displayIcon(32);

    _titleLabel = new MiddleElidedLabel(this);
    _titleLabel->setObjectName(QStringLiteral("titleLabel"));
    QFont titleFont = QApplication::font();
    titleFont.setPixelSize(12);
    _titleLabel->setFont(titleFont);
    _titleLabel->setAutoFillBackground(false);
    _titleLabel->setFrameShape(QFrame::NoFrame);
    _titleLabel->setTextInteractionFlags(Qt::NoTextInteraction);
    _titleLabel->setText(ramDisk ? ramDisk->displayName() : QString());

    // Idle, a RAM disk that is saved says when it last was: what a power cut would cost.
    QString info;
    if (_action != 0)
        info = QMRamDiskManager::displayStringFromAction(_action, lastActionInfo);
    else if (ramDisk && ramDisk->status() == QMRamDiskStatus_mounted
             && QMRamDiskAutoSave::saveActionOf(ramDisk) != QMRamDiskAction_none)
        info = QMRamDiskAutoSave::savedText(ramDisk->lastSaveDate(),
                                            double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    if (!info.isEmpty()) {
        _infoLabel = new MiddleElidedLabel(this);
        _infoLabel->setObjectName(QStringLiteral("infoLabel"));
        QFont infoFont = QApplication::font();
        infoFont.setPixelSize(11);
        _infoLabel->setFont(infoFont);
        _infoLabel->setAutoFillBackground(false);
        _infoLabel->setFrameShape(QFrame::NoFrame);
        _infoLabel->setTextInteractionFlags(Qt::NoTextInteraction);
        _infoLabel->setForegroundRole(QPalette::PlaceholderText);
        _infoLabel->setText(info);
    }
    layoutLabels();
}

void RamDiskMenuItemView::layoutLabels()
{
    const int w = width(), h = height();
    const int titleBottom = _action == QMRamDiskAction_backup || (_action == 0 && _infoLabel) ? 15 : 12;
    _titleLabel->setGeometry(60, h - titleBottom - 18, std::max(0, w - 20 - 60), 18);
    if (_infoLabel)
        _infoLabel->setGeometry(60, h - 1 - 14, std::max(0, w - 20 - 60), 14);
}

void RamDiskMenuItemView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutLabels();
}

void RamDiskMenuItemView::updateForDisplay(bool display)
{
    if (!_progressIndicator)
        return;
    QPointer<QWidget> spinner = _progressIndicator;
    QTimer::singleShot(0, this, [spinner, display] {
        if (spinner)
            static_cast<ProgressIndicator *>(spinner.data())->setAnimating(display);
    });
}

bool RamDiskMenuItemView::isSpinning() const
{
    return _progressIndicator && static_cast<ProgressIndicator *>(_progressIndicator)->isAnimating();
}

bool RamDiskMenuItemView::isHighlighted() const
{
    if (!_menuAction)
        return false;
    auto *menu = qobject_cast<QMenu *>(parentWidget());
    return menu && menu->activeAction() == _menuAction;
}

QPointF RamDiskMenuItemView::diskUsagePoint(const QSize &size)
{
    const int h = size.height();
    return QPointF(6, h - std::floor((h - 16) * 0.5) - 16);
}

QRectF RamDiskMenuItemView::arrowRect(const QSize &size)
{
    const int h = size.height();
    return QRectF(size.width() - 21, h - std::floor((h - 9) * 0.5) - 9, 9, 9);
}

void RamDiskMenuItemView::drawDiskUsage(QPainter *painter, double usage, const QPointF &point, bool highlighted,
                                        const QPalette &palette)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QColor color = usageColor(highlighted, palette);
    const QRectF circle(point.x() + 1, point.y() + 1, 14, 14);
    painter->setPen(QPen(color, 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawEllipse(circle);
    painter->setPen(Qt::NoPen);
    painter->setBrush(color);
    if (usage >= 1) {
        painter->drawEllipse(circle);
    } else if (usage > 0) {
        const QPointF centre(std::floor(point.x() + 1 + 7), std::floor(point.y() + 1 + 7));
        QPainterPath wedge;
        wedge.moveTo(centre);
        // Qt's angles run counter-clockwise from 3 o'clock: a negative sweep goes clockwise.
        wedge.arcTo(QRectF(centre.x() - 7, centre.y() - 7, 14, 14), 90, -usage * 360);
        wedge.closeSubpath();
        painter->drawPath(wedge);
    }
    painter->restore();
}

QImage RamDiskMenuItemView::menuIcon(const QImage &icon, qint64 status, qint64 action, double usage, int size,
                                     const QPalette &palette)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!icon.isNull())
        painter.drawImage(QRect(0, 0, size, size), icon);
    const qreal scale = size / 32.0;
    painter.scale(scale, scale);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF corner(15, 15); // the 16-point square in the lower right corner
    if (action != 0) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette.color(QPalette::Highlight));
        painter.drawEllipse(QRectF(corner.x() + 1, corner.y() + 1, 15, 15));
        painter.setBrush(palette.color(QPalette::HighlightedText));
        for (int i = 0; i < 3; ++i)
            painter.drawEllipse(QPointF(corner.x() + 4.5 + i * 4, corner.y() + 8.5), 1.4, 1.4);
    } else if (status == QMRamDiskStatus_mounted) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette.color(QPalette::Base));
        painter.drawEllipse(QRectF(corner.x(), corner.y(), 17, 17));
        drawDiskUsage(&painter, usage, corner, false, palette);
    }
    painter.end();
    return image;
}

void RamDiskMenuItemView::drawRect(QPainter *painter)
{
    const bool highlighted = isHighlighted();
    const QRect bounds = rect();
    if (highlighted) {
        const QColor selection = _isDarkMode && _isGraphiteTheme ? QColor(128, 128, 128, 128)
                                                                 : palette().color(QPalette::Active, QPalette::Highlight);
        painter->fillRect(bounds, selection);
    }

    if (!_icon.isNull()) {
        painter->save();
        painter->setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->drawImage(_iconRect, _icon);
        painter->restore();
    }

    // The title takes the menu's font, and the selection's text colour while highlighted.
    if (auto *menu = qobject_cast<QMenu *>(parentWidget())) {
        if (_titleLabel->font() != menu->font())
            _titleLabel->setFont(menu->font());
    }
    if (highlighted != _paintedHighlighted) {
        _paintedHighlighted = highlighted;
        _titleLabel->setForegroundRole(highlighted ? QPalette::HighlightedText : QPalette::WindowText);
    }

    if (_status == QMRamDiskStatus_mounted && _action == 0)
        drawDiskUsage(painter, _diskUsage, diskUsagePoint(bounds.size()), highlighted, palette());

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(highlighted ? palette().color(QPalette::HighlightedText)
                                  : (_isDarkMode ? QColor(Qt::white) : QColor(Qt::black)));
    painter->drawPath(qm_bezierPathTriangleInRect(arrowRect(bounds.size()), QStringLiteral("r")));
    painter->restore();
}

void RamDiskMenuItemView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawRect(&painter);
}

void RamDiskMenuItemView::mouseReleaseEvent(QMouseEvent *event)
{
    // A click on the row opens the RAM disk, as choosing an item does; the menu closes.
    if (event->button() == Qt::LeftButton && _menuAction && _menuAction->isEnabled()) {
        QPointer<QAction> action = _menuAction;
        for (QWidget *w = parentWidget(); qobject_cast<QMenu *>(w); w = w->parentWidget())
            w->hide();
        if (action)
            action->trigger();
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}
