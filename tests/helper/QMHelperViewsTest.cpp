// The tray icon's looks and the RAM-disk rows, checked pixel by pixel.
#include "QMHelperTestSupport.h"
#include "QMNSBezierPathExtensions.h"
#include "QMTestSupport.h"
#include "RamDiskMenuItemView.h"
#include "StatusItemView.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include "QMRamDiskManager.h"

#include <QApplication>
#include <QMouseEvent>

#include <cstdlib>
#include <memory>
#include <QLabel>
#include <QPalette>

namespace {

QPalette paletteWithWindow(const QColor &window)
{
    QPalette p = QApplication::palette();
    p.setColor(QPalette::Window, window);
    return p;
}

// Sets the application palette for the life of the object.
struct PaletteScope
{
    explicit PaletteScope(const QColor &window) : saved(QApplication::palette())
    {
        QApplication::setPalette(paletteWithWindow(window));
    }
    ~PaletteScope() { QApplication::setPalette(saved); }
    QPalette saved;
};

const QColor kLight(236, 236, 236);
const QColor kDark(40, 40, 40);

// The view rendered at the image's own size, so that each pixel meets the image's.
QImage render(StatusItemView &view)
{
    return view.renderImage(QSize(22, 22), 1.0).convertToFormat(QImage::Format_ARGB32);
}

QImage image(const QString &name)
{
    return StatusItemView::loadImage(name, 1).convertToFormat(QImage::Format_ARGB32);
}

} // namespace

TEST(StatusItemView, StyleChoosesColourOrMonochromeByThePalette)
{
    ASSERT_FALSE(image(StatusItemView::colorImageName()).isNull()) << "the bundled images are missing";
    ASSERT_EQ(image(StatusItemView::colorImageName()).size(), QSize(22, 22));
    struct Case
    {
        qint64 style;
        QColor window;
        QString expected;
    };
    const Case cases[] = {
        {0, kLight, StatusItemView::colorImageName()}, {3, kDark, StatusItemView::colorImageName()},
        {7, kLight, StatusItemView::colorImageName()}, {1, kLight, StatusItemView::blackImageName()},
        {2, kLight, StatusItemView::blackImageName()}, {1, kDark, StatusItemView::whiteImageName()},
        {2, kDark, StatusItemView::whiteImageName()},
    };
    for (const Case &c : cases) {
        PaletteScope palette(c.window);
        StatusItemView view(nullptr);
        view.setBadgeStyle(c.style);
        EXPECT_EQ(render(view), image(c.expected)) << "style " << c.style << " window " << c.window.name().toStdString();
    }
}

TEST(StatusItemView, DarkModeSwapsTheMonochromeImageAtTheNextRedraw)
{
    PaletteScope palette(kLight);
    StatusItemView view(nullptr);
    view.setBadgeStyle(1);
    EXPECT_EQ(render(view), image(StatusItemView::blackImageName()));
    QApplication::setPalette(paletteWithWindow(kDark));
    EXPECT_EQ(render(view), image(StatusItemView::whiteImageName()));
    EXPECT_TRUE(view.isDarkMode());
}

TEST(StatusItemView, WarningIsRedExactlyWhereTheImageIsOpaque)
{
    PaletteScope palette(kLight);
    for (qint64 style : {0, 1}) {
        for (qreal scale : {1.0, 2.0}) {
            StatusItemView view(nullptr);
            view.setBadgeStyle(style);
            const QImage plain = view.renderImage(QSize(22, 22), scale).convertToFormat(QImage::Format_ARGB32);
            view.setIsWarn(true);
            const QImage warned = view.renderImage(QSize(22, 22), scale).convertToFormat(QImage::Format_ARGB32);
            ASSERT_EQ(warned.size(), QSize(22, 22) * scale);
            int opaque = 0;
            for (int y = 0; y < warned.height(); ++y) {
                for (int x = 0; x < warned.width(); ++x) {
                    const QColor a = plain.pixelColor(x, y);
                    const QColor w = warned.pixelColor(x, y);
                    ASSERT_NEAR(w.alpha(), a.alpha(), 1) << "at " << x << "," << y << " scale " << scale;
                    if (a.alpha() == 0)
                        continue;
                    ++opaque;
                    ASSERT_EQ(w.red(), 255) << "at " << x << "," << y;
                    ASSERT_EQ(w.green(), 0);
                    ASSERT_EQ(w.blue(), 0);
                }
            }
            EXPECT_GT(opaque, 50 * scale * scale) << "the image draws almost nothing";
        }
    }
}

TEST(StatusItemView, PressedShowsThePressedImageAndNoWarning)
{
    PaletteScope palette(kLight);
    StatusItemView view(nullptr);
    view.setIsWarn(true);
    view.setIsPressed(true);
    const QImage pressed = render(view);
    const QImage reference = image(StatusItemView::pressedImageName());
    const QColor highlight = view.palette().color(QPalette::Active, QPalette::Highlight);
    for (int y = 0; y < 22; ++y) {
        for (int x = 0; x < 22; ++x) {
            const QColor p = pressed.pixelColor(x, y);
            EXPECT_FALSE(p.red() == 255 && p.green() == 0 && p.blue() == 0) << "red at " << x << "," << y;
            const QColor r = reference.pixelColor(x, y);
            if (r.alpha() == 255) {
                EXPECT_EQ(p.rgb(), r.rgb()) << "at " << x << "," << y;
            } else if (r.alpha() == 0) {
                EXPECT_EQ(p.rgb(), highlight.rgb()) << "at " << x << "," << y;
            }
        }
    }
}

TEST(StatusItemView, PressOnEitherButtonTellsTheDelegate)
{
    struct Delegate : StatusItemViewDelegate
    {
        int presses = 0;
        void statusItemViewPressed(StatusItemView *) override { ++presses; }
    } delegate;
    StatusItemView view(&delegate);
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
        view.setIsPressed(false);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), view.mapToGlobal(QPointF(5, 5)), button, button,
                          Qt::NoModifier);
        QApplication::sendEvent(&view, &press);
        EXPECT_TRUE(view.isPressed());
    }
    EXPECT_EQ(delegate.presses, 2);
}

TEST(TrianglePath, PointsWhereItsLetterSays)
{
    const QRectF r(10, 20, 9, 9);
    // Near the base of each triangle, and the opposite side where only the tip reaches.
    const QPointF left(11, 24.5), right(18.5, 24.5), top(14.5, 21), bottom(14.5, 28);
    const QPointF topLeft(10.5, 20.5), bottomLeft(10.5, 28.5);
    for (const QString &letter : {QStringLiteral("r"), QStringLiteral("R")}) {
        const QPainterPath p = qm_bezierPathTriangleInRect(r, letter);
        EXPECT_TRUE(p.contains(left));
        EXPECT_TRUE(p.contains(QPointF(18, 24.5)));
        EXPECT_FALSE(p.contains(QPointF(18, 21)));
        EXPECT_FALSE(p.contains(QPointF(18, 28)));
    }
    const QPainterPath down = qm_bezierPathTriangleInRect(r, QStringLiteral("b"));
    EXPECT_TRUE(down.contains(QPointF(11, 20.5)));
    EXPECT_TRUE(down.contains(bottom));
    EXPECT_FALSE(down.contains(bottomLeft));
    const QPainterPath up = qm_bezierPathTriangleInRect(r, QStringLiteral("T"));
    EXPECT_TRUE(up.contains(QPointF(11, 28.5)));
    EXPECT_TRUE(up.contains(top));
    EXPECT_FALSE(up.contains(topLeft));
    EXPECT_TRUE(qm_bezierPathTriangleInRect(r, QStringLiteral("x")).isEmpty());
    EXPECT_FALSE(qm_bezierPathTriangleInRect(r, QStringLiteral("r")).contains(right + QPointF(1, 0)));
}

namespace {

RamDiskMenuItemView *row(const QMRamDisk::Ptr &r, qint64 action, qint64 info = 0)
{
    return new RamDiskMenuItemView(QRect(0, 0, RamDiskMenuItemView::rowWidth, RamDiskMenuItemView::rowHeight), r,
                                   action, info);
}

QImage renderRow(RamDiskMenuItemView *view)
{
    QImage image(view->size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    view->render(&image);
    return image;
}

bool isPieColour(const QColor &c)
{
    return c.alpha() > 200 && std::abs(c.red() - 155) < 6 && std::abs(c.green() - 180) < 6 && std::abs(c.blue() - 212) < 6;
}

} // namespace

TEST(RamDiskMenuItemView, BusyRowHasSpinnerAndGreyLineAndBackupRaisesTheTitle)
{
    const QMRamDisk::Ptr r = QMHelperTest::record(2, 0, 0, 1000, 500);
    std::unique_ptr<RamDiskMenuItemView> idle(row(r, 0));
    std::unique_ptr<RamDiskMenuItemView> creating(row(r, 1, 3));
    std::unique_ptr<RamDiskMenuItemView> backingUp(row(r, 3, 10));

    EXPECT_EQ(idle->progressIndicator(), nullptr);
    EXPECT_EQ(idle->infoLabel(), nullptr);
    ASSERT_NE(creating->progressIndicator(), nullptr);
    ASSERT_NE(creating->infoLabel(), nullptr);
    EXPECT_EQ(creating->infoLabel()->text(), QMRamDiskManager::displayStringFromAction(1, 3));
    EXPECT_FALSE(creating->infoLabel()->text().isEmpty());

    // Measured from the bottom: the title at 12, or 15 for a backup; the line at 1.
    EXPECT_EQ(idle->titleLabel()->geometry(), QRect(60, 40 - 12 - 18, 260 - 80, 18));
    EXPECT_EQ(creating->titleLabel()->geometry().y(), idle->titleLabel()->geometry().y());
    EXPECT_EQ(backingUp->titleLabel()->geometry().y(), idle->titleLabel()->geometry().y() - 3);
    EXPECT_EQ(creating->infoLabel()->geometry(), QRect(60, 25, 180, 14));
    EXPECT_EQ(creating->progressIndicator()->geometry(), QRect(6, 13, 14, 14));
    EXPECT_EQ(idle->iconRect(), QRect(24, 4, 32, 32));

    // The row stretches with the menu; the labels follow once it is shown.
    idle->resize(400, 40);
    idle->show();
    EXPECT_EQ(idle->titleLabel()->width(), 400 - 80);
}

TEST(RamDiskMenuItemView, AnIdleSavedRamDiskSaysWhenItWasLastSaved)
{
    const QMRamDisk::Ptr saved = QMHelperTest::record(2, 1, 0, 1000, 500);
    saved->setLastSaveDate(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - 180);
    std::unique_ptr<RamDiskMenuItemView> idle(row(saved, 0));
    ASSERT_NE(idle->infoLabel(), nullptr);
    EXPECT_EQ(idle->infoLabel()->text(), QStringLiteral("Saved 3 minutes ago"));
    EXPECT_EQ(idle->titleLabel()->geometry().y(), 40 - 15 - 18) << "raised above the line, as for a backup";
    // Busy, the action's own line; never saved, it says so; without a backup, no line.
    std::unique_ptr<RamDiskMenuItemView> busy(row(saved, 3, 10));
    EXPECT_EQ(busy->infoLabel()->text(), QMRamDiskManager::displayStringFromAction(3, 10));
    const QMRamDisk::Ptr never = QMHelperTest::record(2, 1, 0, 1000, 500);
    std::unique_ptr<RamDiskMenuItemView> neverRow(row(never, 0));
    ASSERT_NE(neverRow->infoLabel(), nullptr);
    EXPECT_EQ(neverRow->infoLabel()->text(), QStringLiteral("Never saved"));
    const QMRamDisk::Ptr unmounted = QMHelperTest::record(1, 1, 0, 1000, 500);
    std::unique_ptr<RamDiskMenuItemView> unmountedRow(row(unmounted, 0));
    EXPECT_EQ(unmountedRow->infoLabel(), nullptr);
}

TEST(RamDiskMenuItemView, SpinnerStartsAndStopsFromTheEventLoop)
{
    const QMRamDisk::Ptr r = QMHelperTest::record(0);
    std::unique_ptr<RamDiskMenuItemView> busy(row(r, 1, 2));
    busy->updateForDisplay(true);
    EXPECT_FALSE(busy->isSpinning()) << "started before the event loop ran";
    EXPECT_TRUE(QMTest::waitUntil([&] { return busy->isSpinning(); }, 2000));
    busy->updateForDisplay(false);
    EXPECT_TRUE(QMTest::waitUntil([&] { return !busy->isSpinning(); }, 2000));

    std::unique_ptr<RamDiskMenuItemView> idle(row(r, 0));
    idle->updateForDisplay(true);
    QApplication::processEvents();
    EXPECT_FALSE(idle->isSpinning());
}

TEST(RamDiskMenuItemView, UsagePieFillsClockwiseFromTwelve)
{
    // The pie's circle: centre (14, 20), radius 7 in a 40-point row; samples halfway out.
    const QPoint c(14, 20);
    const QPoint upperRight = c + QPoint(3, -3), lowerRight = c + QPoint(3, 3), lowerLeft = c + QPoint(-3, 3),
                 upperLeft = c + QPoint(-3, -3);
    struct Case
    {
        double used;
        bool ur, lr, ll, ul;
    };
    const Case cases[] = {
        {0.0, false, false, false, false},
        {0.25, true, false, false, false},
        {0.5, true, true, false, false},
        {0.75, true, true, true, false},
        {1.0, true, true, true, true},
        {1.2, true, true, true, true},
    };
    for (const Case &k : cases) {
        const quint64 size = 1000000;
        const quint64 free = k.used >= 1 ? 0 : static_cast<quint64>(size * (1 - k.used));
        QMRamDisk::Ptr r = QMHelperTest::record(2, 0, 0, size, free);
        if (k.used > 1)
            r->setVolSize(size), r->setVolFree(0);
        std::unique_ptr<RamDiskMenuItemView> view(row(r, 0));
        const QImage img = renderRow(view.get());
        EXPECT_EQ(isPieColour(img.pixelColor(upperRight)), k.ur) << "used " << k.used;
        EXPECT_EQ(isPieColour(img.pixelColor(lowerRight)), k.lr) << "used " << k.used;
        EXPECT_EQ(isPieColour(img.pixelColor(lowerLeft)), k.ll) << "used " << k.used;
        EXPECT_EQ(isPieColour(img.pixelColor(upperLeft)), k.ul) << "used " << k.used;
        // The ring is always there: straight above the centre, on the circle.
        EXPECT_TRUE(isPieColour(img.pixelColor(c + QPoint(0, -7)))) << "used " << k.used;
    }
}

TEST(RamDiskMenuItemView, NoPieWhileBusyOrNotMounted)
{
    const QPoint ringTop(14, 13);
    std::unique_ptr<RamDiskMenuItemView> unmounted(row(QMHelperTest::record(1, 0, 0, 1000, 500), 0));
    EXPECT_FALSE(isPieColour(renderRow(unmounted.get()).pixelColor(ringTop)));
    std::unique_ptr<RamDiskMenuItemView> busy(row(QMHelperTest::record(2, 0, 5, 1000, 500), 5, 12));
    EXPECT_FALSE(isPieColour(renderRow(busy.get()).pixelColor(ringTop)));
    EXPECT_EQ(busy->progressIndicator()->isVisible(), !busy->isHidden());
}
