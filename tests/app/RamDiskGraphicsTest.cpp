// What the list row, the pie, the bottom bar and the split view draw and lay out.
#include "MainSplitView.h"
#include "QMAppColors.h"
#include "QMCamembertCell.h"
#include "RamDiskConfigBarView.h"
#include "RamDiskConfigCell.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPainter>

namespace {

const QColor kPie(155, 180, 212);

bool near(const QColor &a, const QColor &b, int tolerance = 8)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
           && std::abs(a.blue() - b.blue()) <= tolerance;
}

std::string describe(const QColor &c)
{
    return QStringLiteral("rgb(%1,%2,%3)").arg(c.red()).arg(c.green()).arg(c.blue()).toStdString();
}

// The pie drawn in a 40 x 40 white image, its circle at (13, 13)-(27, 27).
QImage drawPie(double value, bool highlighted = false)
{
    QImage image(40, 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QMCamembertCell pie;
    pie.setObjectValue(value);
    pie.setHighlighted(highlighted);
    pie.drawWithFrame(&painter, QRectF(0, 0, 40, 40), QApplication::palette());
    return image;
}

// Whether any pixel of `rect` has the pie's colour.
bool hasPieColour(const QImage &image, const QRect &rect)
{
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (near(image.pixelColor(x, y), kPie, 24))
                return true;
    return false;
}

// A fully opaque red icon, so that its drawn colour tells its opacity.
QImage redIcon()
{
    QImage icon(48, 48, QImage::Format_ARGB32);
    icon.fill(Qt::red);
    return icon;
}

QImage drawCell(const RamDiskConfigCell::Properties &p, int width, bool highlighted = false)
{
    const int h = RamDiskConfigCell::rowHeight(QApplication::font());
    QImage image(width, h, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    RamDiskConfigCell::drawWithFrame(&painter, QRect(0, 0, width, h), p, highlighted, QApplication::palette(),
                                     QApplication::font());
    return image;
}

} // namespace

TEST(QMCamembertCell, PieAtZeroQuarterAndFull)
{
    ASSERT_FALSE(QMAppColors::isDark());
    // The circle's centre is (20, 20); the ring is 2 px wide on the circle of radius 7.
    const QImage empty = drawPie(0);
    EXPECT_TRUE(near(empty.pixelColor(20, 13), kPie, 30)) << describe(empty.pixelColor(20, 13));
    EXPECT_TRUE(near(empty.pixelColor(20, 20), Qt::white)) << "only the ring at 0";
    EXPECT_TRUE(near(empty.pixelColor(23, 17), Qt::white));

    const QImage quarter = drawPie(0.25);
    // Clockwise from twelve o'clock: the top right quarter is filled, the others are not.
    EXPECT_TRUE(near(quarter.pixelColor(23, 17), kPie)) << describe(quarter.pixelColor(23, 17));
    EXPECT_TRUE(near(quarter.pixelColor(17, 17), Qt::white)) << describe(quarter.pixelColor(17, 17));
    EXPECT_TRUE(near(quarter.pixelColor(23, 23), Qt::white)) << describe(quarter.pixelColor(23, 23));
    EXPECT_TRUE(near(quarter.pixelColor(17, 23), Qt::white));

    for (double full : {1.0, 1.5}) {
        const QImage disc = drawPie(full);
        for (const QPoint p : {QPoint(20, 20), QPoint(17, 17), QPoint(23, 23), QPoint(17, 23), QPoint(23, 17)})
            EXPECT_TRUE(near(disc.pixelColor(p), kPie)) << full << " at " << p.x() << "," << p.y();
    }
    // Nothing outside the 14-point circle.
    EXPECT_TRUE(near(drawPie(1).pixelColor(20, 10), Qt::white));
    EXPECT_TRUE(near(drawPie(1).pixelColor(30, 20), Qt::white));
}

TEST(QMCamembertCell, HighlightedPieIsNearlyWhiteAndObjectValueWins)
{
    QImage image(40, 40, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    QMCamembertCell pie;
    pie.setDoubleValue(0);
    pie.setObjectValue(1.0);
    pie.setHighlighted(true);
    pie.drawWithFrame(&painter, QRectF(0, 0, 40, 40), QApplication::palette());
    EXPECT_TRUE(near(image.pixelColor(20, 20), QMAppColors::grey(242))) << describe(image.pixelColor(20, 20));
}

TEST(RamDiskConfigCell, IconIsDimmedUnlessMountedAndThePieNeedsMoreThan80AfterTheIcon)
{
    RamDiskConfigCell::Properties p;
    p.image = redIcon();
    p.name = QStringLiteral("Build");
    p.subInfo = QStringLiteral("1 GB");
    p.usage = 1.0;
    const int h = RamDiskConfigCell::rowHeight(QApplication::font());
    const QPoint iconPixel(2 + 24, h / 2);

    p.imageOpacity = 1.0;
    EXPECT_TRUE(near(drawCell(p, 300).pixelColor(iconPixel), Qt::red));
    p.imageOpacity = 0.33;
    // A third of red over white.
    EXPECT_TRUE(near(drawCell(p, 300).pixelColor(iconPixel), QColor(255, 171, 171), 6))
        << describe(drawCell(p, 300).pixelColor(iconPixel));

    // 48 + 4 for the icon: 132 leaves exactly 80, which is not enough; 133 is.
    const QRect narrowPie = RamDiskConfigCell::pieRect(QRect(0, 0, 132, h), p);
    EXPECT_TRUE(narrowPie.isEmpty());
    const QRect pieAt = RamDiskConfigCell::pieRect(QRect(0, 0, 133, h), p);
    ASSERT_FALSE(pieAt.isEmpty());
    EXPECT_TRUE(hasPieColour(drawCell(p, 133), pieAt));
    EXPECT_FALSE(hasPieColour(drawCell(p, 132), QRect(52, 0, 80, h)));

    // No usage, no pie.
    p.usage = -1;
    EXPECT_TRUE(RamDiskConfigCell::pieRect(QRect(0, 0, 300, h), p).isEmpty());
    EXPECT_FALSE(hasPieColour(drawCell(p, 300), QRect(52, 0, 248, h)));

    // The pie sits 18 points from the right edge, vertically centred.
    p.usage = 0.5;
    const QRect right = RamDiskConfigCell::pieRect(QRect(0, 0, 300, h), p);
    EXPECT_EQ(right.x(), 300 - 18);
    EXPECT_EQ(right.y(), (h - 16) / 2);
}

TEST(RamDiskConfigCell, TextRowsDoNotOverlapWithTheDesktopFonts)
{
    for (double points : {9.0, 10.0, 13.0, 16.0}) {
        QFont font = QApplication::font();
        font.setPointSizeF(points);
        const QFontMetrics name(font);
        const QFontMetrics sub(RamDiskConfigCell::subInfoFont(font));
        EXPECT_GE(RamDiskConfigCell::subInfoTop(font), RamDiskConfigCell::nameTop(font) + name.height()) << points;
        EXPECT_GE(RamDiskConfigCell::rowHeight(font), RamDiskConfigCell::subInfoTop(font) + sub.height()) << points;
        EXPECT_GE(RamDiskConfigCell::rowHeight(font), 52);
    }
    QFont font = QApplication::font();
    font.setPointSizeF(10);
    EXPECT_EQ(RamDiskConfigCell::nameTop(font), 16);
}

TEST(RamDiskConfigBarView, ActiveGradientUnderADarkLineAndFlatWhenInactive)
{
    RamDiskConfigBarView bar;
    bar.resize(200, 30);
    bar.setForcedActive(true);
    QImage active = bar.grab().toImage();
    EXPECT_TRUE(near(active.pixelColor(100, 0), QMAppColors::grey(170), 1)) << describe(active.pixelColor(100, 0));
    EXPECT_TRUE(near(active.pixelColor(100, 1), QMAppColors::grey(230), 2)) << describe(active.pixelColor(100, 1));
    EXPECT_TRUE(near(active.pixelColor(100, 29), QMAppColors::grey(220), 2)) << describe(active.pixelColor(100, 29));

    bar.setForcedActive(false);
    QImage inactive = bar.grab().toImage();
    EXPECT_TRUE(near(inactive.pixelColor(100, 0), QMAppColors::grey(209), 1));
    EXPECT_TRUE(near(inactive.pixelColor(100, 1), QMAppColors::grey(230), 1));
    EXPECT_TRUE(near(inactive.pixelColor(100, 29), QMAppColors::grey(230), 1));
}

TEST(RamDiskConfigBarView, DarkPaletteNeverDrawsALightBar)
{
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    QApplication::setPalette(dark);
    ASSERT_TRUE(QMAppColors::isDark());
    {
        RamDiskConfigBarView bar;
        bar.resize(200, 30);
        for (bool activeState : {true, false}) {
            bar.setForcedActive(activeState);
            const QImage image = bar.grab().toImage();
            for (int y : {0, 1, 15, 29})
                EXPECT_LT(image.pixelColor(100, y).lightness(), 110) << activeState << " row " << y;
        }
        // The pie and the second line stay readable on the dark base.
        EXPECT_GT(QMAppColors::pieColor(dark, false).lightness(), 128);
        EXPECT_GT(QMAppColors::subInfoColor(dark, false).lightness(), 110);
        EXPECT_FALSE(QMAppColors::subInfoShadowColor(dark, false).isValid());
    }
    QApplication::setPalette(light);
}

TEST(RamDiskConfigBarView, SummaryStaysCentredClearOfTheControls)
{
    RamDiskConfigBarView bar;
    auto *pm = new QLabel(QStringLiteral("+ -"));
    auto *status = new QLabel(QStringLiteral("summary"));
    auto *purge = new QLabel(QStringLiteral("Free Up Inactive Memory"));
    bar.setControls(pm, status, purge);
    bar.resize(700, 30);
    bar.show();
    const int inset = RamDiskConfigBarView::controlInset + 8 + purge->sizeHint().width();
    EXPECT_EQ(status->geometry().left(), inset);
    EXPECT_EQ(700 - status->geometry().right() - 1, inset);
    EXPECT_GE(status->geometry().left(), pm->geometry().right());
    EXPECT_LE(status->geometry().right(), purge->geometry().left());
    // Without the purge button the add/remove control sets the inset.
    purge->hide();
    QApplication::processEvents();
    EXPECT_EQ(status->geometry().left(), RamDiskConfigBarView::controlInset + 8 + pm->sizeHint().width());
}

TEST(MainSplitView, DividerRulesAndMinimumSizes)
{
    EXPECT_EQ(MainSplitView::constrainSplitPosition(50, 800, 1), 120);
    EXPECT_EQ(MainSplitView::constrainSplitPosition(119, 800, 1), 120);
    EXPECT_EQ(MainSplitView::constrainSplitPosition(120, 800, 1), 120);
    EXPECT_EQ(MainSplitView::constrainSplitPosition(499, 800, 1), 499); // leaves exactly 300
    EXPECT_EQ(MainSplitView::constrainSplitPosition(500, 800, 1), 499);
    EXPECT_EQ(MainSplitView::constrainSplitPosition(700, 800, 1), 499);

    QSplitter split;
    auto *a = new QWidget;
    auto *b = new QWidget;
    split.addWidget(a);
    split.addWidget(b);
    split.setHandleWidth(1);
    split.setChildrenCollapsible(false);
    split.resize(801, 100);
    split.show();

    split.setSizes({100, 700});
    qm_assureMinimumSizes(&split, 120, 300);
    EXPECT_EQ(split.sizes(), (QList<int>{120, 680}));
    split.setSizes({600, 200});
    qm_assureMinimumSizes(&split, 120, 300);
    EXPECT_EQ(split.sizes(), (QList<int>{500, 300}));
    split.setSizes({300, 500});
    qm_assureMinimumSizes(&split, 120, 300);
    EXPECT_EQ(split.sizes(), (QList<int>{300, 500}));

    // Anything but two panes is left alone.
    split.addWidget(new QWidget);
    const QList<int> three = split.sizes();
    qm_assureMinimumSizes(&split, 500, 500);
    qm_updateFixedDividedAtIndex(&split, 0);
    EXPECT_EQ(split.sizes(), three);
}

TEST(MainSplitView, TheListKeepsItsWidthWhenTheWindowGrows)
{
    MainSplitView split;
    auto *list = new QWidget;
    auto *pane = new QWidget;
    list->setMinimumWidth(MainSplitView::minimumListWidth);
    pane->setMinimumWidth(MainSplitView::minimumPaneWidth);
    split.addWidget(list);
    split.addWidget(pane);
    split.setStretchFactor(0, 0);
    split.setStretchFactor(1, 1);
    split.resize(801, 300);
    split.show();
    split.setDividerPosition(220);
    EXPECT_EQ(split.dividerPosition(), 220);
    split.resize(1201, 300);
    QApplication::processEvents();
    EXPECT_EQ(split.dividerPosition(), 220);
    EXPECT_EQ(split.sizes().at(1), 1201 - 1 - 220);
    split.setDividerPosition(10);
    EXPECT_EQ(split.dividerPosition(), 120);
    split.setDividerPosition(1100);
    EXPECT_EQ(split.dividerPosition(), 1201 - 300 - 1);
}
