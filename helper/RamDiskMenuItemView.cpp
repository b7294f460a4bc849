#include "RamDiskMenuItemView.h"

#include "QMNSBezierPathExtensions.h"
#include "QMRamDiskManager.h"
#include "QMStatusMenuItems.h"
#include "QM_OSAppearance.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QMenu>
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
    // The menu takes the mouse: hovering highlights the row and opens its submenu after
    // the usual delay, a click opens it at once, as for every other item.
    setAttribute(Qt::WA_TransparentForMouseEvents);

    _isDarkMode = QM_OSAppearance::isDarkMode();
    _isGraphiteTheme = QM_OSAppearance::isGraphiteTheme();
    const int h = frame.height();

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
    applyState(ramDisk, action, lastActionInfo);
}

void RamDiskMenuItemView::showState(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk)
        return;
    applyState(ramDisk, ramDisk->action(), ramDisk->lastActionInfo());
    update();
}

void RamDiskMenuItemView::applyState(const QMRamDisk::Ptr &ramDisk, qint64 action, qint64 lastActionInfo)
{
    _status = ramDisk ? ramDisk->status() : 0;
    _diskUsage = ramDisk ? ramDisk->diskUsage() : 0;
    _action = action;
    _titleLabel->setText(ramDisk ? ramDisk->displayName() : QString());

    // Coordinates here are Qt's (y down): a distance from the bottom b of a box of height
    // bh becomes a top of h - b - bh.
    const int h = height();
    if (_action != 0 && !_progressIndicator) {
        auto *spinner = new ProgressIndicator(this);
        spinner->setObjectName(QStringLiteral("progressIndicator"));
        spinner->setGeometry(6, h - static_cast<int>(std::rint((h - 14) * 0.5)) - 14, 14, 14);
        spinner->show();
        _progressIndicator = spinner;
        if (_displayed)
            updateForDisplay(true);
    } else if (_action == 0 && _progressIndicator) {
        delete _progressIndicator;
        _progressIndicator = nullptr;
    }

    // Idle, a RAM disk that is saved says when it last was: what a power cut would cost.
    QString info;
    if (_action != 0)
        info = QMRamDiskManager::displayStringFromAction(_action, lastActionInfo);
    else if (ramDisk)
        info = QMStatusMenuItems::rowStateLine(ramDisk, double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    if (!info.isEmpty() && !_infoLabel) {
        _infoLabel = new MiddleElidedLabel(this);
        _infoLabel->setObjectName(QStringLiteral("infoLabel"));
        QFont infoFont = QApplication::font();
        infoFont.setPixelSize(11);
        _infoLabel->setFont(infoFont);
        _infoLabel->setAutoFillBackground(false);
        _infoLabel->setFrameShape(QFrame::NoFrame);
        _infoLabel->setTextInteractionFlags(Qt::NoTextInteraction);
        _infoLabel->setForegroundRole(_paintedHighlighted ? QPalette::HighlightedText : QPalette::PlaceholderText);
        _infoLabel->show();
    } else if (info.isEmpty() && _infoLabel) {
        delete _infoLabel;
        _infoLabel = nullptr;
    }
    if (_infoLabel)
        _infoLabel->setText(info);
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
    _displayed = display;
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
    painter.setRenderHint(QPainter::Antialiasing);
    // Drawn in the pie's own 16-point square, the same size as every other icon of the
    // menu: a pie shrunk into a corner of the RAM disk's icon could not be read.
    painter.scale(size / 16.0, size / 16.0);
    if (action != 0) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette.color(QPalette::Highlight));
        painter.drawEllipse(QRectF(1, 1, 14, 14));
        painter.setBrush(palette.color(QPalette::HighlightedText));
        for (int i = 0; i < 3; ++i)
            painter.drawEllipse(QPointF(4 + i * 4, 8), 1.4, 1.4);
    } else if (status == QMRamDiskStatus_mounted) {
        drawDiskUsage(&painter, usage, QPointF(0, 0), false, palette);
    } else if (!icon.isNull()) {
        painter.drawImage(QRectF(0, 0, 16, 16), icon);
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
        if (_infoLabel)
            _infoLabel->setForegroundRole(highlighted ? QPalette::HighlightedText : QPalette::PlaceholderText);
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
