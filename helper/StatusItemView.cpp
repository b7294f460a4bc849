#include "StatusItemView.h"

#include "QMFunctions.h"
#include "QM_OSAppearance.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>

#include <cmath>

QString StatusItemView::colorImageName()
{
    return QStringLiteral("QuilmoStatusItemColor");
}

QString StatusItemView::whiteImageName()
{
    return QStringLiteral("QuilmoStatusItemWhite");
}

QString StatusItemView::blackImageName()
{
    return QStringLiteral("QuilmoStatusItemBlack");
}

QString StatusItemView::pressedImageName()
{
    return QStringLiteral("QuilmoStatusItemPressed");
}

StatusItemView::StatusItemView(StatusItemViewDelegate *delegate, QWidget *parent) : QWidget(parent), _delegate(delegate)
{
    setObjectName(QStringLiteral("StatusItemView"));
    setFixedSize(itemLength, itemHeight);
    update();
}

QImage StatusItemView::loadImage(const QString &name, int scale)
{
    const QString suffix = scale == 2 ? QStringLiteral("@2x.png") : QStringLiteral(".png");
    QImage image(QMFunctions::shareDirectory() + QStringLiteral("/images/") + name + suffix);
    if (image.isNull())
        return image;
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    return image;
}

void StatusItemView::updateStatusImages()
{
    _isDarkMode = QM_OSAppearance::isDarkMode();
    const QString names[3] = {colorImageName(), _isDarkMode ? whiteImageName() : blackImageName(), pressedImageName()};
    for (int i = 0; i < 3; ++i) {
        _images[i] = loadImage(names[i], 1);
        _images2x[i] = loadImage(names[i], 2);
    }
    _imagesLoaded = true;
}

void StatusItemView::redisplay()
{
    update();
    emit needsDisplay();
}

void StatusItemView::setBadgeStyle(qint64 style)
{
    _badgeStyle = style;
    updateStatusImages();
    redisplay();
}

void StatusItemView::setIsPressed(bool pressed)
{
    if (_isPressed == pressed)
        return;
    _isPressed = pressed;
    redisplay();
}

void StatusItemView::setIsWarn(bool warn)
{
    if (_isWarn == warn)
        return;
    _isWarn = warn;
    redisplay();
}

const QImage &StatusItemView::chosenImage(bool twice) const
{
    const auto &images = twice && !_images2x[Color].isNull() ? _images2x : _images;
    if (_isPressed)
        return images[Pressed];
    return (_badgeStyle == 1 || _badgeStyle == 2) ? images[Monochrome] : images[Color];
}

void StatusItemView::drawRect(QPainter *painter, const QRect &bounds)
{
    if (_isPressed)
        painter->fillRect(bounds, palette().color(QPalette::Active, QPalette::Highlight));

    if (!_imagesLoaded || QM_OSAppearance::isDarkMode() != _isDarkMode)
        updateStatusImages();

    const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QImage image = chosenImage(dpr > 1.0);
    if (image.isNull())
        return;

    // Centred at its own size; a tray smaller than the image gets it scaled down to fit.
    QSizeF size = image.deviceIndependentSize();
    if (size.width() > bounds.width() || size.height() > bounds.height())
        size.scale(bounds.size(), Qt::KeepAspectRatio);
    const QPointF at(bounds.x() + std::floor((bounds.width() - size.width()) * 0.5),
                     bounds.y() + std::floor((bounds.height() - size.height()) * 0.5));

    if (_isWarn && !_isPressed) {
        // Red only where the image is opaque, with the image's own opacity.
        // Pixel for pixel: the rule only acts where the image is drawn, so it must cover
        // the whole red image whatever its pixel ratio.
        QImage silhouette(image.size(), QImage::Format_ARGB32_Premultiplied);
        silhouette.fill(QColor(255, 0, 0));
        QImage source = image;
        source.setDevicePixelRatio(1.0);
        QPainter red(&silhouette);
        red.setCompositionMode(QPainter::CompositionMode_DestinationAtop);
        red.drawImage(0, 0, source);
        red.end();
        silhouette.setDevicePixelRatio(image.devicePixelRatio());
        image = silhouette;
    }
    painter->setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter->setOpacity(1.0);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawImage(QRectF(at, size), image);
}

QImage StatusItemView::renderImage(const QSize &size, qreal devicePixelRatio)
{
    QImage image(size * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    drawRect(&painter, QRect(QPoint(0, 0), size));
    painter.end();
    return image;
}

QIcon StatusItemView::icon()
{
    QIcon icon;
    for (int edge : {16, 22, 24, 32}) {
        icon.addPixmap(QPixmap::fromImage(renderImage(QSize(edge, edge), 1.0)));
        icon.addPixmap(QPixmap::fromImage(renderImage(QSize(edge, edge), 2.0)));
    }
    return icon;
}

void StatusItemView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawRect(&painter, rect());
}

void StatusItemView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton && event->button() != Qt::RightButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    setIsPressed(true);
    if (_delegate)
        _delegate->statusItemViewPressed(this);
}

void StatusItemView::changeEvent(QEvent *event)
{
    // Light and dark swap the monochrome image at the next redraw.
    if (event->type() == QEvent::PaletteChange)
        redisplay();
    QWidget::changeEvent(event);
}

bool StatusItemView::event(QEvent *event)
{
    if (event->type() == QEvent::ApplicationPaletteChange)
        redisplay();
    return QWidget::event(event);
}
