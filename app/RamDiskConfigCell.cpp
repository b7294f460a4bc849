#include "RamDiskConfigCell.h"

#include "QMAppColors.h"
#include "QMCamembertCell.h"

#include <QApplication>
#include <QPainter>

#include <cmath>

namespace {

constexpr int kIconSize = 48;

// Icon and the gap after it: what is left is the text's width.
int widthAfterIcon(const QRect &frame, const RamDiskConfigCell::Properties &p)
{
    int w = frame.width();
    if (!p.image.isNull())
        w -= int(p.image.deviceIndependentSize().width()) + 4;
    return w;
}

} // namespace

RamDiskConfigCell::RamDiskConfigCell(QObject *parent) : QStyledItemDelegate(parent) {}

QFont RamDiskConfigCell::subInfoFont(const QFont &font)
{
    QFont f = font;
    // Small controls are about four fifths of the regular size.
    if (font.pointSizeF() > 0)
        f.setPointSizeF(std::max(7.0, font.pointSizeF() * 0.8));
    else
        f.setPixelSize(std::max(9, qRound(font.pixelSize() * 0.8)));
    return f;
}

int RamDiskConfigCell::nameTop(const QFont &)
{
    return 16;
}

int RamDiskConfigCell::subInfoTop(const QFont &font)
{
    const QFontMetrics fm(font);
    return std::max(32, nameTop(font) + fm.height());
}

int RamDiskConfigCell::rowHeight(const QFont &font)
{
    const QFontMetrics sub(subInfoFont(font));
    return std::max(kIconSize + 4, subInfoTop(font) + sub.height() + 4);
}

QRect RamDiskConfigCell::pieRect(const QRect &frame, const Properties &p)
{
    const int w = widthAfterIcon(frame, p);
    if (p.usage == -1 || w <= 80)
        return {};
    const int x = frame.x() + (frame.width() - w);
    return QRect(x + int(std::floor(w - 18.0)), frame.y() + int(std::floor((frame.height() - 16) / 2.0)),
                 QMCamembertCell::diameter, QMCamembertCell::diameter);
}

void RamDiskConfigCell::drawWithFrame(QPainter *painter, const QRect &frame, const Properties &p, bool highlighted,
                                      const QPalette &palette, const QFont &font)
{
    if (frame.width() < 1)
        return;
    int x = frame.x();
    const int y = frame.y();
    int w = frame.width();
    const int h = frame.height();

    painter->save();
    // 1. The icon, dimmed unless its opacity is exactly 1.
    if (!p.image.isNull()) {
        const QSizeF size = p.image.deviceIndependentSize();
        const int iw = int(size.width());
        const int ih = int(size.height());
        painter->setOpacity(p.imageOpacity == 1.0 ? 1.0 : p.imageOpacity);
        painter->drawImage(QRect(x + 2, y + int(std::floor((h - ih) / 2.0)), iw, ih), p.image);
        painter->setOpacity(1.0);
        x += iw + 4;
        w -= iw + 4;
    }

    // 2. The pie, only where there is room for it.
    if (p.usage != -1 && w > 80) {
        QMCamembertCell pie;
        pie.setObjectValue(p.usage);
        pie.setHighlighted(highlighted);
        pie.drawWithFrame(painter,
                          QRectF(x + std::floor(w - 18.0), y + std::floor((h - 16) / 2.0), QMCamembertCell::diameter,
                                 QMCamembertCell::diameter),
                          palette);
        w -= 20;
    }

    // 3. The second line, with its light shadow on a light palette.
    if (!p.subInfo.isNull()) {
        const QFont sub = subInfoFont(font);
        const QFontMetrics fm(sub);
        const QRect rect(x, y + subInfoTop(font), w - 32, fm.height());
        const QString text = fm.elidedText(p.subInfo, Qt::ElideRight, rect.width());
        painter->setFont(sub);
        const QColor shadow = QMAppColors::subInfoShadowColor(palette, highlighted);
        if (shadow.isValid()) {
            painter->setPen(shadow);
            painter->drawText(rect.translated(1, 1), Qt::AlignLeft | Qt::AlignTop, text);
        }
        painter->setPen(QMAppColors::subInfoColor(palette, highlighted));
        painter->drawText(rect, Qt::AlignLeft | Qt::AlignTop, text);
    }

    // 4. The name.
    {
        const QFontMetrics fm(font);
        const QRect rect(x, y + nameTop(font), w, fm.height());
        painter->setFont(font);
        painter->setPen(palette.color(highlighted ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(rect, Qt::AlignLeft | Qt::AlignTop, fm.elidedText(p.name, Qt::ElideRight, rect.width()));
    }
    painter->restore();
}

void RamDiskConfigCell::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    // The selection's background, as the desktop's style draws it; the contents are ours.
    opt.text.clear();
    opt.icon = QIcon();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

    Properties p;
    p.image = index.data(Qt::DecorationRole).value<QImage>();
    p.imageOpacity = index.data(ImageOpacityRole).toDouble();
    p.name = index.data(Qt::DisplayRole).toString();
    p.subInfo = index.data(SubInfoRole).toString();
    if (!index.data(SubInfoRole).isValid())
        p.subInfo = QString();
    p.usage = index.data(UsageRole).isValid() ? index.data(UsageRole).toDouble() : -1;
    const bool highlighted = option.state & QStyle::State_Selected;
    QPalette palette = option.palette;
    if (!(option.state & QStyle::State_Active))
        palette.setCurrentColorGroup(QPalette::Inactive);
    drawWithFrame(painter, option.rect, p, highlighted, palette, option.font);
}

QSize RamDiskConfigCell::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return QSize(option.rect.width() > 0 ? option.rect.width() : 200, rowHeight(option.font));
}
